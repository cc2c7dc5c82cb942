#include "console/core/key_strength.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace orvane::console {
namespace {

TEST(KeyStrength, FullLengthFollowsTheCipherAndTheSettingsLimit) {
    EXPECT_EQ(CipherKeyBytes(ShareKey::Client, 0), 16u) << "client reports are AES-128 whatever the devices use";
    EXPECT_EQ(FullKeyLength(ShareKey::Client, 0), 16u);
    EXPECT_EQ(CipherKeyBytes(ShareKey::Device, 1), 16u);
    EXPECT_EQ(FullKeyLength(ShareKey::Device, 1), 16u);
    EXPECT_EQ(CipherKeyBytes(ShareKey::Device, 0), 24u);
    EXPECT_EQ(FullKeyLength(ShareKey::Device, 0), 23u) << "a device key holds at most 23 characters";
    EXPECT_STREQ(CipherName(ShareKey::Device, 0), "Triple DES");
    EXPECT_STREQ(CipherName(ShareKey::Device, 1), "AES-128");
}

TEST(KeyStrength, ShortKeysAreWarnedAboutWithoutShowingThem) {
    EXPECT_EQ(ShortKeyWarning(ShareKey::Client, 0, std::string(16, 'k')), "");
    EXPECT_EQ(ShortKeyWarning(ShareKey::Device, 1, std::string(16, 'k')), "");
    EXPECT_EQ(ShortKeyWarning(ShareKey::Device, 0, std::string(23, 'k')), "");
    EXPECT_EQ(ShortKeyWarning(ShareKey::Client, 1, "s3cret-pw"),
              "the client share key has 9 characters; AES-128 uses 16, and a short key can be guessed offline "
              "from one recorded datagram");
    EXPECT_EQ(ShortKeyWarning(ShareKey::Device, 0, std::string(16, 'k')),
              "the device share key has 16 characters; Triple DES uses 24 (the setting holds at most 23), and a "
              "short key can be guessed offline from one recorded datagram");
    // Bytes count: that is what the ciphers take.
    EXPECT_EQ(ShortKeyWarning(ShareKey::Client, 0, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), "");
}

// "中" is three bytes in UTF-8 and two in GBK.
std::string Zhong(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += "\xE4\xB8\xAD";
    return s;
}

TEST(KeyStrength, KeysTheWorkerWouldLeaveEmptyAreNamedByTheirBytes) {
    // The client key is counted in GBK: 15 characters are 30 bytes, 16 are 32.
    EXPECT_EQ(KeyBytesProblem(ShareKey::Client, Zhong(15)), "");
    EXPECT_EQ(KeyBytesProblem(ShareKey::Client, Zhong(15) + "k"), "") << "31 bytes still fit";
    EXPECT_EQ(KeyBytesProblem(ShareKey::Client, Zhong(16)),
              "the client share key takes 32 bytes in GBK; the worker keeps at most 31 and would run with an empty key");
    EXPECT_EQ(KeyBytesProblem(ShareKey::Client, std::string(16, 'k')), "");
    EXPECT_EQ(KeyBytesProblem(ShareKey::Client, "key\xF0\x9F\x98\x80"),
              "the client share key has a character without a GBK form; the worker keeps the key in GBK and would "
              "run with an empty key");
    // The device key is counted in UTF-8: 10 characters are 30 bytes, 11 are 33, 22 are 66.
    EXPECT_EQ(KeyBytesProblem(ShareKey::Device, Zhong(10) + "k"), "");
    EXPECT_EQ(KeyBytesProblem(ShareKey::Device, Zhong(11)),
              "the device share key takes 33 bytes as UTF-8; the worker keeps at most 31 and would run with an empty key");
    EXPECT_NE(KeyBytesProblem(ShareKey::Device, Zhong(22)), "");
    EXPECT_EQ(KeyBytesProblem(ShareKey::Device, std::string(23, 'k')), "");
}

TEST(KeyStrength, OnlyANonAsciiClientKeyIsWarnedAboutItsTwoByteForms) {
    EXPECT_EQ(NonAsciiKeyWarning(ShareKey::Client, "plain-ASCII~key!"), "");
    EXPECT_NE(NonAsciiKeyWarning(ShareKey::Client, "key\xC3\xA9").find("UTF-8 bytes and the worker from the GBK bytes"),
              std::string::npos);
    EXPECT_EQ(NonAsciiKeyWarning(ShareKey::Device, Zhong(5)), "") << "the device key is UTF-8 on both sides";
}

TEST(KeyStrength, GeneratedKeysHaveTheLengthAndAlphabetAndDiffer) {
    const std::string alphabet = kGeneratedKeyAlphabet;
    ASSERT_EQ(alphabet.size(), 62u);
    std::set<std::string> keys;
    std::set<char> seen;
    for (int i = 0; i < 200; ++i) {
        std::string key;
        ASSERT_TRUE(GenerateShareKey(23, key));
        ASSERT_EQ(key.size(), 23u);
        for (char c : key) {
            ASSERT_NE(alphabet.find(c), std::string::npos) << key;
            seen.insert(c);
        }
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 200u);
    // 4,600 draws leave a character of a uniform 62 unseen with a chance of about 1e-30.
    EXPECT_EQ(seen.size(), 62u);
    std::string empty = "x";
    ASSERT_TRUE(GenerateShareKey(0, empty));
    EXPECT_EQ(empty, "");
}

}  // namespace
}  // namespace orvane::console
