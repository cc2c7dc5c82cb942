#include "common/gateway_message.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/cipher_test_support.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::EvpRun;
using testing::ScopedRandom;

Bytes B(std::initializer_list<int> v) {
    Bytes out;
    for (int x : v) out.push_back(static_cast<std::uint8_t>(x));
    return out;
}

Bytes Str(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Counts up from a start value; fails the bytes whose position is listed.
class CountingRandom final : public RandomSource {
public:
    explicit CountingRandom(std::uint8_t start, std::vector<int> failing = {}) : next_(start), failing_(failing) {}
    bool NextByte(std::uint8_t& out) override {
        int index = calls_++;
        for (int f : failing_) {
            if (f == index) return false;
        }
        out = next_++;
        return true;
    }

private:
    std::uint8_t next_;
    std::vector<int> failing_;
    int calls_ = 0;
};

struct Plain {
    Bytes buffer = Bytes(kGatewayBufferSize, 0);
    std::size_t length = 0;
    Bytes Data() const { return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(length)); }
};

Plain Notification(std::uint8_t kind, std::uint32_t seq, std::string_view address, std::string_view user,
                   std::string_view adPath = "", int encodeType = 1, std::string_view org2 = "",
                   std::string_view org3 = "") {
    Plain p;
    p.length = BuildUserNotification(kind, seq, address, user, adPath, org2, org3, encodeType, p.buffer.data());
    return p;
}

const Bytes kAlicePlain = B({0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x0A, 0x01, 0x02, 0x03, 'a', 'l',
                             'i', 'c', 'e', 0x00});

TEST(GatewayNotification, AliceOnlineIsEighteenBytes) {
    Plain p = Notification(kNotifyOnline, 7, "10.1.2.3", "alice");
    EXPECT_EQ(p.Data(), kAlicePlain);
}

TEST(GatewayNotification, AliceSealedGeneralIs24BytesAndDecryptsBack) {
    KeyField key = MakeKeyField("device-key");
    Plain p = Notification(kNotifyOnline, 7, "10.1.2.3", "alice");
    p.buffer[18] = 0xEE;  // stale bytes in the padding must not leak out
    Bytes dg;
    ASSERT_EQ(SealDatagram(kEncryptGeneral, key, p.buffer.data(), p.length, dg), SealResult::Sent);
    ASSERT_EQ(dg.size(), 24u);
    Bytes back(24);
    ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, back.data(), dg.data(), 24, false), 0);
    Bytes expected = kAlicePlain;
    expected.resize(24, 0);
    EXPECT_EQ(back, expected);
}

TEST(GatewayNotification, AliceSealedEnhancedIs68BytesWithHeader) {
    CountingRandom rnd(0x40);
    ScopedRandom scope(&rnd);
    KeyField key = MakeKeyField("device-key");
    Plain p = Notification(kNotifyOnline, 7, "10.1.2.3", "alice");
    Bytes dg;
    ASSERT_EQ(SealDatagram(kEncryptEnhanced, key, p.buffer.data(), p.length, dg), SealResult::Sent);
    ASSERT_EQ(dg.size(), 68u);
    EXPECT_EQ(dg[0], 1);
    EXPECT_EQ(dg[1], 1);
    EXPECT_EQ(dg[2], 0x00);
    EXPECT_EQ(dg[3], 0x20);
    for (int i = 4; i < 20; ++i) EXPECT_EQ(dg[i], 0) << i;
    for (int i = 0; i < 15; ++i) EXPECT_EQ(dg[20 + i], 0x40 + i) << i;
    EXPECT_EQ(dg[35], 0x00);
    Bytes back(32);
    ASSERT_EQ(DecryptEnhanced(dg.data() + 36, 32, key.data(), dg.data() + 20, back.data()), 0);
    Bytes expected = kAlicePlain;
    expected.resize(32, 0);
    EXPECT_EQ(back, expected);
}

TEST(GatewayNotification, OfflineEndsWithUserAndThreeCharNameIsUnpadded) {
    Plain p = Notification(kNotifyOffline, 0x01020304, "192.168.0.9", "bob", "OU=Sales,DC=corp", 1, "x", "y");
    EXPECT_EQ(p.Data(), B({1, 1, 0, 0, 1, 2, 3, 4, 192, 168, 0, 9, 'b', 'o', 'b', 0}));
    KeyField key = MakeKeyField("k");
    Bytes dg;
    ASSERT_EQ(SealDatagram(kEncryptGeneral, key, p.buffer.data(), p.length, dg), SealResult::Sent);
    EXPECT_EQ(dg.size(), 16u);
    EXPECT_EQ(dg, EvpRun(EVP_des_ede3_cbc(), Bytes(key.begin(), key.begin() + 24), kGeneralIv, p.Data(), true));
}

TEST(GatewayNotification, OnlineCarriesAdPathAndOrganisationTextsWhenPresent) {
    Plain p = Notification(kNotifyOnline, 1, "10.0.0.1", "ann", "OU=IT,DC=corp", 1, "", "Org3");
    Bytes expected = B({0, 1, 0, 0, 0, 0, 0, 1, 10, 0, 0, 1});
    for (std::string_view t : {"ann", "OU=IT,DC=corp", "Org3"}) {
        Bytes s = Str(t);
        expected.insert(expected.end(), s.begin(), s.end());
        expected.push_back(0);
    }
    EXPECT_EQ(p.Data(), expected);
}

TEST(GatewayNotification, AddressIsStrictDottedDecimal) {
    // Unparsable text is sent as 0.0.0.0 rather than as an all-ones broadcast value.
    for (std::string_view bad : {"", "10.1.2", "10.1.2.3.4", "256.1.1.1", "010.1.2.3", "10.1.2.3 ", "host", "1..2.3"}) {
        Plain p = Notification(kNotifyOnline, 1, bad, "u");
        EXPECT_EQ(Bytes(p.buffer.begin() + 8, p.buffer.begin() + 12), B({0, 0, 0, 0})) << bad;
    }
    Plain p = Notification(kNotifyOnline, 1, "255.0.10.0", "u");
    EXPECT_EQ(Bytes(p.buffer.begin() + 8, p.buffer.begin() + 12), B({255, 0, 10, 0}));
    EXPECT_EQ(GatewayAddressForLog("192.168.1.1"), 0xC0A80101u);
    EXPECT_EQ(GatewayAddressForLog("10.0.0.255"), 0x0A0000FFu);
    EXPECT_EQ(GatewayAddressForLog("not-an-ip"), 0u);
}

TEST(GatewayText, GbkOrUtf8ByEncodeType) {
    const std::string zhongwen = "\xE4\xB8\xAD\xE6\x96\x87";  // two CJK characters
    std::string out;
    EXPECT_TRUE(EncodeGatewayText(zhongwen, 0, out));
    EXPECT_EQ(out, "\xD6\xD0\xCE\xC4");
    EXPECT_TRUE(EncodeGatewayText(zhongwen, 1, out));
    EXPECT_EQ(out, zhongwen);
    EXPECT_TRUE(EncodeGatewayText(zhongwen, 2, out));
    EXPECT_EQ(out, zhongwen);
    // A character without a GBK form is replaced, the rest still converts.
    EXPECT_FALSE(EncodeGatewayText("a\xF0\x9F\x98\x80" "b\xE4\xB8\xAD", 0, out));
    EXPECT_EQ(out, "a?b\xD6\xD0");

    Plain gbk = Notification(kNotifyOnline, 1, "1.2.3.4", "\xE5\xBC\xA0\xE4\xB8\x89", "", 0);  // a GBK user name
    EXPECT_EQ(Bytes(gbk.buffer.begin() + 12, gbk.buffer.begin() + static_cast<long>(gbk.length)),
              B({0xD5, 0xC5, 0xC8, 0xFD, 0}));
}

TEST(GatewayText, LimitedTo259BytesOnACharacterBoundary) {
    std::string out;
    EXPECT_FALSE(EncodeGatewayText(std::string(300, 'a'), 1, out));
    EXPECT_EQ(out, std::string(259, 'a'));
    EXPECT_TRUE(EncodeGatewayText(std::string(259, 'a'), 1, out));
    EXPECT_EQ(out.size(), 259u);

    std::string cjk;
    for (int i = 0; i < 100; ++i) cjk += "\xE4\xB8\xAD";
    EXPECT_FALSE(EncodeGatewayText(cjk, 1, out));
    EXPECT_EQ(out.size(), 258u);  // 86 whole three-byte characters
    EXPECT_FALSE(EncodeGatewayText("x" + cjk + cjk, 0, out));
    EXPECT_EQ(out.size(), 259u);  // "x" and 129 two-byte characters
    EXPECT_EQ(out.substr(out.size() - 2), "\xD6\xD0");
    EXPECT_FALSE(EncodeGatewayText(cjk + cjk, 0, out));
    EXPECT_EQ(out.size(), 258u);

    // The longest notification: four cut texts, each with its zero, well inside the buffer.
    std::string big(1000, 'z');
    Plain p = Notification(kNotifyOnline, 1, "1.1.1.1", big, big, 1, big, big);
    EXPECT_EQ(p.length, 12u + 4 * 260);
    for (std::size_t off : {12u + 259, 12u + 519, 12u + 779, 12u + 1039}) EXPECT_EQ(p.buffer[off], 0) << off;
}

TEST(GatewayHeartbeat, LayoutAndSealedLengths) {
    const std::uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    Plain p;
    p.length = BuildHeartbeat("3.1.10.3", mac, p.buffer.data());
    ASSERT_EQ(p.length, 26u);
    EXPECT_EQ(p.Data(), B({5, 0, 0, 0, '3', '.', '1', '.', '1', '0', '.', '3', 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x1A,
                           0x2B, 0x3C, 0x4D, 0x5E}));
    KeyField key = MakeKeyField("hb");
    Bytes dg;
    ASSERT_EQ(SealDatagram(kEncryptGeneral, key, p.buffer.data(), p.length, dg), SealResult::Sent);
    EXPECT_EQ(dg.size(), 32u);
    DecodedGatewayMessage m = DecodeGatewayDatagram(dg.data(), dg.size(), kEncryptGeneral, 0, key);
    EXPECT_EQ(m.type, GatewayMessageType::Heartbeat);
    EXPECT_EQ(m.version, "3.1.10.3");
    EXPECT_EQ(Bytes(m.mac.begin(), m.mac.end()), Bytes(mac, mac + 6));
    ASSERT_EQ(SealDatagram(kEncryptEnhanced, key, p.buffer.data(), p.length, dg), SealResult::Sent);
    EXPECT_EQ(dg.size(), 68u);
    EXPECT_EQ(DecodeGatewayDatagram(dg.data(), dg.size(), kEncryptEnhanced, 0, key).type,
              GatewayMessageType::Heartbeat);
}

TEST(GatewayHeartbeat, LongVersionKeepsWholePartsAndMissingMacIsZero) {
    Plain p;
    BuildHeartbeat("100.200.300.400", nullptr, p.buffer.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.buffer.data() + 4)), "100.200.300");
    EXPECT_EQ(Bytes(p.buffer.begin() + 20, p.buffer.begin() + 26), Bytes(6, 0));
    BuildHeartbeat("123456789012345", nullptr, p.buffer.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.buffer.data() + 4)), "12345678901");
    BuildHeartbeat("10.10.10.100", nullptr, p.buffer.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.buffer.data() + 4)), "10.10.10");
    EXPECT_EQ(p.buffer[15], 0);
}

TEST(GatewayCipher, EightCharKeyLeavesSecondAndThirdDesKeysZero) {
    KeyField key = MakeKeyField("abcdefgh");
    Bytes explicitKey = Str("abcdefgh");
    explicitKey.resize(24, 0);
    Bytes plain = kAlicePlain;
    plain.resize(24, 0);
    Bytes out(24);
    ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, out.data(), plain.data(), 24, true), 0);
    EXPECT_EQ(out, EvpRun(EVP_des_ede3_cbc(), explicitKey, kGeneralIv, plain, true));
    // With the second and third keys equal, encrypt-decrypt-encrypt collapses to single DES under
    // the first key, which is also what the first key taken three times gives: checks the EDE order.
    EXPECT_EQ(out, EvpRun(EVP_des_ede3_cbc(), Str("abcdefghabcdefghabcdefgh"), kGeneralIv, plain, true));
    // Bytes 8-15 of the field are the second key.
    KeyField longer = MakeKeyField("abcdefgh12345678");
    Bytes other(24);
    ASSERT_EQ(CryptGeneral(longer.data(), kGeneralIv, other.data(), plain.data(), 24, true), 0);
    EXPECT_NE(out, other);
}

TEST(GatewayCipher, TwentyCharKeyGivesAesItsFirstSixteenBytes) {
    CountingRandom rnd(1);
    ScopedRandom scope(&rnd);
    KeyField key = MakeKeyField("0123456789abcdefghij");
    Bytes plain(32, 0x5A);
    Bytes env(68, 0);
    EncryptEnhanced(plain.data(), 32, key.data(), env.data());
    Bytes cipher(env.begin() + 36, env.end());
    EXPECT_EQ(cipher, EvpRun(EVP_aes_128_cbc(), Str("0123456789abcdef"), env.data() + 20, plain, true));
    // The 24-byte general key of the same field is bytes 0-23.
    Bytes out(32);
    ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, out.data(), plain.data(), 32, true), 0);
    // Zero-padded to 24 bytes (built in place: GCC 12 at -O3 misreads a growing vector::resize here).
    Bytes desKey(24, 0);
    const Bytes keyText = Str("0123456789abcdefghij");
    std::copy(keyText.begin(), keyText.end(), desKey.begin());
    EXPECT_EQ(out, EvpRun(EVP_des_ede3_cbc(), desKey, kGeneralIv, plain, true));
}

TEST(GatewayCipher, KeyFieldKeepsThirtyOneBytesAndAZero) {
    KeyField key;
    EXPECT_TRUE(FillKeyField(std::string(31, 'k'), key));
    EXPECT_EQ(key[30], 'k');
    EXPECT_EQ(key[31], 0);
    EXPECT_FALSE(FillKeyField(std::string(40, 'k'), key));
    EXPECT_EQ(key[30], 'k');
    EXPECT_EQ(key[31], 0);
    EXPECT_TRUE(FillKeyField("", key));
    EXPECT_EQ(key, KeyField{});
}

TEST(GatewayCipher, EnhancedIvComesFromTheRandomSourceAndEndsInZero) {
    KeyField key = MakeKeyField("k");
    Bytes plain(16, 1);
    {
        // Bytes the generator fails to make are 0xFF.
        CountingRandom rnd(0x10, {0, 7, 14});
        ScopedRandom scope(&rnd);
        Bytes env(52, 0);
        EncryptEnhanced(plain.data(), 16, key.data(), env.data());
        EXPECT_EQ(Bytes(env.begin() + 20, env.begin() + 36),
                  B({0xFF, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0xFF, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0xFF, 0x00}));
        EXPECT_EQ(env[0], 0);  // the caller's byte
        EXPECT_EQ(env[1], 1);
    }
    // The system generator: byte 35 is always zero, and the IVs differ between datagrams.
    Bytes first;
    for (int i = 0; i < 8; ++i) {
        Bytes env(52, 0);
        EncryptEnhanced(plain.data(), 16, key.data(), env.data());
        EXPECT_EQ(env[35], 0);
        Bytes iv(env.begin() + 20, env.begin() + 35);
        if (i == 0) {
            first = iv;
        } else {
            EXPECT_NE(iv, first);
        }
    }
}

TEST(GatewayCipher, SystemRandomBytesAreNotRepeatedAcrossThreadsOrAFork) {
    // The system generator hands bytes out of a per-thread block: no two draws, no two threads
    // and no parent and child after a fork may see the same bytes.
    auto draw = [] {
        Bytes b(15);
        FillRandomBytes(b.data(), b.size());
        return b;
    };
    Bytes a = draw();
    Bytes other;
    std::thread([&] { other = draw(); }).join();
    EXPECT_NE(a, other);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    if (child == 0) {
        Bytes c = draw();
        (void)!write(pipeFds[1], c.data(), c.size());
        _exit(0);
    }
    Bytes parent = draw();
    Bytes fromChild(15);
    ASSERT_EQ(read(pipeFds[0], fromChild.data(), fromChild.size()), 15);
    waitpid(child, nullptr, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_NE(parent, fromChild);
    EXPECT_NE(parent, a);
    // More than a block's worth in one call still comes back whole and random.
    Bytes big(4096, 0);
    FillRandomBytes(big.data(), big.size());
    EXPECT_NE(std::count(big.begin(), big.end(), 0), 4096);
}

TEST(GatewayCipher, GeneralPrefixesRepeatWhileEnhancedDifferFromTheFirstBlock) {
    KeyField key = MakeKeyField("same-key");
    Plain a = Notification(kNotifyOnline, 9, "10.1.2.3", "alice");
    Plain b = Notification(kNotifyOnline, 9, "10.1.2.3", "alicf");  // differs in the third 8-byte block
    Bytes da, db;
    ASSERT_EQ(SealDatagram(kEncryptGeneral, key, a.buffer.data(), a.length, da), SealResult::Sent);
    ASSERT_EQ(SealDatagram(kEncryptGeneral, key, b.buffer.data(), b.length, db), SealResult::Sent);
    EXPECT_EQ(Bytes(da.begin(), da.begin() + 16), Bytes(db.begin(), db.begin() + 16));
    EXPECT_NE(Bytes(da.begin() + 16, da.end()), Bytes(db.begin() + 16, db.end()));
    Bytes again;
    SealDatagram(kEncryptGeneral, key, a.buffer.data(), a.length, again);
    EXPECT_EQ(again, da);

    Bytes ea, eb;
    ASSERT_EQ(SealDatagram(kEncryptEnhanced, key, a.buffer.data(), a.length, ea), SealResult::Sent);
    ASSERT_EQ(SealDatagram(kEncryptEnhanced, key, a.buffer.data(), a.length, eb), SealResult::Sent);
    EXPECT_NE(Bytes(ea.begin() + 36, ea.begin() + 52), Bytes(eb.begin() + 36, eb.begin() + 52));
}

TEST(GatewayCipher, RefusalsAndFailures) {
    KeyField key{};
    std::uint8_t in[24] = {}, out[24] = {};
    EXPECT_EQ(CryptGeneral(nullptr, kGeneralIv, out, in, 8, true), -2);
    EXPECT_EQ(CryptGeneral(key.data(), nullptr, out, in, 8, true), -2);
    EXPECT_EQ(CryptGeneral(key.data(), kGeneralIv, nullptr, in, 8, true), -2);
    EXPECT_EQ(CryptGeneral(key.data(), kGeneralIv, out, nullptr, 8, true), -2);
    EXPECT_EQ(CryptGeneral(key.data(), kGeneralIv, out, in, 0, true), -2);
    EXPECT_EQ(CryptGeneral(key.data(), kGeneralIv, out, in, 12, false), -2);
    EXPECT_EQ(CryptGeneral(key.data(), kGeneralIv, out, in, 24, true), 0);  // the all-zero key still encrypts
    EXPECT_EQ(DecryptEnhanced(in, 8, key.data(), in, out), -2);
    EXPECT_EQ(DecryptEnhanced(in, 16, nullptr, in, out), -2);

    // A length the cipher cannot take: the header says 0 and no ciphertext is written.
    Bytes env(36 + 32, 0xCC);
    env[2] = env[3] = 0x77;
    EncryptEnhanced(in, 20, key.data(), env.data());
    EXPECT_EQ(env[2], 0);
    EXPECT_EQ(env[3], 0);
    EXPECT_EQ(env[36], 0xCC);

    Plain p = Notification(kNotifyOnline, 1, "1.1.1.1", "u");
    Bytes dg = {1, 2, 3};
    EXPECT_EQ(SealDatagram(2, key, p.buffer.data(), p.length, dg), SealResult::NoCipher);
    EXPECT_EQ(SealDatagram(-1, key, p.buffer.data(), p.length, dg), SealResult::NoCipher);
    EXPECT_EQ(SealDatagram(kEncryptGeneral, key, p.buffer.data(), 0, dg), SealResult::EncryptFailed);
    EXPECT_EQ(SealDatagram(kEncryptEnhanced, key, p.buffer.data(), kGatewayBufferSize + 1, dg),
              SealResult::EncryptFailed);
}

// A response sealed the way a gateway answers.
Bytes Response(int encryptType, const KeyField& key, std::uint32_t seq, std::string_view text) {
    Bytes plain(kGatewayBufferSize, 0);
    std::size_t n = BuildGatewayResponse(seq, text, plain.data());
    Bytes dg;
    EXPECT_EQ(SealDatagram(encryptType, key, plain.data(), n, dg), SealResult::Sent);
    return dg;
}

TEST(GatewayResponse, LoginAndLogoutTextsWithEitherCipher) {
    KeyField key = MakeKeyField("gw-key");
    for (int type : {kEncryptGeneral, kEncryptEnhanced}) {
        for (std::string_view text : {"login OK", "logout OK"}) {
            Bytes dg = Response(type, key, 0xA1B2C3D4, text);
            std::uint32_t seq = 0;
            std::string got;
            ASSERT_TRUE(ParseGatewayResponse(dg.data(), dg.size(), type, key, seq, got)) << type << text;
            EXPECT_EQ(seq, 0xA1B2C3D4u);
            EXPECT_EQ(got, text);
        }
    }
    // Any EncryptType other than 1 reads responses as general.
    Bytes dg = Response(kEncryptGeneral, key, 3, "login OK");
    std::uint32_t seq = 0;
    std::string got;
    ASSERT_TRUE(ParseGatewayResponse(dg.data(), dg.size(), 7, key, seq, got));
    EXPECT_EQ(got, "login OK");
    // Under another key the text is garbage, never "login OK".
    if (ParseGatewayResponse(dg.data(), dg.size(), kEncryptGeneral, MakeKeyField("other"), seq, got)) {
        EXPECT_NE(got, "login OK");
    }
}

TEST(GatewayResponse, TextWithoutZeroEndsWithTheDecryptedData) {
    KeyField key = MakeKeyField("gw-key");
    Bytes plain = B({0, 0, 0, 5, 'l', 'o', 'g', 'i', 'n', ' ', 'O', 'K'});
    plain.resize(16, 'x');
    Bytes dg(16);
    ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, dg.data(), plain.data(), 16, true), 0);
    std::uint32_t seq = 0;
    std::string got;
    ASSERT_TRUE(ParseGatewayResponse(dg.data(), dg.size(), kEncryptGeneral, key, seq, got));
    EXPECT_EQ(seq, 5u);
    EXPECT_EQ(got, "login OKxxxx");
}

TEST(GatewayResponse, LengthChecksRejectBeforeDecrypting) {
    KeyField key = MakeKeyField("gw-key");
    std::uint32_t seq = 0;
    std::string got;

    // General: 248 bytes are decrypted, 256 never are, even though they would decrypt.
    Bytes plain(256, 0);
    plain[3] = 1;
    std::memcpy(plain.data() + 4, "login OK", 8);
    Bytes dg(256);
    ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, dg.data(), plain.data(), 256, true), 0);
    EXPECT_TRUE(ParseGatewayResponse(dg.data(), 248, kEncryptGeneral, key, seq, got));
    EXPECT_EQ(got, "login OK");
    EXPECT_FALSE(ParseGatewayResponse(dg.data(), 256, kEncryptGeneral, key, seq, got));
    EXPECT_FALSE(ParseGatewayResponse(dg.data(), 20, kEncryptGeneral, key, seq, got));
    EXPECT_FALSE(ParseGatewayResponse(dg.data(), 0, kEncryptGeneral, key, seq, got));

    // Enhanced: the header length must fit the datagram and be whole blocks.
    Bytes ok = Response(kEncryptEnhanced, key, 1, "login OK");
    ASSERT_EQ(ok.size(), 52u);
    EXPECT_TRUE(ParseGatewayResponse(ok.data(), ok.size(), kEncryptEnhanced, key, seq, got));
    Bytes claimsMore = ok;
    claimsMore[3] = 0x20;
    EXPECT_FALSE(ParseGatewayResponse(claimsMore.data(), claimsMore.size(), kEncryptEnhanced, key, seq, got));
    Bytes oddLength = ok;
    oddLength[3] = 0x0F;
    EXPECT_FALSE(ParseGatewayResponse(oddLength.data(), oddLength.size(), kEncryptEnhanced, key, seq, got));
    Bytes zeroLength = ok;
    zeroLength[3] = 0;
    EXPECT_FALSE(ParseGatewayResponse(zeroLength.data(), zeroLength.size(), kEncryptEnhanced, key, seq, got));
    EXPECT_FALSE(ParseGatewayResponse(ok.data(), 35, kEncryptEnhanced, key, seq, got));
    // Bytes 0, 1 and 4-19 are not examined; trailing bytes past the stated length are ignored.
    Bytes loose = ok;
    loose[0] = 0x99;
    loose[1] = 0;
    loose[10] = 0x42;
    loose.resize(100, 0xAB);
    ASSERT_TRUE(ParseGatewayResponse(loose.data(), loose.size(), kEncryptEnhanced, key, seq, got));
    EXPECT_EQ(got, "login OK");
    // 256 bytes of an otherwise valid enhanced response.
    Bytes big(256, 0);
    std::memcpy(big.data(), ok.data(), ok.size());
    EXPECT_FALSE(ParseGatewayResponse(big.data(), big.size(), kEncryptEnhanced, key, seq, got));
    EXPECT_TRUE(ParseGatewayResponse(big.data(), 255, kEncryptEnhanced, key, seq, got));
}

TEST(GatewayDecode, NotificationsRoundTripThroughTheGatewayView) {
    KeyField key = MakeKeyField("emu");
    for (int type : {kEncryptGeneral, kEncryptEnhanced}) {
        for (int encode : {0, 1}) {
            Plain p = Notification(kNotifyOnline, 42, "172.16.5.4", "\xE5\xBC\xA0\xE4\xB8\x89",
                                   "OU=\xE9\x94\x80\xE5\x94\xAE,DC=corp", encode, "o2", "o3");
            Bytes dg;
            ASSERT_EQ(SealDatagram(type, key, p.buffer.data(), p.length, dg), SealResult::Sent);
            DecodedGatewayMessage m = DecodeGatewayDatagram(dg.data(), dg.size(), type, encode, key);
            ASSERT_EQ(m.type, GatewayMessageType::Online) << type << encode;
            EXPECT_EQ(m.sequence, 42u);
            EXPECT_EQ(Bytes(m.address.begin(), m.address.end()), B({172, 16, 5, 4}));
            EXPECT_EQ(m.user, "\xE5\xBC\xA0\xE4\xB8\x89");
            EXPECT_EQ(m.adPath, "OU=\xE9\x94\x80\xE5\x94\xAE,DC=corp");
            EXPECT_EQ(m.org2, "o2");
            EXPECT_EQ(m.org3, "o3");
        }
    }
    Plain off = Notification(kNotifyOffline, 43, "1.2.3.4", "bob", "OU=x");
    Bytes dg;
    SealDatagram(kEncryptGeneral, key, off.buffer.data(), off.length, dg);
    DecodedGatewayMessage m = DecodeGatewayDatagram(dg.data(), dg.size(), kEncryptGeneral, 1, key);
    EXPECT_EQ(m.type, GatewayMessageType::Offline);
    EXPECT_EQ(m.user, "bob");
    EXPECT_EQ(m.adPath, "");
}

TEST(GatewayDecode, UndecodableDatagrams) {
    KeyField key = MakeKeyField("emu");
    Plain p = Notification(kNotifyOnline, 1, "1.2.3.4", "carol");
    Bytes dg;
    SealDatagram(kEncryptEnhanced, key, p.buffer.data(), p.length, dg);
    auto type = [&](const Bytes& d, int encrypt, const KeyField& k) {
        return DecodeGatewayDatagram(d.data(), d.size(), encrypt, 1, k).type;
    };
    EXPECT_EQ(type(dg, kEncryptEnhanced, key), GatewayMessageType::Online);
    EXPECT_EQ(type(dg, kEncryptEnhanced, MakeKeyField("wrong")), GatewayMessageType::Undecodable);
    EXPECT_EQ(type(dg, kEncryptGeneral, key), GatewayMessageType::Undecodable);
    EXPECT_EQ(type(dg, 2, key), GatewayMessageType::Undecodable);
    EXPECT_EQ(type(Bytes(dg.begin(), dg.begin() + 60), kEncryptEnhanced, key), GatewayMessageType::Undecodable);
    EXPECT_EQ(type(Bytes(), kEncryptGeneral, key), GatewayMessageType::Undecodable);
    EXPECT_EQ(type(Bytes(13, 0), kEncryptGeneral, key), GatewayMessageType::Undecodable);
}

}  // namespace
}  // namespace orvane
