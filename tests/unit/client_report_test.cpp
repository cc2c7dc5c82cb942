#include "common/client_report.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/unit/cipher_test_support.h"
#include "tests/unit/test_util.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ScopedRandom;
using testing::SealText;

using testing::CountingRandom;

Bytes KeyBytes(std::string_view text) {
    Bytes key(16, 0);
    std::memcpy(key.data(), text.data(), std::min<std::size_t>(16, text.size()));
    return key;
}

constexpr const char* kExampleText = "DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|PC01";

Bytes BuildExample(const KeyField& key) {
    Bytes d;
    EXPECT_TRUE(BuildClientReport(ReportKind::Logon, "ann", "dc=corp,dc=example,dc=com", "PC01", key, d));
    return d;
}

struct Opened {
    ReportOpenResult result;
    std::string text;
};

Opened Open(const Bytes& d, const KeyField& key) {
    std::uint8_t plain[kReportPlainBuffer];
    Opened o;
    o.result = OpenClientReport(d.data(), d.size(), key, plain, o.text);
    return o;
}

TEST(ClientReportBuild, WorkedExampleByteForByte) {
    CountingRandom random(0x40);  // IV bytes 0x40, 0x41, ...: the datagram can be recomputed independently
    ScopedRandom scoped(&random);
    KeyField key = MakeKeyField("Orvane-Share-Key-2024");
    Bytes d = BuildExample(key);

    ASSERT_EQ(d.size(), 84u);
    EXPECT_EQ(d[0], 0x00);  // a client report, not a gateway message
    EXPECT_EQ(d[1], 0x01);
    EXPECT_EQ(d[2], 0x00);
    EXPECT_EQ(d[3], 0x30);
    for (int i = 4; i < 20; ++i) EXPECT_EQ(d[i], 0) << i;
    std::uint8_t iv[16];
    for (int i = 0; i < 15; ++i) iv[i] = static_cast<std::uint8_t>(0x40 + i);
    iv[15] = 0;
    EXPECT_EQ(0, std::memcmp(d.data() + 20, iv, 16));

    std::string text = kExampleText;
    ASSERT_EQ(text.size(), 45u);
    Bytes plain(text.begin(), text.end());
    plain.resize(48, 0);  // the terminating zero and two bytes of padding
    Bytes expected = testing::EvpRun(EVP_aes_128_cbc(), KeyBytes("Orvane-Share-Key-2024"), iv, plain, true);
    EXPECT_EQ(Bytes(d.begin() + 36, d.end()), expected);

    Opened o = Open(d, key);
    EXPECT_EQ(o.result, ReportOpenResult::Opened);
    EXPECT_EQ(o.text, kExampleText);
}

TEST(ClientReportBuild, EveryReportHasAFreshIvEndingInZero) {
    KeyField key = MakeKeyField("k");
    Bytes a = BuildExample(key), b = BuildExample(key);
    EXPECT_EQ(a[35], 0);
    EXPECT_EQ(b[35], 0);
    EXPECT_NE(Bytes(a.begin() + 20, a.begin() + 35), Bytes(b.begin() + 20, b.begin() + 35));
    EXPECT_NE(Bytes(a.begin() + 36, a.begin() + 52), Bytes(b.begin() + 36, b.begin() + 52));
}

TEST(ClientReportBuild, LengthCountsTheTerminatingZero) {
    KeyField key = MakeKeyField("k");
    std::uint8_t buffer[kReportTextCapacity];
    // 14 fixed bytes (magic, kind, three separators, zero) plus the fields; the zero counts, so
    // 47 bytes of text give 48 and 48 bytes of text give 64.
    struct Case {
        std::size_t fieldBytes, textLength, bodyLength;
    } cases[] = {{18, 32, 32}, {19, 33, 48}, {34, 48, 48}, {35, 49, 64}, {1, 15, 16}};
    for (const Case& c : cases) {
        std::string user(c.fieldBytes, 'u');
        EXPECT_EQ(ComposeReportText(ReportKind::Logoff, user, "", "", buffer, sizeof buffer), c.textLength);
        Bytes d;
        ASSERT_TRUE(BuildClientReport(ReportKind::Logoff, user, "", "", key, d));
        EXPECT_EQ(d.size(), 36 + c.bodyLength) << c.fieldBytes;
        EXPECT_EQ((std::size_t{d[2]} << 8) | d[3], c.bodyLength);
    }
}

TEST(ClientReportBuild, ComposedTextAndKindDigit) {
    std::uint8_t buffer[64];
    std::memset(buffer, 0xAA, sizeof buffer);
    std::size_t n = ComposeReportText(ReportKind::Logoff, "bob", "dc=corp,dc=com", "PC7", buffer, sizeof buffer);
    ASSERT_EQ(n, 34u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer), "DEDOVEROZ1|bob|dc=corp,dc=com|PC7");
    for (std::size_t i = n - 1; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0) << i;  // zero-filled to the end
}

TEST(ClientReportBuild, RefusesWhatWouldNotReachTheWorkerIntact) {
    std::uint8_t buffer[kReportTextCapacity];
    // Exactly 1024 bytes with the zero fits; one more does not, and nothing is cut.
    EXPECT_EQ(ComposeReportText(ReportKind::Logon, std::string(1010, 'a'), "", "", buffer, sizeof buffer), 1024u);
    EXPECT_EQ(ComposeReportText(ReportKind::Logon, std::string(1011, 'a'), "", "", buffer, sizeof buffer), 0u);
    // A separator or a zero inside a field would shift or end the fields.
    EXPECT_EQ(ComposeReportText(ReportKind::Logon, "a|b", "dc=x", "PC", buffer, sizeof buffer), 0u);
    EXPECT_EQ(ComposeReportText(ReportKind::Logon, "ann", std::string("dc=x\0y", 6), "PC", buffer, sizeof buffer),
              0u);
    Bytes d{1, 2, 3};
    EXPECT_FALSE(BuildClientReport(ReportKind::Logon, "ann", "dc=x", "P|C", MakeKeyField("k"), d));
    EXPECT_TRUE(d.empty());
}

TEST(ClientReportBuild, TextOver1008BytesGivesA1060ByteDatagram) {
    // 1009 bytes with the zero: padded to 1024, one byte more than the worker accepts.
    Bytes d;
    ASSERT_TRUE(BuildClientReport(ReportKind::Logon, std::string(995, 'a'), "", "", MakeKeyField("k"), d));
    EXPECT_EQ(d.size(), 1060u);
    ASSERT_TRUE(BuildClientReport(ReportKind::Logon, std::string(994, 'a'), "", "", MakeKeyField("k"), d));
    EXPECT_EQ(d.size(), 1044u);
    EXPECT_LE(d.size(), kMaxReportDatagram);
}

TEST(ClientReportDomain, TakesLowerCaseDomainComponents) {
    std::string domain;
    ASSERT_TRUE(DomainFromDistinguishedName("CN=Ann Lee,OU=Sales,DC=Corp,DC=Example,DC=Com", domain));
    EXPECT_EQ(domain, "dc=corp,dc=example,dc=com");
    // Only A-Z are lowered; the first "dc=" after lowering counts, wherever it is.
    ASSERT_TRUE(DomainFromDistinguishedName("CN=\xC3\x84RNE,OU=ADC=1,DC=X", domain));
    EXPECT_EQ(domain, "dc=1,dc=x");
    EXPECT_FALSE(DomainFromDistinguishedName("CN=Ann Lee,OU=Sales,O=Corp", domain));
}

TEST(ClientReportKey, LongKeysUseTheirFirst16BytesShortOnesArePaddedWithZeros) {
    CountingRandom random(0x40);  // IV bytes 0x40, 0x41, ...: the datagram can be recomputed independently
    ScopedRandom scoped(&random);
    Bytes d20 = BuildExample(MakeKeyField("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(Open(d20, MakeKeyField("ABCDEFGHIJKLMNOP")).result, ReportOpenResult::Opened);
    EXPECT_EQ(Open(d20, MakeKeyField("ABCDEFGHIJKLMNOPxyz")).result, ReportOpenResult::Opened);
    EXPECT_EQ(Open(d20, MakeKeyField("ABCDEFGHIJKLMNO")).result, ReportOpenResult::Unknown);

    Bytes d10 = BuildExample(MakeKeyField("0123456789"));
    Bytes plain = testing::EvpRun(EVP_aes_128_cbc(), KeyBytes(std::string("0123456789\0\0\0\0\0\0", 16)),
                                  d10.data() + 20, Bytes(d10.begin() + 36, d10.end()), false);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.data())), kExampleText);
}

TEST(ClientReportKey, AsciiKeysAgreeAcrossEncodingsOthersDoNot) {
    // The reporter keys with UTF-8 bytes, the worker with GBK bytes.
    std::string gbk;
    ASSERT_TRUE(Utf8ToAnsi("Plain-ASCII-key", gbk));
    EXPECT_EQ(Open(BuildExample(MakeKeyField("Plain-ASCII-key")), MakeKeyField(gbk)).result, ReportOpenResult::Opened);

    ASSERT_TRUE(Utf8ToAnsi("\xE5\xAF\x86\xE9\x92\xA5-key", gbk));  // "密钥-key"
    Bytes fromUtf8Reporter = BuildExample(MakeKeyField("\xE5\xAF\x86\xE9\x92\xA5-key"));
    EXPECT_EQ(Open(fromUtf8Reporter, MakeKeyField(gbk)).result, ReportOpenResult::Unknown);
    EXPECT_EQ(Open(BuildExample(MakeKeyField(gbk)), MakeKeyField(gbk)).result, ReportOpenResult::Opened);
}

TEST(ClientReportOpen, HeaderIsBelievedOnlyAsFarAsTheDatagramGoes) {
    KeyField key = MakeKeyField("k");
    Bytes d = BuildExample(key);
    // Exact-size heap copies: a read past the end would show under the address sanitizer.
    Bytes shortHeader(d.begin(), d.begin() + 35);
    EXPECT_EQ(Open(shortHeader, key).result, ReportOpenResult::Malformed);
    Bytes truncated(d.begin(), d.end() - 16);  // header still says 48
    EXPECT_EQ(Open(truncated, key).result, ReportOpenResult::Malformed);
    Bytes odd = d;
    odd[3] = 0x28;  // 40: not whole blocks
    EXPECT_EQ(Open(odd, key).result, ReportOpenResult::Malformed);
    Bytes huge = d;
    huge[2] = 0xFF;
    EXPECT_EQ(Open(huge, key).result, ReportOpenResult::Malformed);
    Bytes empty = d;
    empty[2] = empty[3] = 0;  // nothing to decrypt: an empty text
    EXPECT_EQ(Open(empty, key).result, ReportOpenResult::Unknown);

    // Extra bytes after the body, and bytes 0 and 4-19, are not read.
    Bytes padded = d;
    padded.resize(1059, 0x5A);
    padded[0] = 0x77;
    for (int i = 4; i < 20; ++i) padded[i] = 0xEE;
    Opened o = Open(padded, key);
    EXPECT_EQ(o.result, ReportOpenResult::Opened);
    EXPECT_EQ(o.text, kExampleText);
}

TEST(ClientReportOpen, TextMustBeginWithTheMagicInExactCase) {
    KeyField key = MakeKeyField("k");
    EXPECT_EQ(Open(BuildExample(key), MakeKeyField("other")).result, ReportOpenResult::Unknown);
    EXPECT_EQ(Open(SealText("dedoveroz0|ann|dc=x|PC", key), key).result, ReportOpenResult::Unknown);
    EXPECT_EQ(Open(SealText("DEDOVERO", key), key).result, ReportOpenResult::Unknown);
    EXPECT_EQ(Open(SealText(" DEDOVEROZ0|ann", key), key).result, ReportOpenResult::Unknown);
}

// Only a text a reporter could have written is opened: what a changed ciphertext or IV byte
// gives, or any other key holder's odd text, is refused whole rather than read as far as it goes.
TEST(ClientReportOpen, OnlyTextsAsAReporterWritesThemAreOpened) {
    KeyField key = MakeKeyField("k");
    Opened o = Open(SealText("DEDOVEROZ0|\xE5\xBC\xA0\xE4\xB8\x89|dc=x|PC", key), key);  // 张三
    EXPECT_EQ(o.result, ReportOpenResult::Opened);
    EXPECT_EQ(o.text, "DEDOVEROZ0|\xE5\xBC\xA0\xE4\xB8\x89|dc=x|PC");
    // Another kind digit is still a reporter's shape; the dispatch ignores it.
    EXPECT_EQ(Open(SealText("DEDOVEROZ2|ann|dc=x|PC", key), key).result, ReportOpenResult::Opened);

    const std::string refused[] = {
        std::string("DEDOVEROZ0|ann|dc=x|PC\0|mallory", 31),  // bytes after the zero
        "DEDOVEROZ0|\xFF\xC3|dc=x|PC",                        // not UTF-8
        "DEDOVEROZ0|\xC0\xA0|dc=x|PC",                        // overlong form
        "DEDOVEROZ0|an\tn|dc=x|PC",                           // control characters
        "DEDOVEROZ0|ann|dc=x|PC\x7F",
        "DEDOVEROZ0|\xC2\x85" "ann|dc=x|PC",                   // C1 control
        "DEDOVEROZ0||dc=corp,dc=com|PC01",                    // an empty field
        "DEDOVEROZ0|ann|dc=x|",
        "DEDOVEROZ0|ann|dc=x",                                // three fields
        "DEDOVEROZ0|ann|dc=x|PC|more",                        // five
        "DEDOVEROZ|ann|dc=x|PC",                              // no kind
        "DEDOVEROZ01|ann|dc=x|PC",                            // a two-character kind
        "DEDOVEROZ",
    };
    for (const std::string& text : refused) {
        EXPECT_EQ(Open(SealText(text, key), key).result, ReportOpenResult::NotAsWritten) << text;
    }
    // The zero must lie in the last block: a text of 22 bytes sealed as 48 bytes is refused, and
    // a body without any zero too.
    std::uint8_t plain[kReportTextCapacity] = {};
    std::memcpy(plain, "DEDOVEROZ0|ann|dc=x|PC", 22);
    Bytes d(kMaxBuiltReportDatagram);
    d.resize(SealClientReport(plain, 40, key, d.data()));
    ASSERT_EQ(d.size(), 36u + 48u);
    EXPECT_EQ(Open(d, key).result, ReportOpenResult::NotAsWritten);
    std::memset(plain, 'a', 32);
    std::memcpy(plain, "DEDOVEROZ0|ann|dc=x|P", 21);
    d.resize(kMaxBuiltReportDatagram);
    d.resize(SealClientReport(plain, 32, key, d.data()));
    EXPECT_EQ(Open(d, key).result, ReportOpenResult::NotAsWritten);
}

// Only datagrams shaped like a report are acknowledged; the acknowledgement itself is not one.
TEST(ClientReportShape, HeaderLengthMustNameTheWholeBody) {
    KeyField key = MakeKeyField("k");
    Bytes d = BuildExample(key);
    EXPECT_TRUE(IsReportShaped(d.data(), d.size()));
    Bytes largest = SealText("DEDOVEROZ0|" + std::string(200, 'u') + "|" + std::string(250, 'd') + "|" +
                                 std::string(250, 'c') + std::string(285, 'x'),
                             key);
    EXPECT_EQ(largest.size(), 36u + 1008u);
    EXPECT_TRUE(IsReportShaped(largest.data(), largest.size()));

    Bytes tooLong = BuildExample(key);
    tooLong.resize(36 + 1024);
    tooLong[2] = 0x04;
    tooLong[3] = 0x00;
    Bytes trailing = d;
    trailing.resize(1059, 0x33);
    Bytes moreClaimed = d;
    moreClaimed[3] = 0x40;
    Bytes lessClaimed = d;
    lessClaimed[3] = 0x20;
    Bytes headerOnly(d.begin(), d.begin() + 36);
    headerOnly[3] = 0;
    Bytes ack(kReportAck, kReportAck + kReportAckLength);
    Bytes oneBlockShort(d.begin(), d.end() - 16);
    for (const Bytes& b : {tooLong, trailing, moreClaimed, lessClaimed, headerOnly, ack, oneBlockShort, Bytes{}}) {
        EXPECT_FALSE(IsReportShaped(b.data(), b.size())) << b.size();
    }
    EXPECT_FALSE(IsReportShaped(nullptr, 84));
}

TEST(ClientReportSplit, FieldsInOrder) {
    ReportFields f;
    ASSERT_EQ(SplitReportText(kExampleText, f), ReportSplitResult::Split);
    EXPECT_EQ(f.count, 4u);
    EXPECT_EQ(f.kind, '0');
    EXPECT_EQ(f.user, "ann");
    EXPECT_EQ(f.domain, "dc=corp,dc=example,dc=com");
    EXPECT_EQ(f.computer, "PC01");
}

TEST(ClientReportSplit, EmptyFieldsAreSkipped) {
    ReportFields f;
    // An empty user shifts the fields.
    ASSERT_EQ(SplitReportText("DEDOVEROZ0||dc=corp,dc=com|PC01", f), ReportSplitResult::Split);
    EXPECT_EQ(f.user, "dc=corp,dc=com");
    EXPECT_EQ(f.domain, "PC01");
    EXPECT_EQ(f.computer, "");
    ASSERT_EQ(SplitReportText("DEDOVEROZ1|||ann||dc=x|PC||", f), ReportSplitResult::Split);
    EXPECT_EQ(f.count, 4u);
    EXPECT_EQ(f.kind, '1');
    EXPECT_EQ(f.user, "ann");
    EXPECT_EQ(f.computer, "PC");
    ASSERT_EQ(SplitReportText("DEDOVEROZ0", f), ReportSplitResult::Split);
    EXPECT_EQ(f.count, 1u);
    EXPECT_EQ(f.user, "");
}

TEST(ClientReportSplit, KindIsTheLastCharacterOfFieldOne) {
    ReportFields f;
    SplitReportText("DEDOVEROZ|ann|dc=x|PC", f);
    EXPECT_EQ(f.kind, 'Z');
    SplitReportText("DEDOVEROZ01|ann|dc=x|PC", f);
    EXPECT_EQ(f.kind, '1');
    SplitReportText("DEDOVEROZ2|ann|dc=x|PC", f);
    EXPECT_EQ(f.kind, '2');
    SplitReportText("DEDOVEROZ\xE5\xBC\xA0|ann", f);  // a non-ASCII last character is no kind
    EXPECT_NE(f.kind, '0');
    EXPECT_NE(f.kind, '1');
}

TEST(ClientReportSplit, RefusesMoreThanFourFieldsAndOverlongFields) {
    ReportFields f;
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|ann|dc=x|PC|extra", f), ReportSplitResult::TooManyFields);
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|ann|dc=x|PC||", f), ReportSplitResult::Split);
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|" + std::string(259, 'u') + "|dc=x|PC", f), ReportSplitResult::Split);
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|" + std::string(260, 'u') + "|dc=x|PC", f), ReportSplitResult::FieldTooLong);
    // Characters are counted in UTF-16 units, not bytes: 259 three-byte characters fit.
    std::string han;
    for (int i = 0; i < 259; ++i) han += "\xE5\xBC\xA0";
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|ann|dc=x|" + han, f), ReportSplitResult::Split);
    EXPECT_EQ(SplitReportText("DEDOVEROZ0|ann|dc=x|" + han + "\xE5\xBC\xA0", f), ReportSplitResult::FieldTooLong);
}

TEST(ClientReportAck, FirstNineBytesMustBeTheMagic) {
    auto is = [](std::string_view s) {
        return IsReportAcknowledgement(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    EXPECT_TRUE(is("DEDOVEROZ"));
    EXPECT_TRUE(is("DEDOVEROZ0|more"));
    EXPECT_FALSE(is("DEDOVERO"));
    EXPECT_FALSE(is("dedoveroz"));
    EXPECT_FALSE(is(""));
    EXPECT_EQ(std::string(kReportAck, kReportAckLength), "DEDOVEROZ");
}

}  // namespace
}  // namespace orvane
