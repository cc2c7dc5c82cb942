#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "fake_directory.h"
#include "fake_event_source.h"
#include "test_util.h"
#include "common/text.h"
#include "platform/netif.h"
#include "worker/eventlog/security_log_poller.h"
#include "worker/startup/worker_runtime.h"
#include "worker/users/excluded_accounts.h"
#include "worker/users/identity_rules.h"

namespace orvane {
namespace {

using testing::FakeDirectory;
using testing::LogonEvent;
using testing::ScopedClock;
using testing::ScopedDirectoryClient;
using testing::Numbered;
using testing::ScopedMemoryLog;
using testing::ScriptedFactory;
using testing::ScriptedServer;

constexpr char kDc[] = "10.0.0.1";

std::string Time(int s) {
    char b[40];
    std::snprintf(b, sizeof b, "202612070900%02d.000000+000", s);
    return b;
}

// A clock that records every sleep and can end the polling loop after a number of them.
class StepClock final : public platform::Clock {
public:
    std::int64_t Now() override { return 1765000000 + static_cast<std::int64_t>(elapsedMs / 1000); }
    bool LocalNow(platform::LocalTime& out) override { return platform::ToLocalTime(Now(), out); }
    void SleepMs(unsigned ms) override {
        sleeps.push_back(ms);
        elapsedMs += ms;
        if (onSleep) onSleep(sleeps.size());
    }
    std::vector<unsigned> sleeps;
    std::uint64_t elapsedMs = 0;
    std::function<void(std::size_t)> onSleep;
};

struct Report {
    std::string address, user, adPath;
};

class PollerTest : public ::testing::Test {
protected:
    PollerTest() : factory(server), scopedClock(clock), scopedDirectory(directory) {
        auto& dc = directory.Add(kDc);
        dc.accounts = {{"ann", "CN=ann,OU=Sales,DC=corp,DC=example,DC=com"},
                       {"bob", "CN=bob,CN=Users,DC=corp,DC=example,DC=com"},
                       {"Administrator2", "CN=Administrator2,CN=Users,DC=corp,DC=example,DC=com"}};
        for (int i = 0; i < 150; ++i)
            dc.accounts.push_back({Numbered("u", i), "CN=u" + std::to_string(i) + ",DC=corp,DC=example,DC=com"});
        services.reportServerLogon = [this](std::string_view address, std::string_view user, OnlineUserRecord& r) {
            reports.push_back({std::string(address), std::string(user), r.AdPath()});
            return 0;
        };
        services.isLocalAddress = [this](std::string_view) { return local; };
        services.exitProcess = [this](int code) { exitCodes.push_back(code); };
        services.runState = &runState;
        runState = kRunStateRunning;
    }

    // A context connected the way the query-log thread connects it.
    PollerContext Connected() {
        PollerContext c;
        EXPECT_EQ(GetEventSourceFactory().CreateLocator(c.locator), kSOk);
        c.serverAddress = kDc;
        c.namespacePath = std::string("\\\\") + kDc + "\\root\\cimv2";
        c.user = "Administrator";
        c.domain = "CORP";
        c.password = "pw";
        c.remote = local ? 0 : 1;
        EXPECT_EQ(ConnectWmi(c), 0);
        EXPECT_EQ(DetectServerGeneration(c), 1);
        return c;
    }

    int Poll(PollerContext& c) {
        DirectoryError error;
        if (!search) search = directory.Open(kDc, "CORP\\Administrator", "pw", error);
        return QuerySecurityLog(search.get(), c, services);
    }

    void LoadServer() {
        WorkerSettings s;
        s.adServerNum = 1;
        s.servers = {ServerEntry{kDc, "CORP\\Administrator", "pw", ""}};
        LoadDirectoryServers(s);
    }

    ScriptedServer server;
    ScriptedFactory factory;
    StepClock clock;
    ScopedClock scopedClock;
    FakeDirectory directory;
    ScopedDirectoryClient scopedDirectory;
    ScopedMemoryLog log;
    std::unique_ptr<DirectorySearch> search;
    PollerServices services;
    std::atomic<std::uint32_t> runState{0};
    std::vector<Report> reports;
    std::vector<int> exitCodes;
    bool local = false;
};

TEST(PollerTexts, ClientAddressIsTheIpv4AfterTheLastColon) {
    EXPECT_EQ(ClientAddressOf("::ffff:10.0.0.7"), "10.0.0.7");
    EXPECT_EQ(ClientAddressOf("10.0.0.7"), "10.0.0.7");
    EXPECT_EQ(ClientAddressOf("::1"), "");
    EXPECT_EQ(ClientAddressOf("-"), "");
    EXPECT_EQ(ClientAddressOf(""), "");
    EXPECT_EQ(ClientAddressOf("127.0.0.1"), "");
    EXPECT_EQ(ClientAddressOf("::ffff:127.0.0.1"), "");
    EXPECT_EQ(ClientAddressOf("fe80::1"), "");
    EXPECT_EQ(ClientAddressOf("10.0.0.256"), "");
    EXPECT_EQ(PollingIntervalMs(0), 5000u);
    EXPECT_EQ(PollingIntervalMs(3), 5000u);
    EXPECT_EQ(PollingIntervalMs(5), 5000u);
    EXPECT_EQ(PollingIntervalMs(30), 30000u);
}

TEST(PollerTexts, LocalAddressesAreTheMachinesOwnNonLoopbackOnes) {
    ScopedMemoryLog log;
    EXPECT_FALSE(IsLocalAddress("dc1.corp.example.com"));
    EXPECT_TRUE(log.Contains("[ERR]The string of server IP is Invalid."));
    EXPECT_FALSE(IsLocalAddress("127.0.0.1")) << "loopback is no address a gateway's DC could have";
    std::vector<std::string> own;
    int err = 0;
    ASSERT_TRUE(platform::LocalIpv4Addresses(own, err));
    for (const std::string& a : own) EXPECT_TRUE(IsLocalAddress(a)) << a;
    EXPECT_FALSE(IsLocalAddress("192.0.2.254")) << "TEST-NET-1 is nobody's address";
}

TEST_F(PollerTest, GenerationFromTheCaption) {
    server.captions = {"Microsoft(R) Windows(R) Server 2003, Enterprise Edition"};
    PollerContext c = Connected();
    EXPECT_EQ(c.generation, 2003u);
    EXPECT_EQ(c.eventFilter, "(EventCode='672' OR EventCode='673' OR EventCode='674')");
    server.captions = {"Samba Active Directory Domain Controller on Debian GNU/Linux 12 (bookworm)"};
    EXPECT_EQ(DetectServerGeneration(c), 1);
    EXPECT_EQ(c.generation, 2008u);
    EXPECT_EQ(c.eventFilter, "(EventCode='4768' OR EventCode='4769' OR EventCode='4770' OR EventCode='4624')");
    // No caption object at all: a failure, not an empty filter that fails every poll.
    server.captions.clear();
    EXPECT_EQ(DetectServerGeneration(c), 0);
    server.failingQueries = 1;
    EXPECT_EQ(DetectServerGeneration(c), 0);
    EXPECT_TRUE(log.Contains(std::string("[ERR]") + kDc + ": Fail to select caption"));
}

TEST_F(PollerTest, A2003ServerIsPolledForItsOwnEvents) {
    server.captions = {"Windows Server 2003"};
    PollerContext c = Connected();
    server.events = {LogonEvent(672, Time(1), "old", "10.0.0.1")};
    ASSERT_EQ(Poll(c), 0);
    server.events.push_back(LogonEvent(672, Time(2), "ann", "10.0.0.7"));
    server.events.push_back(LogonEvent(673, Time(3), "bob", "::ffff:10.0.0.8"));
    server.events.push_back(LogonEvent(4624, Time(4), "u1", "10.0.0.9"));
    ASSERT_EQ(Poll(c), 0);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].user, "bob");
    EXPECT_EQ(reports[0].address, "10.0.0.8");
    EXPECT_EQ(reports[1].user, "ann");
}

TEST_F(PollerTest, FirstPollFixesTheStartAndLaterOnesReportNewLogons) {
    PollerContext c = Connected();
    server.events = {LogonEvent(4624, Time(1), "ann", "10.0.0.7"), LogonEvent(4624, Time(2), "bob", "10.0.0.8")};
    ASSERT_EQ(Poll(c), 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(c.lastQueryTime, Time(2));
    EXPECT_TRUE(log.Contains("[INF]First query time " + Time(2)));
    EXPECT_EQ(server.queries.back(),
              "SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND (EventCode='4768' OR EventCode='4769' OR "
              "EventCode='4770' OR EventCode='4624')");

    server.events.push_back(LogonEvent(4624, Time(2), "u1", "10.0.0.1"));  // same time: not again
    server.events.push_back(LogonEvent(4624, Time(3), "ann@CORP.EXAMPLE.COM", "::ffff:10.0.0.7"));
    server.events.push_back(LogonEvent(4768, Time(4), "ann", "::ffff:10.0.0.7"));
    server.events.push_back(LogonEvent(4769, Time(5), "ann", "10.0.0.7"));
    server.events.push_back(LogonEvent(4624, Time(6), "PC01$", "10.0.0.20"));
    server.events.push_back(LogonEvent(4624, Time(7), "administrator", "10.0.0.21"));
    server.events.push_back(LogonEvent(4624, Time(8), "Administrator2", "10.0.0.22"));
    server.events.push_back(LogonEvent(4624, Time(9), "bob", "::1"));
    server.events.push_back(LogonEvent(4624, Time(10), "bob", "-"));
    server.events.push_back(LogonEvent(4624, Time(11), "nobody", "10.0.0.23"));
    ASSERT_EQ(Poll(c), 0);
    EXPECT_EQ(server.queries.back().find("where TimeGenerated>'" + Time(2) + "' and LogFile='Security' AND "), 31u)
        << server.queries.back();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].user, "Administrator2");
    EXPECT_EQ(reports[1].user, "ann");
    EXPECT_EQ(reports[1].address, "10.0.0.7");
    EXPECT_EQ(reports[1].adPath, "OU=Sales,DC=corp,DC=example,DC=com");
    EXPECT_TRUE(log.Contains("[INF]User non-exist(name : nobody IP:10.0.0.23"));
    EXPECT_TRUE(log.Contains("[INF]New query time " + Time(11)));
    EXPECT_EQ(c.lastQueryTime, Time(11));

    // The same logon seen again in a later poll is reported again.
    server.events.push_back(LogonEvent(4624, Time(12), "ann", "10.0.0.7"));
    ASSERT_EQ(Poll(c), 0);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].user, "ann");
}

// A least-privileged bind account logs on at the DC with every lookup of the worker.
TEST_F(PollerTest, TheAgentsOwnAccountsAreNeverReported) {
    ExcludeAgentAccounts({"CORP\\svc-orvane", "reader@corp.example.com"});
    struct Restore {
        ~Restore() { ExcludeAgentAccounts({}); }
    } restore;
    auto& dc = directory.At(kDc);
    dc.accounts.push_back({"svc-orvane", "CN=svc-orvane,CN=Users,DC=corp,DC=example,DC=com"});
    dc.accounts.push_back({"reader", "CN=reader,CN=Users,DC=corp,DC=example,DC=com"});
    PollerContext c = Connected();
    c.lastQueryTime = Time(0);
    server.events = {
        LogonEvent(4624, Time(1), "svc-orvane", "10.0.0.2", "CORP"),
        LogonEvent(4768, Time(2), "svc-orvane", "10.0.0.2", "CORP.EXAMPLE.COM"),
        LogonEvent(4769, Time(3), "SVC-ORVANE@corp.example.com", "10.0.0.2"),
        LogonEvent(4624, Time(4), "reader", "10.0.0.3", "CORP"),
        LogonEvent(4624, Time(5), "svc-orvane", "10.0.0.4", "LAB"),  // another domain's account
        LogonEvent(4624, Time(6), "ann", "10.0.0.7", "CORP"),
    };
    ASSERT_EQ(Poll(c), 0);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].user, "ann");
    EXPECT_EQ(reports[1].user, "svc-orvane");
    EXPECT_EQ(reports[1].address, "10.0.0.4");
}

TEST_F(PollerTest, TheAdministratorsRulesRefuseEventsBeforeAnyLookup) {
    WorkerSettings rules;
    rules.ignoredAccounts = {"svc-*"};
    rules.addressRules = {"exclude 10.0.5.0/24", "include 10.0.0.0/16"};
    SetIdentityRules(rules);
    struct Restore {
        ~Restore() { SetIdentityRules(WorkerSettings{}); }
    } restore;
    auto& dc = directory.At(kDc);
    dc.accounts.push_back({"svc-backup", "CN=svc-backup,CN=Users,DC=corp,DC=example,DC=com"});
    PollerContext c = Connected();
    c.lastQueryTime = Time(0);
    server.events = {
        LogonEvent(4624, Time(1), "svc-backup", "10.0.6.7", "CORP"),
        LogonEvent(4768, Time(2), "ann", "10.0.5.7", "CORP.EXAMPLE.COM"),
        LogonEvent(4624, Time(3), "ann", "192.168.1.9", "CORP"),
        LogonEvent(4624, Time(4), "ann", "10.0.6.7", "CORP"),
    };
    const int searchesBefore = dc.searches;
    ASSERT_EQ(Poll(c), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].address, "10.0.6.7");
    EXPECT_EQ(dc.searches - searchesBefore, 1) << "refused events are never looked up";
}

TEST_F(PollerTest, UnreadableEventsAreSkippedAndAQueryThatFailsIsReported) {
    PollerContext c = Connected();
    c.lastQueryTime = Time(0);
    EventObject noCode = LogonEvent(4624, Time(1), "bob", "10.0.0.8");
    noCode.Set("EventIdentifier", std::string("4624"));
    EventObject noUser = LogonEvent(4624, Time(2), "", "10.0.0.8");
    EventObject noAddress = LogonEvent(4624, Time(3), "bob", "");
    EventObject noTime = LogonEvent(4624, Time(4), "bob", "10.0.0.8");
    server.events = {noCode, noUser, noAddress, LogonEvent(4624, Time(5), "ann", "10.0.0.7")};
    ASSERT_EQ(Poll(c), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(log.Contains("[INF]does not read RecordNumber"));
    EXPECT_TRUE(log.Contains("[INF]UserName null "));
    EXPECT_TRUE(log.Contains("[INF]user Ip null "));

    // An event without a readable time ends the poll; a first poll then fixes no time.
    noTime.Set("TimeGenerated", std::int64_t{20261207});
    server.events = {noTime, LogonEvent(4624, Time(8), "ann", "10.0.0.17")};
    c.lastQueryTime.clear();
    ASSERT_EQ(Poll(c), 0);
    EXPECT_TRUE(log.Contains("[ERR]Error in getting specified object\n"));
    EXPECT_TRUE(c.lastQueryTime.empty());
    EXPECT_FALSE(log.Text().find("[INF]First query time") != std::string::npos);

    server.failingQueries = 1;
    EXPECT_EQ(Poll(c), -1);
    EXPECT_TRUE(log.Contains("[ERR]query error\n"));
    EXPECT_TRUE(log.Contains("[ERR]ExecQuery error.hResult:0x80041001\n"));
}

TEST_F(PollerTest, ReportedPairsAreForgottenAtAHundred) {
    PollerContext c = Connected();
    c.lastQueryTime = Time(0);
    // 99 distinct pairs, then the first again: still listed, not reported twice.
    for (int i = 0; i < 99; ++i) server.events.push_back(LogonEvent(4624, Time(50), Numbered("u", i), "10.0.1.1"));
    server.events.push_back(LogonEvent(4624, Time(49), "u0", "10.0.1.1"));
    ASSERT_EQ(Poll(c), 0);
    EXPECT_EQ(reports.size(), 99u);
    // 100 distinct pairs empty the list: the first pair is reported again.
    reports.clear();
    server.events.clear();
    c.lastQueryTime = Time(0);
    for (int i = 0; i < 100; ++i) server.events.push_back(LogonEvent(4624, Time(50), Numbered("u", i), "10.0.1.1"));
    server.events.push_back(LogonEvent(4624, Time(49), "u0", "10.0.1.1"));
    ASSERT_EQ(Poll(c), 0);
    EXPECT_EQ(reports.size(), 101u);
    // The same user at another address is another pair.
    ReportedPairs pairs;
    EXPECT_TRUE(pairs.Add("ann", "10.0.0.1"));
    EXPECT_TRUE(pairs.Add("ann", "10.0.0.2"));
    EXPECT_FALSE(pairs.Add("ann", "10.0.0.1"));
    EXPECT_TRUE(pairs.Add("ann\n10.0.0.1", ""));
}

TEST_F(PollerTest, ConnectionBranches) {
    PollerContext c;
    ASSERT_EQ(GetEventSourceFactory().CreateLocator(c.locator), kSOk);
    c.namespacePath = "\\\\10.0.0.1\\root\\cimv2";
    c.domain = "CORP";
    c.remote = 1;
    server.remoteConnects = {static_cast<HResult>(0x800706BAu)};
    EXPECT_EQ(ConnectWmi(c), 1);
    EXPECT_TRUE(log.Contains("[ERR]Connect remote AD server failed. errno = 0x800706BA."));
    EXPECT_EQ(server.authorities.back(), "ntlmdomain:CORP");
    EXPECT_EQ(server.connects, 1) << "a remote server has no local fallback";

    c.remote = 0;
    server.remoteConnects = {kWbemELocalCredentials, kWbemELocalCredentials};
    server.localConnects = {kWbemEFailed};
    EXPECT_EQ(ConnectWmi(c), 1);
    EXPECT_TRUE(log.Contains("[INF]Try to connect the local AD server."));
    EXPECT_TRUE(log.Contains(
        "[ERR]Connect AD server failed. Remote server errno = 0x80041064, local server errno = 0x80041001."));
    EXPECT_EQ(server.paths.back(), "root\\cimv2");
    EXPECT_EQ(ConnectWmi(c), 0);
    EXPECT_TRUE(c.services);

    server.callSecurity = kEFail;
    EXPECT_EQ(ConnectWmi(c), 1);
    EXPECT_FALSE(c.services);
    EXPECT_TRUE(log.Contains("[ERR]Set Proxy-Server fail. hResult:0x80004005\n"));
}

TEST_F(PollerTest, StartGivesUpAfterSixtyAttemptsTenSecondsApart) {
    LoadServer();
    services.queryTime = 3;
    server.remoteConnects.assign(60, static_cast<HResult>(0x800706BAu));
    QueryLogThread(services);
    EXPECT_EQ(server.connects, 60);
    EXPECT_TRUE(log.Contains("[ERR]Times of connect AD server failed.1"));
    EXPECT_TRUE(log.Contains("[ERR]Times of connect AD server failed.60"));
    EXPECT_FALSE(log.Contains("[ERR]Times of connect AD server failed.61"));
    EXPECT_TRUE(log.Contains("[ERR]Fail to Connect!!"));
    EXPECT_TRUE(log.Contains("[ERR]Error accured, restart Orvane service."));
    ASSERT_EQ(clock.sleeps.size(), 61u);
    for (std::size_t i = 0; i < 61; ++i) EXPECT_EQ(clock.sleeps[i], 10000u);
    EXPECT_EQ(exitCodes, std::vector<int>{0});
}

TEST_F(PollerTest, ConnectingOnTheSixtiethAttemptStartsPolling) {
    LoadServer();
    services.queryTime = 3;
    server.remoteConnects.assign(59, static_cast<HResult>(0x800706BAu));
    clock.onSleep = [this](std::size_t n) {
        if (n == 59 + 3) runState = 0;
    };
    QueryLogThread(services);
    EXPECT_TRUE(exitCodes.empty());
    EXPECT_TRUE(log.Contains("[INF]Start query ADServer:10.0.0.1."));
    ASSERT_EQ(clock.sleeps.size(), 62u);
    EXPECT_EQ(clock.sleeps[58], 10000u);
    EXPECT_EQ(clock.sleeps[59], 5000u) << "QueryTime 3 polls every 5 s";
    EXPECT_EQ(clock.sleeps[61], 5000u);
}

TEST_F(PollerTest, StartFailuresEndTheWorker) {
    // No directory handle.
    LoadServer();
    directory.At(kDc).bindFailure = DirectoryError{BindStage::BindDomain, 1};
    QueryLogThread(services);
    EXPECT_TRUE(log.Contains("[ERR]Fail to get AD query handle!!"));
    EXPECT_EQ(exitCodes, std::vector<int>{0});
    // No caption.
    LoadServer();
    server.captions.clear();
    QueryLogThread(services);
    EXPECT_TRUE(log.Contains("[ERR]Fail to check AD os!!"));
    // No server entry left.
    QueryLogThread(services);
    EXPECT_EQ(exitCodes.size(), 3u);
    // A UserName that does not fit the context is refused, not cut.
    WorkerSettings s;
    s.adServerNum = 1;
    s.servers = {ServerEntry{kDc, "CORP\\" + std::string(130, 'u'), "pw", ""}};
    LoadDirectoryServers(s);
    QueryLogThread(services);
    EXPECT_EQ(exitCodes.size(), 4u);
    EXPECT_NE(log.Text().find("[ERR]UserName is longer than 127 characters"), std::string::npos);
    EXPECT_EQ(server.connects, 2);
}

TEST_F(PollerTest, AnOverLongPasswordIsRefusedByNameAndLengthNeverByValue) {
    const std::string secret = testing::DistinctSecret(200);
    WorkerSettings s;
    s.adServerNum = 1;
    s.servers = {ServerEntry{kDc, "CORP\\Administrator", secret, ""}};
    LoadDirectoryServers(s);
    QueryLogThread(services);
    EXPECT_EQ(exitCodes, std::vector<int>{0});
    EXPECT_EQ(server.connects, 0);
    EXPECT_TRUE(log.Contains("[ERR]Password is longer than 127 characters (200 characters given), refused!"));
    EXPECT_FALSE(testing::HoldsPieceOf(log.Text(), secret)) << log.Text();
}

TEST_F(PollerTest, StartReadsQueryTimeFromTheConfigFile) {
    testing::TempDir dir;
    WorkerSettings settings;  // no server: no thread is started
    settings.configPath = dir / "config.ini";
    testing::WriteFile(settings.configPath, "[ModelType]\nValue=1\n\n[QueryTime]\nValue=30\n");
    StartEventLogPoller(settings);
    EXPECT_EQ(settings.queryTime, 30);
    EXPECT_EQ(PollingIntervalMs(settings.queryTime), 30000u);

    testing::WriteFile(settings.configPath, "[QueryTime]\nValue=3\n");
    StartEventLogPoller(settings);
    EXPECT_EQ(settings.queryTime, 3);
    EXPECT_EQ(PollingIntervalMs(settings.queryTime), 5000u) << "below 5 s the poller waits 5 s";

    WorkerSettings missing;
    missing.configPath = settings.configPath;
    testing::WriteFile(missing.configPath, "[ModelType]\nValue=1\n");
    StartEventLogPoller(missing);
    EXPECT_EQ(missing.queryTime, 0);
    EXPECT_EQ(PollingIntervalMs(missing.queryTime), 5000u);
}

TEST_F(PollerTest, APollsLinesAreInTheFileBeforeThePollerSleeps) {
    // The worker's own log as in log-query mode (lines batched), not the memory log.
    testing::TempDir dir;
    testing::ScopedEnv lockDir("ORVANE_LOCK_DIR", dir.path());
    std::filesystem::create_directory(dir / "log");
    WorkerLog file(dir.path(), kDc);
    file.SetImmediateFlush(false);
    LogSink* previous = SetLogSink(&file);
    LoadServer();
    server.events = {LogonEvent(4624, Time(1), "ann", "10.0.0.7")};
    std::vector<std::string> atSleep;
    clock.onSleep = [&](std::size_t n) {
        atSleep.push_back(testing::ReadFile(file.CurrentPath()));
        if (n == 1) server.events.push_back(LogonEvent(4624, Time(2), "bob", "10.0.0.8"));
        if (n == 2) runState = 0;
    };
    QueryLogThread(services);
    SetLogSink(previous);
    ASSERT_EQ(atSleep.size(), 2u);
    // Nothing is logged after the first poll, yet its line is there while the poller waits.
    EXPECT_NE(atSleep[0].find(Utf8ToUtf16LeBytes("[INF]First query time " + Time(1) + "\r\n")), std::string::npos)
        << Utf16LeBytesToUtf8(atSleep[0].substr(2));
    EXPECT_NE(atSleep[1].find(Utf8ToUtf16LeBytes("[INF]New query time " + Time(2) + "\r\n")), std::string::npos)
        << Utf16LeBytesToUtf8(atSleep[1].substr(2));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].user, "bob");
}

TEST_F(PollerTest, EventSourceInitialisationFailures) {
    WorkerSettings settings;  // no server: no thread is started
    server.initialize = kEFail;
    StartEventLogPoller(settings);
    EXPECT_TRUE(log.Contains("[ERR]Failed to initialize COM library. Error:" + FormatSystemError(kEFail)));
    EXPECT_FALSE(log.Contains("[INF] initialize COM library. "));
    server.initialize = kSOk;
    server.initializeSecurity = kEFail;
    StartEventLogPoller(settings);
    EXPECT_TRUE(log.Contains("[INF] initialize COM library. "));
    EXPECT_TRUE(log.Contains("[ERR]Failed to initialize security. Error:" + FormatSystemError(kEFail)));

    // In the thread: no locator, or no COM, ends the worker before any server entry is taken.
    LoadServer();
    server.createLocator = kEFail;
    QueryLogThread(services);
    EXPECT_TRUE(log.Contains("[ERR]Failed to create IWbemLocator object. Error:" + FormatSystemError(kEFail)));
    server.createLocator = kSOk;
    server.initialize = kEFail;
    QueryLogThread(services);
    EXPECT_EQ(exitCodes, (std::vector<int>{0, 0}));
    EXPECT_EQ(server.connects, 0);
    ServerEntry left;
    EXPECT_TRUE(TakeDirectoryServer(left)) << "the entry stays for another thread";
}

TEST_F(PollerTest, ABrokenConnectionIsRetriedEverySecondWithoutLimit) {
    LoadServer();
    local = true;
    server.events = {LogonEvent(4624, Time(1), "ann", "10.0.0.7")};
    // Start: the credentials are refused locally, the local connection works.
    server.remoteConnects = {kWbemELocalCredentials};
    clock.onSleep = [this](std::size_t n) {
        if (n == 1) {
            // After the first poll: the next query fails and 75 reconnections fail.
            server.failingQueries = 1;
            server.remoteConnects.assign(76, kWbemELocalCredentials);
            server.localConnects.assign(75, kWbemEFailed);
            server.events.push_back(LogonEvent(4624, Time(2), "bob", "10.0.0.8"));
        }
        if (n == 1 + 75 + 2) runState = 0;
    };
    QueryLogThread(services);
    EXPECT_TRUE(exitCodes.empty());
    ASSERT_EQ(clock.sleeps.size(), 78u);
    EXPECT_EQ(clock.sleeps[76], 5000u);
    EXPECT_EQ(clock.sleeps[0], 5000u);
    for (std::size_t i = 1; i <= 75; ++i) ASSERT_EQ(clock.sleeps[i], 1000u) << i;
    EXPECT_TRUE(log.Contains("[ERR]query error\n"));
    EXPECT_TRUE(log.Contains("[ERR]Times of connect AD server failed.0"));
    EXPECT_TRUE(log.Contains("[ERR]Times of connect AD server failed.74"));
    EXPECT_FALSE(log.Contains("[ERR]Times of connect AD server failed.75"));
    EXPECT_FALSE(log.Contains("[ERR]Fail to Connect!!"));
    // The poll after reconnection goes on from the time it had.
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].user, "bob");
}

}  // namespace
}  // namespace orvane
