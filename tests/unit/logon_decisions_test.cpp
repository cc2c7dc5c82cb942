#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_util.h"
#include "worker/directory/directory_client.h"
#include "worker/directory/logon_time.h"
#include "worker/users/logon_decisions.h"

namespace orvane {
namespace {

using testing::FakeClock;
using testing::ScopedClock;
using testing::ScopedMemoryLog;

// 2026-01-05 10:00:00 UTC.
constexpr std::int64_t kTenOClock = 1767607200;

struct Notification {
    std::string user, address, domain, adPath;
    std::uint8_t state;
};

class LogonDecisionsTest : public ::testing::Test {
protected:
    LogonDecisionsTest() : clock(kTenOClock + 60), scoped(clock) {}

    LogonDecisions Make(std::uint32_t window = 1800) {
        LogonServices services;
        services.verifyUser = [this](std::string_view user, std::string_view domain, OnlineUserRecord& r) -> long {
            lookups.emplace_back(std::string(user) + "@" + std::string(domain));
            auto it = directory.find(std::string(user));
            if (it == directory.end()) return static_cast<long>(0x80004005u);
            r.organisation[0] = "OU=Sales,DC=corp,DC=example,DC=com";
            r.lastLogonTime = it->second;
            return 0;
        };
        services.notifyAllGateways = [this](OnlineUserRecord& r) {
            if (r.InTable() && table.Mutex().try_lock()) {
                table.Mutex().unlock();
                ADD_FAILURE() << "notifications are sent with the user-table lock held";
            }
            sent.push_back({r.UserName(), r.Address(), r.Domain(), r.AdPath(), r.state});
        };
        return LogonDecisions(table, services, window);
    }

    FakeClock clock;
    ScopedClock scoped;
    ScopedMemoryLog log;
    OnlineUserTable table;
    std::map<std::string, std::int64_t> directory{{"ann", UtcToLogonTime(kTenOClock)},
                                                  {"Ann", UtcToLogonTime(kTenOClock)},
                                                  {"bob", UtcToLogonTime(kTenOClock)},
                                                  {"never", 0}};
    std::vector<std::string> lookups;
    std::vector<Notification> sent;
};

TEST_F(LogonDecisionsTest, RepeatedLogonKeepsOneRecordAndNotifiesAgain) {
    auto d = Make();
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp,dc=example,dc=com", "PC01"), 0);
    EXPECT_TRUE(log.Contains("[INF]The user (ann) logon from 10.0.0.5 passed the AD server authentication."));
    EXPECT_TRUE(log.Contains("[INF]*************User (ann) logon."));
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp,dc=example,dc=com", "PC02"), 0);
    EXPECT_TRUE(log.Contains("[INF]*************User (ann) logon, but has except because has no offline process."));
    EXPECT_EQ(table.Size(), 1u);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].state, kUserOnline);
    EXPECT_EQ(sent[1].adPath, "OU=Sales,DC=corp,DC=example,DC=com");
    EXPECT_EQ(table.First()->computer, "PC02") << "texts refreshed from the new report";
}

TEST_F(LogonDecisionsTest, AddressesAndDomainsSeparateRecordsUserNameCaseDoesNot) {
    auto d = Make();
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp,dc=com", "PC01"), 0);
    ASSERT_EQ(d.UserLogon("10.0.0.6", "ann", "dc=corp,dc=com", "PC02"), 0);
    EXPECT_EQ(table.Size(), 2u);
    ASSERT_EQ(d.UserLogon("10.0.0.5", "Ann", "dc=corp,dc=com", "PC01"), 0);
    EXPECT_EQ(table.Size(), 2u) << "Ann and ann share a record";
    EXPECT_EQ(table.First()->UserName(), "Ann") << "the reported spelling replaces the stored one";
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "DC=corp,DC=com", "PC01"), 0);
    EXPECT_EQ(table.Size(), 3u) << "domains compare exactly";
}

TEST_F(LogonDecisionsTest, DomainIsCutAtItsFirstDotBeforeTheLookup) {
    auto d = Make();
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "corp.example.com", "PC01"), 0);
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0], "ann@corp");
    EXPECT_EQ(table.First()->Domain(), "corp");
}

TEST_F(LogonDecisionsTest, AntiReplayWindowEdges) {
    auto d = Make(1800);
    clock.Set(kTenOClock + 1800);
    EXPECT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    clock.Set(kTenOClock + 1801);
    EXPECT_EQ(d.UserLogon("10.0.0.7", "bob", "dc=corp", "PC01"), -1);
    EXPECT_TRUE(log.Contains("[ERR]Fake logon detected, because logon time too far!"));
    clock.Set(kTenOClock - 1);  // a last logon in the future
    EXPECT_EQ(d.UserLogon("10.0.0.8", "bob", "dc=corp", "PC01"), -1);
    clock.Set(kTenOClock + 60);
    EXPECT_EQ(d.UserLogon("10.0.0.9", "never", "dc=corp", "PC01"), -1) << "no lastLogon is refused";
    EXPECT_EQ(sent.size(), 1u);

    auto off = Make(0);
    EXPECT_EQ(off.UserLogon("10.0.0.9", "never", "dc=corp", "PC01"), 0) << "window 0 switches the test off";

    EXPECT_TRUE(LogonTimeIsRecent(UtcToLogonTime(kTenOClock), 60));
    EXPECT_FALSE(LogonTimeIsRecent(UtcToLogonTime(kTenOClock), 59));
}

TEST_F(LogonDecisionsTest, UnknownUserIsRefusedForLogonAndLogoff) {
    auto d = Make();
    EXPECT_EQ(d.UserLogon("10.0.0.5", "mallory", "dc=corp", "PC01"), -1);
    EXPECT_TRUE(
        log.Contains("[ERR]The user (mallory) did not pass the AD server authentication and logon failed."));
    EXPECT_EQ(d.UserLogoff("10.0.0.5", "mallory", "dc=corp", "PC01"), -1);
    EXPECT_TRUE(
        log.Contains("[ERR]The user (mallory) did not pass the AD server authentication and logoff failed."));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(table.Size(), 0u);
}

TEST_F(LogonDecisionsTest, LogoffLifecycle) {
    auto d = Make();
    EXPECT_EQ(d.UserLogoff("10.0.0.5", "ann", "dc=corp", "PC01"), -1) << "no record: nothing";
    EXPECT_TRUE(sent.empty());

    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    clock.Advance(100000);  // no anti-replay test for a logoff
    ASSERT_EQ(d.UserLogoff("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    EXPECT_TRUE(log.Contains("[INF]The user (ann) logoff from 10.0.0.5 passed the AD server authentication."));
    EXPECT_TRUE(log.Contains("[INF]*************User 'ann' logoff."));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].state, kUserOffline);
    EXPECT_EQ(d.UserLogoff("10.0.0.5", "ann", "dc=corp", "PC01"), -1) << "a second logoff sends nothing";
    EXPECT_EQ(sent.size(), 2u);

    // The offline record still awaits confirmations: a logon turns it online again.
    clock.Set(kTenOClock + 60);
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    EXPECT_EQ(table.Size(), 1u);
    EXPECT_EQ(table.First()->state, kUserOnline);
    EXPECT_EQ(sent.back().state, kUserOnline);
}

TEST_F(LogonDecisionsTest, ServerLogonNotifiesOnceWithoutTheTable) {
    auto d = Make();
    OnlineUserRecord r;
    r.organisation[0] = "OU=Sales,DC=corp";
    EXPECT_EQ(d.ReportServerLogon("10.1.2.3", "ann", r), 0);
    EXPECT_TRUE(log.Contains("[INF]User-logon: UserName:ann, ADPath:OU=Sales,DC=corp, Ip: 10.1.2.3"));
    OnlineUserRecord bare;
    EXPECT_EQ(d.ReportServerLogon("10.1.2.4", "bob", bare), 0);
    EXPECT_TRUE(log.Contains("[INF]User-logon: UserName:bob, Ip: 10.1.2.4"));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].address, "10.1.2.3");
    EXPECT_EQ(sent[0].state, kUserOnline);
    EXPECT_EQ(table.Size(), 0u);
}

// No directory server reachable: the report waits (growing pauses) and is decided once one
// answers; a refusal only when the waiting is stopped or outlasts the anti-replay window.
TEST_F(LogonDecisionsTest, ReportsWaitWhileNoDirectoryServerCanBeReached) {
    int unreachableFor = 3;
    std::vector<unsigned> pauses;
    auto make = [&](bool keepWaiting, std::uint32_t window) {
        LogonServices services;
        services.verifyUser = [&, this](std::string_view, std::string_view, OnlineUserRecord& r) -> long {
            lookups.emplace_back("lookup");
            if (unreachableFor > 0) {
                --unreachableFor;
                return kEDirectoryUnreachable;
            }
            r.lastLogonTime = UtcToLogonTime(clock.Now() - 1);
            return 0;
        };
        services.notifyAllGateways = [this](OnlineUserRecord& r) {
            sent.push_back({r.UserName(), r.Address(), r.Domain(), r.AdPath(), r.state});
        };
        services.waitForDirectory = [&, keepWaiting](unsigned ms) {
            pauses.push_back(ms);
            clock.Advance(ms / 1000 + 1);
            return keepWaiting;
        };
        return LogonDecisions(table, services, window);
    };
    auto d = make(true, 1800);
    ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    EXPECT_EQ(lookups.size(), 4u);
    EXPECT_EQ(pauses, (std::vector<unsigned>{500, 1000, 2000}));
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(log.Contains("[ERR]No directory server can be reached; the report of user (ann) waits until a "
                             "directory server answers."));
    EXPECT_TRUE(log.Contains("[INF]A directory server answers again; the report of user (ann) is decided."));
    EXPECT_FALSE(log.Contains("did not pass the AD server authentication"));

    // The logoff waits the same way; the pauses stop growing at the longest.
    unreachableFor = 6;
    pauses.clear();
    ASSERT_EQ(d.UserLogoff("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
    EXPECT_EQ(pauses, (std::vector<unsigned>{500, 1000, 2000, 4000, 4000, 4000}));

    // Waiting stopped: refused as before.
    unreachableFor = 100;
    auto stopped = make(false, 1800);
    EXPECT_EQ(stopped.UserLogon("10.0.0.6", "ann", "dc=corp", "PC01"), -1);
    EXPECT_TRUE(log.Contains("[ERR]The user (ann) did not pass the AD server authentication and logon failed."));

    // Waiting ends with the anti-replay window: 20 s of pauses at most (4 s each at the end).
    pauses.clear();
    auto windowed = make(true, 20);
    EXPECT_EQ(windowed.UserLogon("10.0.0.7", "ann", "dc=corp", "PC01"), -1);
    EXPECT_GE(pauses.size(), 4u);
    EXPECT_LE(pauses.size(), 8u);
}

}  // namespace
}  // namespace orvane
