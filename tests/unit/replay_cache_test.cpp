#include "worker/reports/replay_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/client_report.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Example(const KeyField& key, ReportKind kind = ReportKind::Logon, std::string_view user = "ann") {
    Bytes d;
    EXPECT_TRUE(BuildClientReport(kind, user, "dc=corp,dc=example,dc=com", "PC01", key, d));
    return d;
}

ReportDigest Digest(const Bytes& d) { return DigestReportBody(d.data(), d.size()); }

ReportDigest Numbered(std::uint32_t n) {
    ReportDigest d;
    std::memcpy(d.bytes.data(), &n, sizeof n);
    return d;
}

// A recorded report, every one of its 84 x 8 single-bit variants, and the IV edits that turn it
// into another valid text: each is either not shaped like a report (never acknowledged), refused
// on opening, or carries the recorded body, which the cache already holds.
TEST(ReportTampering, EverySingleBitVariantIsRefusedOrARepeat) {
    const KeyField key = MakeKeyField("Shared-Secret-1");
    const Bytes original = Example(key);
    ASSERT_EQ(original.size(), 84u);
    ReplayCache cache(1800);
    cache.Remember(Digest(original), false, 1000);

    std::uint8_t plain[kReportPlainBuffer];
    std::string text;
    int notShaped = 0, refused = 0, repeats = 0;
    for (std::size_t byte = 0; byte < original.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes v = original;
            v[byte] ^= static_cast<std::uint8_t>(1u << bit);
            if (!IsReportShaped(v.data(), v.size())) {
                ++notShaped;
            } else if (cache.Seen(Digest(v), 1001)) {
                ++repeats;
            } else {
                EXPECT_NE(OpenClientReport(v.data(), v.size(), key, plain, text), ReportOpenResult::Opened)
                    << "byte " << byte << " bit " << bit << " opened as " << text;
                ++refused;
            }
        }
    }
    EXPECT_EQ(notShaped, 16);        // the length field
    EXPECT_EQ(refused, 48 * 8);      // every body bit garbles a block
    EXPECT_EQ(repeats, 84 * 8 - 16 - 48 * 8);  // the rest of the header, the IV among it

    // What the IV edits can make is a valid text: the cache alone stops it. Logon into logoff
    // (plain byte 9) and ann into bob (bytes 11-13).
    Bytes logoff = original;
    logoff[20 + 9] ^= '0' ^ '1';
    Bytes bob = original;
    for (int i = 0; i < 3; ++i) bob[20 + 11 + i] ^= static_cast<std::uint8_t>("ann"[i] ^ "bob"[i]);
    ASSERT_EQ(OpenClientReport(logoff.data(), logoff.size(), key, plain, text), ReportOpenResult::Opened);
    EXPECT_EQ(text, "DEDOVEROZ1|ann|dc=corp,dc=example,dc=com|PC01");
    ASSERT_EQ(OpenClientReport(bob.data(), bob.size(), key, plain, text), ReportOpenResult::Opened);
    EXPECT_EQ(text, "DEDOVEROZ0|bob|dc=corp,dc=example,dc=com|PC01");
    EXPECT_TRUE(cache.Seen(Digest(logoff), 1001));
    EXPECT_TRUE(cache.Seen(Digest(bob), 1001));
    // A fresh report of the same text is another body.
    EXPECT_FALSE(cache.Seen(Digest(Example(key)), 1001));
}

TEST(ReplayCache, ReportsAreRememberedForTheWindowLogoffsForADay) {
    ReplayCache cache(600);
    const ReportDigest logon = Numbered(1), logoff = Numbered(2);
    cache.Remember(logon, false, 1000);
    cache.Remember(logoff, true, 1000);
    EXPECT_TRUE(cache.Seen(logon, 1599));
    EXPECT_FALSE(cache.Seen(logon, 1600));  // the window has passed: the logon decisions take over
    EXPECT_TRUE(cache.Seen(logoff, 1000 + 24 * 3600 - 1));
    EXPECT_FALSE(cache.Seen(logoff, 1000 + 24 * 3600));
    EXPECT_EQ(cache.Size(), 0u);

    // AntiReplayTime 0 gives 30 minutes; a window longer than a day keeps logoffs that long too.
    ReplayCache unset(0);
    unset.Remember(logon, false, 0);
    EXPECT_TRUE(unset.Seen(logon, 1799));
    EXPECT_FALSE(unset.Seen(logon, 1800));
    ReplayCache long_(3 * 24 * 3600);
    long_.Remember(logoff, true, 0);
    EXPECT_TRUE(long_.Seen(logoff, 3 * 24 * 3600 - 1));
}

TEST(ReplayCache, BoundedOldestForgottenFirst) {
    ReplayCache cache(1800, 100, 10);
    for (std::uint32_t i = 0; i < 250; ++i) cache.Remember(Numbered(i), false, 1000 + i);
    for (std::uint32_t i = 1000; i < 1020; ++i) cache.Remember(Numbered(i), true, 1000);
    EXPECT_EQ(cache.Size(), 110u);
    EXPECT_FALSE(cache.Seen(Numbered(149), 1300));
    EXPECT_TRUE(cache.Seen(Numbered(150), 1300));
    EXPECT_TRUE(cache.Seen(Numbered(249), 1300));
    EXPECT_FALSE(cache.Seen(Numbered(1009), 1300));
    EXPECT_TRUE(cache.Seen(Numbered(1010), 1300));
    // Remembering a digest twice keeps one entry, which expires once.
    ReplayCache once(60, 5, 5);
    once.Remember(Numbered(7), false, 0);
    once.Remember(Numbered(7), false, 30);
    EXPECT_EQ(once.Size(), 1u);
    EXPECT_FALSE(once.Seen(Numbered(7), 60));
}

}  // namespace
}  // namespace orvane
