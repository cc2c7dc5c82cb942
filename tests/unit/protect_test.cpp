#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/protect.h"
#include "common/text.h"
#include "console/core/secret_protection.h"
#include "platform/machine_protect.h"
#include "platform/os_version.h"
#include "test_util.h"

namespace orvane {
namespace {

using orvane::testing::ScopedMemoryLog;
using orvane::testing::TempDir;
using orvane::testing::WriteFile;

constexpr char kBadData[] = "[ERR]Decrypt data by CNG cryptography failed! Status:0x80090005";
constexpr int kLegacy = 61;
constexpr int kCng = 62;

// A machine key of the test's own, the CNG path unless a test says otherwise, and the log captured.
class ProtectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        UseVersion(kCng);
    }
    void TearDown() override {
        platform::SetOsVersionValueForTest(std::nullopt);
        platform::SetOsVersionFailsForTest(false);
    }
    static void UseKey(const std::string& path) { ::setenv("ORVANE_MACHINE_KEY", path.c_str(), 1); }
    static void UseVersion(int value) { platform::SetOsVersionValueForTest(value); }

    static std::string Protect(const std::string& clear) {
        std::string out;
        EXPECT_EQ(ProtectText(clear, out), 0) << clear;
        return out;
    }
    // The field after UnprotectText, starting from a marker so that "untouched" is visible.
    static std::string Unprotect(const std::string& text, std::size_t capacity = 393) {
        std::string field = "untouched";
        UnprotectText(text, field, capacity);
        return field;
    }
    static bool IsUpperHex(const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    }

    TempDir dir_;
    std::string keyPath_ = dir_ / "keys/machine.key";
    orvane::testing::ScopedEnv keyEnv_{"ORVANE_MACHINE_KEY", keyPath_};
    ScopedMemoryLog log_;
};

TEST_F(ProtectTest, RoundTripOnBothPaths) {
    // 13 UTF-16 units: ASCII, Latin-1, a CJK character and one outside the BMP.
    const std::string clear = "Pa55 w\xC3\xB6rd \xE4\xB8\xAD\xF0\x9F\x98\x80";
    for (int version : {kLegacy, kCng}) {
        UseVersion(version);
        std::string text = Protect(clear);
        EXPECT_TRUE(IsUpperHex(text)) << text;
        // Two hex characters per blob byte; the blob covers 2 bytes per unit, no terminator.
        EXPECT_EQ(text.size(), 2 * (platform::kMachineBlobOverhead + 2 * 13)) << version;
        EXPECT_NE(Protect(clear), text);
        EXPECT_EQ(Unprotect(text), clear) << version;
    }
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProtectTest, PathIsChosenByTheVersionValueInBothDirections) {
    UseVersion(kLegacy);
    std::string legacy = Protect("secret");
    UseVersion(kCng);
    std::string cng = Protect("secret");

    UseVersion(51);  // any value up to 61 is the legacy path
    EXPECT_EQ(Unprotect(legacy), "secret");
    UseVersion(100);  // any value from 62 on is the CNG path
    EXPECT_EQ(Unprotect(cng), "secret");
    EXPECT_EQ(log_.Text(), "");

    // A blob of one path is refused on the other: CNG says so, legacy stays silent.
    UseVersion(kCng);
    EXPECT_EQ(Unprotect(legacy), "untouched");
    EXPECT_EQ(log_.Text(), std::string(kBadData) + "\n");
    log_.log().Clear();
    UseVersion(kLegacy);
    EXPECT_EQ(Unprotect(cng), "untouched");
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProtectTest, LowerCaseProtectedTextIsAccepted) {
    std::string text = Protect("MixedCase");
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Unprotect(text), "MixedCase");
}

TEST_F(ProtectTest, TextFromAnotherMachineIsRefusedAndTheFieldKept) {
    UseVersion(kLegacy);
    std::string legacy = Protect("pw");
    UseVersion(kCng);
    std::string cng = Protect("pw");

    UseKey(dir_ / "other/machine.key");
    Protect("another machine's first secret");
    EXPECT_EQ(Unprotect(cng), "untouched");
    EXPECT_TRUE(log_.Contains(kBadData));
    log_.log().Clear();
    UseVersion(kLegacy);
    EXPECT_EQ(Unprotect(legacy), "untouched");
    EXPECT_EQ(log_.Text(), "");

    UseKey(keyPath_);  // the first machine's key was left alone
    EXPECT_EQ(Unprotect(legacy), "pw");
}

TEST_F(ProtectTest, EmptyClearTextIsRefusedAtOnce) {
    std::string out = "before";
    EXPECT_EQ(ProtectText("", out), -1);
    EXPECT_EQ(out, "before");
    // Before anything else: no version query, no machine key.
    platform::SetOsVersionFailsForTest(true);
    EXPECT_EQ(ProtectText("", out), -1);
    EXPECT_EQ(log_.Text(), "");
    EXPECT_FALSE(std::filesystem::exists(keyPath_));
}

TEST_F(ProtectTest, ClearTextThatWouldNotComeBackIsRefused) {
    std::string out = "before";
    EXPECT_EQ(ProtectText("ab\xFF" "cd", out), -1);              // not UTF-8: would become U+FFFD
    EXPECT_EQ(ProtectText(std::string("ab\0cd", 5), out), -1);  // the zero would end it at "ab"
    EXPECT_EQ(out, "before");
}

TEST_F(ProtectTest, ClientShareKeyFillsSixteenOfThirtyTwoUnits) {
    const std::string key = "0123456789abcdef";
    std::string text = Protect(key);
    EXPECT_EQ(text.size(), 2 * (platform::kMachineBlobOverhead + 32));
    std::string field = Unprotect(text, 32);
    EXPECT_EQ(field, key);
    EXPECT_EQ(Utf16Length(field), 16u);
}

TEST_F(ProtectTest, ClearTextLongerThanTheFieldIsCutToIt) {
    const std::string forty(40, 'k');
    EXPECT_EQ(Unprotect(Protect(forty), 32), forty.substr(0, 31));
    // A character outside the BMP that would straddle the field's end is left out whole.
    EXPECT_EQ(Unprotect(Protect(std::string(30, 'k') + "\xF0\x9F\x98\x80"), 32), std::string(30, 'k'));
    EXPECT_EQ(Unprotect(Protect(std::string(29, 'k') + "\xF0\x9F\x98\x80"), 32),
              std::string(29, 'k') + "\xF0\x9F\x98\x80");
}

TEST_F(ProtectTest, ProtectedTextMustFitTheConsoleBuffer) {
    std::string longest = Protect(std::string(kMaxProtectableUnits, 'x'));
    EXPECT_LE(longest.size(), kMaxProtectedTextLength);
    EXPECT_EQ(Unprotect(longest, kMaxProtectableUnits + 1), std::string(kMaxProtectableUnits, 'x'));

    std::string out = "before";
    EXPECT_EQ(ProtectText(std::string(kMaxProtectableUnits + 1, 'x'), out), -1);
    // Counted in UTF-16 units: the last character takes two.
    EXPECT_EQ(ProtectText(std::string(kMaxProtectableUnits - 1, 'x') + "\xF0\x9F\x98\x80", out), -1);
    EXPECT_EQ(out, "before");
}

TEST_F(ProtectTest, OddLengthTakesTheTerminatingZeroAsTheLastDigit) {
    // The last byte of an odd text is (value of its last character) * 16 - '0'. A blob whose
    // last byte has a zero low nibble can therefore be written with one character less.
    const char kDigits[] = "0123456789ABCDEF";
    for (int attempt = 0; attempt < 2000; ++attempt) {
        std::string text = Protect("odd");
        unsigned last = static_cast<unsigned>(std::stoul(text.substr(text.size() - 2), nullptr, 16));
        if ((last & 0x0F) != 0) continue;
        std::string odd = text.substr(0, text.size() - 2) + kDigits[((last >> 4) + 3) & 0x0F];
        EXPECT_EQ(Unprotect(odd), "odd") << text;
        EXPECT_EQ(log_.Text(), "");
        return;
    }
    FAIL() << "no blob ended in a byte with a zero low nibble";
}

TEST_F(ProtectTest, MalformedProtectedTextIsRefusedWithoutOverrun) {
    std::string text = Protect("pw");
    // Characters are not validated, only computed: 'G' counts 16, so "G1" is the byte 0x01.
    ASSERT_EQ(text.substr(0, 2), "01");
    EXPECT_EQ(Unprotect("g1" + text.substr(2)), "pw");
    // Like the wide text it stands for, the text ends at a zero.
    EXPECT_EQ(Unprotect(text + std::string(1, '\0') + "FFFF"), "pw");
    EXPECT_EQ(log_.Text(), "");

    const std::string bad[] = {
        text.substr(0, text.size() - 1),                   // odd, last byte not the blob's
        "not hexadecimal at all!",                         // turned into bytes, then refused
        "\xE4\xB8\xAD\xE6\x96\x87",                        // not even ASCII
        "0",                                               // one character
        text + std::string(kMaxProtectedTextLength, '0'),  // longer than the working buffer
    };
    for (const std::string& t : bad) {
        log_.log().Clear();
        EXPECT_EQ(Unprotect(t), "untouched") << t.substr(0, 40);
        EXPECT_EQ(log_.Text(), std::string(kBadData) + "\n") << t.substr(0, 40);
    }
    log_.log().Clear();
    UseVersion(kLegacy);
    for (const std::string& t : bad) EXPECT_EQ(Unprotect(t), "untouched");
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProtectTest, VersionQueryFailureIsLoggedAndNothingChanges) {
    std::string text = Protect("pw");
    platform::SetOsVersionFailsForTest(true);
    std::string out = "before";
    EXPECT_EQ(ProtectText("pw", out), -1);
    EXPECT_EQ(out, "before");
    EXPECT_EQ(Unprotect(text), "untouched");
    EXPECT_EQ(log_.Text(), "[ERR]Get OS version failed!\n[ERR]Get OS version failed!\n");
}

TEST_F(ProtectTest, MissingMachineKeyIsReportedAndNotCreatedByUnprotect) {
    std::string foreign = "01430102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E";
    EXPECT_EQ(Unprotect(foreign), "untouched");
    EXPECT_EQ(log_.Text(), "[ERR]Load ncrypt.dll failed! ErrorCode:2\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "keys"));
    log_.log().Clear();
    UseVersion(kLegacy);
    EXPECT_EQ(Unprotect(foreign), "untouched");
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ProtectTest, UnusableMachineKeyGivesTheCngMessages) {
    // A key that cannot be created stands where the library cannot be loaded.
    WriteFile(dir_ / "file", "not a folder");
    UseKey(dir_ / "file/machine.key");
    std::string out = "before";
    EXPECT_EQ(ProtectText("pw", out), -1);
    EXPECT_EQ(log_.Text(), "[ERR]Load ncrypt.dll failed! ErrorCode:20\n");

    // A key file that holds no key stands where the descriptor cannot be created.
    UseKey(keyPath_);
    std::string text = Protect("pw");
    std::filesystem::create_directories(dir_ / "broken");
    WriteFile(dir_ / "broken/machine.key", "short");
    UseKey(dir_ / "broken/machine.key");
    log_.log().Clear();
    EXPECT_EQ(ProtectText("pw", out), -1);
    EXPECT_EQ(Unprotect(text), "untouched");
    EXPECT_EQ(log_.Text(),
              "[ERR]Create protection descriptor failed!\n"
              "[ERR]Decrypt data by CNG cryptography failed! Status:0x80090003\n");

    log_.log().Clear();
    UseVersion(kLegacy);
    EXPECT_EQ(ProtectText("pw", out), -1);
    EXPECT_EQ(out, "before");
    EXPECT_EQ(log_.Text(), "");
}

// The checks the console and orvanectl make before protecting what the administrator typed.
TEST_F(ProtectTest, SecretChecksBeforeProtection) {
    using console::SecretCheck;
    std::string out = "before";
    EXPECT_EQ(console::ProtectSecret("", 16, out), SecretCheck::Empty);
    EXPECT_EQ(console::ProtectSecret(std::string(17, 'c'), console::kClientShareKeyMaxLength, out),
              SecretCheck::TooLong);
    // Counted in UTF-16 units, like the console's edit limits.
    EXPECT_EQ(console::ProtectSecret(std::string(15, 'c') + "\xF0\x9F\x98\x80", 16, out), SecretCheck::TooLong);
    EXPECT_EQ(console::ProtectSecret("bad\xC3", 0, out), SecretCheck::NotText);
    EXPECT_EQ(console::ProtectSecret(std::string("a\0b", 3), 0, out), SecretCheck::NotText);
    EXPECT_EQ(console::ProtectSecret(std::string(kMaxProtectableUnits + 1, 'c'), 0, out), SecretCheck::TooLong);
    EXPECT_EQ(console::ProtectSecret(std::string(kMaxProtectableUnits + 1, 'c'), 5000, out), SecretCheck::TooLong);
    EXPECT_EQ(out, "before");

    const std::string key(23, 'f');
    ASSERT_EQ(console::ProtectSecret(key, console::kFirewallShareKeyMaxLength, out), SecretCheck::Ok);
    EXPECT_EQ(Unprotect(out, 32), key);

    UseKey(dir_ / "missing-folder/deeper/machine.key");
    out = "before";
    EXPECT_EQ(console::ProtectSecret(key, 0, out), SecretCheck::ProtectFailed);
    EXPECT_EQ(out, "before");
}

}  // namespace
}  // namespace orvane
