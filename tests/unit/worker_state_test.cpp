#include "worker/startup/worker_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "worker/directory/logon_time.h"
#include "worker/eventlog/security_log_poller.h"
#include "worker/users/logon_decisions.h"

namespace orvane {
namespace {

using testing::FakeClock;
using testing::ScopedClock;
using testing::ScopedMemoryLog;
using testing::TempDir;

constexpr std::int64_t kStart = 1767607200;  // 2026-01-05 10:00:00 UTC
constexpr char kFile[] = "state-reports.db";

// One worker's life over the store: a table, its decisions, and the store's observer.
struct WorkerLife {
    explicit WorkerLife(const std::string& folder) : observer(store) {
        EXPECT_TRUE(store.Open(folder, kFile));
    }
    LogonDecisions Decisions(std::vector<std::string>& sent) {
        LogonServices services;
        services.verifyUser = [](std::string_view, std::string_view, OnlineUserRecord& r) -> long {
            r.organisation[0] = "OU=Sales,DC=corp,DC=com";
            r.lastLogonTime = UtcToLogonTime(platform::GetClock().Now());
            return 0;
        };
        services.notifyAllGateways = [&sent](OnlineUserRecord& r) {
            sent.push_back(r.UserName() + (r.state == kUserOnline ? " online" : " offline"));
        };
        return LogonDecisions(table, services, 1800);
    }
    StateStore store;
    OnlineUserTable table;
    OnlineUsersInStore observer;
};

TEST(WorkerStateTest, OnlineUsersOutliveARestartAndTheirLogoffIsDecided) {
    TempDir dir;
    FakeClock clock(kStart);
    ScopedClock scoped(clock);
    ScopedMemoryLog log;
    std::vector<std::string> sent;
    {
        WorkerLife first(dir.path());
        first.table.SetObserver(&first.observer);
        auto d = first.Decisions(sent);
        ASSERT_EQ(d.UserLogon("10.0.0.5", "ann", "dc=corp", "PC01"), 0);
        ASSERT_EQ(d.UserLogon("10.0.0.6", "bob", "dc=corp", "PC02"), 0);
        ASSERT_EQ(d.UserLogon("10.0.0.7", "cy", "dc=corp", "PC03"), 0);
        ASSERT_EQ(d.UserLogoff("10.0.0.7", "cy", "dc=corp", ""), 0);
        // Bob's logon is refreshed two days later; Ann's is not.
        clock.Advance(2 * 24 * 3600);
        ASSERT_EQ(d.UserLogon("10.0.0.6", "Bob", "dc=corp", "PC02"), 0);
        ASSERT_TRUE(first.store.Commit());
    }  // the process ends without any farewell

    clock.Advance(24 * 3600);
    WorkerLife second(dir.path());
    sent.clear();
    // A maximum age of two days: Ann's record (three days old) and Cy's offline one are dropped.
    EXPECT_EQ(RestoreOnlineUsers(second.store, second.table, 2 * 24 * 3600, clock.Now()), 1u);
    EXPECT_TRUE(log.Contains("[INF]1 online users are taken back from the state store (the gateways already know "
                             "them); 2 offline or older than OnlineRecordMaxAge are dropped."))
        << log.Text();
    EXPECT_TRUE(sent.empty()) << "restored users are not notified again";
    OnlineUserRecord* bob = second.table.FindOnlineUser("bob", "10.0.0.6", "dc=corp");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->UserName(), "Bob");
    EXPECT_EQ(bob->AdPath(), "OU=Sales,DC=corp,DC=com");
    EXPECT_EQ(bob->computer, "PC02");
    EXPECT_EQ(bob->stateSince, kStart + 2 * 24 * 3600);

    second.table.SetObserver(&second.observer);
    auto d = second.Decisions(sent);
    EXPECT_EQ(d.UserLogoff("10.0.0.6", "bob", "dc=corp", ""), 0) << "not refused as not online";
    EXPECT_EQ(d.UserLogoff("10.0.0.5", "ann", "dc=corp", ""), -1);
    ASSERT_EQ(sent, std::vector<std::string>{"Bob offline"});
    // The removal the retransmission thread makes reaches the store too.
    {
        std::lock_guard<std::mutex> lock(second.table.Mutex());
        second.table.Remove(*second.table.FindOnlineUser("bob", "10.0.0.6", "dc=corp"));
    }
    ASSERT_TRUE(second.store.Commit());
    EXPECT_TRUE(second.store.LoadOnlineUsers().empty());
}

TEST(WorkerStateTest, TheFirstPollAfterARestartResumesFromTheStoredTimeAtMostTheSpanBack) {
    TempDir dir;
    StateStore store;
    ASSERT_TRUE(store.Open(dir.path(), "state-dc-10.99.0.1.db"));
    ScopedMemoryLog log;
    PollerServices services;
    services.store = &store;
    services.resumeSpan = 30 * 60;
    PollerContext context;
    // Nothing stored: the first poll fixes the starting time as before.
    ResumeQueryTime(context, services, kStart);
    EXPECT_TRUE(context.lastQueryTime.empty());

    store.SaveQueryTime("20260105095000.123456+000");
    ASSERT_TRUE(store.Commit());
    ResumeQueryTime(context, services, kStart);
    EXPECT_EQ(context.lastQueryTime, "20260105095000.123456+000");
    EXPECT_TRUE(log.Contains("[INF]Resume query time 20260105095000.123456+000"));

    // Stored two hours back: at most 30 minutes are looked at again.
    PollerContext later;
    ResumeQueryTime(later, services, kStart + 2 * 3600);
    EXPECT_EQ(later.lastQueryTime, "20260105113000.000000+000");

    // A span of 0 keeps the old start.
    PollerContext off;
    services.resumeSpan = 0;
    ResumeQueryTime(off, services, kStart);
    EXPECT_TRUE(off.lastQueryTime.empty());
}

}  // namespace
}  // namespace orvane
