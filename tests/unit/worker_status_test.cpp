// The worker's live snapshot: what it copies from the online-user table and the counters, its
// JSON form, the status socket with its deadlines, and what orvanectl renders from it.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/worker_snapshot.h"
#include "console/core/status_report.h"
#include "console/core/worker_status.h"
#include "gateway_test_support.h"
#include "platform/local_socket.h"
#include "prometheus_text_parser.h"
#include "test_util.h"
#include "worker/gateway/notification_sender.h"
#include "worker/status/status_publisher.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

using console::ReadAllWorkerStatus;
using console::ReadWorkerStatus;
using console::WorkerReading;
using console::WorkerReadState;
using testing::FakeGateway;
using testing::MakeSettings;
using testing::ManualClock;
using testing::ScopedTestEnvironment;
using testing::TempDir;

constexpr std::int64_t kStart = 1'700'000'000;

// A socket file as a killed worker leaves it.
void BindAbandoned(const std::string& path) { ASSERT_TRUE(testing::BindAbandonedSocket(path)) << path; }

WorkerSnapshot SampleSnapshot() {
    WorkerSnapshot s;
    s.server = ".";
    s.mode = "client-report";
    s.pid = 4242;
    s.started = kStart;
    s.now = kStart + 125;
    SnapshotUser ann;
    ann.user = "ann";
    ann.domain = "corp";
    ann.address = "10.99.1.2";
    ann.computer = "PC01";
    ann.adPath = "OU=Sales,DC=corp,DC=example,DC=com";
    ann.since = kStart + 5;
    ann.gateways = {{true, true, 0}, {true, false, 2}};
    SnapshotUser bob = ann;
    bob.user = "Bob \"the\" \\admin";
    bob.address = "10.99.1.3";
    bob.online = false;
    bob.gateways = {{true, false, 0}, {false, false, 4}};
    s.users = {ann, bob};
    s.gateways = {{"127.0.0.1", 6001, kStart + 120, kStart + 6}, {"127.0.0.2", 6002, kStart + 120, 0}};
    s.directories = {{"10.99.0.1", true, 0}, {"10.99.0.9", false, 3}};
    std::uint64_t n = 1;
    for (const SnapshotCounterInfo& c : SnapshotCounterTable()) s.counters.*c.member = n++ * 7;
    return s;
}

WorkerReading Answered(WorkerSnapshot s) {
    WorkerReading r;
    r.server = s.server;
    r.state = WorkerReadState::Ok;
    r.snapshot = std::move(s);
    return r;
}

TEST(WorkerSnapshotJson, EveryFieldSurvivesTheRoundTrip) {
    const WorkerSnapshot s = SampleSnapshot();
    WorkerSnapshot back;
    std::string error;
    ASSERT_TRUE(SnapshotFromJson(SnapshotToJson(s), back, error)) << error;
    EXPECT_EQ(back.server, ".");
    EXPECT_EQ(back.pid, 4242);
    EXPECT_EQ(back.now, kStart + 125);
    ASSERT_EQ(back.users.size(), 2u);
    EXPECT_EQ(back.users[1].user, "Bob \"the\" \\admin");
    EXPECT_FALSE(back.users[1].online);
    EXPECT_EQ(back.users[0].adPath, s.users[0].adPath);
    EXPECT_EQ(back.users[0].gateways[1].sendsLeft, 2u);
    EXPECT_TRUE(back.users[0].gateways[0].confirmed);
    EXPECT_FALSE(back.users[1].gateways[1].sent);
    ASSERT_EQ(back.gateways.size(), 2u);
    EXPECT_EQ(back.gateways[0].lastResponse, kStart + 6);
    EXPECT_EQ(back.directories[1].failedReconnects, 3u);
    for (const SnapshotCounterInfo& c : SnapshotCounterTable())
        EXPECT_EQ(back.counters.*c.member, s.counters.*c.member) << c.key;
}

TEST(WorkerSnapshotJson, RefusesOtherVersionsBrokenTextAndMissingFields) {
    WorkerSnapshot out;
    std::string error;
    EXPECT_FALSE(SnapshotFromJson("{\"version\":", out, error));
    EXPECT_FALSE(SnapshotFromJson("[1,2]", out, error));
    std::string text = SnapshotToJson(SampleSnapshot());
    std::string future = text;
    future.replace(future.find("\"version\":1"), 11, "\"version\":2");
    EXPECT_FALSE(SnapshotFromJson(future, out, error));
    EXPECT_NE(error.find("version 2"), std::string::npos) << error;
    std::string noUsers = text;
    noUsers.replace(noUsers.find("\"users\""), 7, "\"people\"");
    EXPECT_FALSE(SnapshotFromJson(noUsers, out, error));
}

TEST(WorkerSnapshotJson, InvalidUtf8InANameIsReplacedNotFatal) {
    WorkerSnapshot s = SampleSnapshot();
    s.users[0].user = std::string("an\xff", 3);
    WorkerSnapshot back;
    std::string error;
    ASSERT_TRUE(SnapshotFromJson(SnapshotToJson(s), back, error)) << error;
    EXPECT_EQ(back.users[0].user.substr(0, 2), "an");
}

TEST(StatusSocketNames, ClientReportAndServerWorkersHaveTheirOwnSocket) {
    EXPECT_EQ(StatusSocketPath("/opt/O", "."), "/opt/O/run/Orvane-client-report.sock");
    EXPECT_EQ(StatusSocketPath("/opt/O", ""), "/opt/O/run/Orvane-client-report.sock");
    EXPECT_EQ(StatusSocketPath("/opt/O", "10.0.0.5"), "/opt/O/run/Orvane-10.0.0.5.sock");
    std::string server;
    ASSERT_TRUE(ServerOfStatusSocket("Orvane-client-report.sock", server));
    EXPECT_EQ(server, ".");
    ASSERT_TRUE(ServerOfStatusSocket("Orvane-10.0.0.5.sock", server));
    EXPECT_EQ(server, "10.0.0.5");
    EXPECT_FALSE(ServerOfStatusSocket("Orvane-.sock", server));
    EXPECT_FALSE(ServerOfStatusSocket("other.sock", server));
    EXPECT_FALSE(ServerOfStatusSocket("Orvane-x.sock.tmp", server));
}

// ---------------------------------------------------------------------------------------------

class Snapshot : public ::testing::Test {
protected:
    ManualClock clock{kStart};
    ScopedTestEnvironment env{&clock};
    OnlineUserTable table;
};

TEST_F(Snapshot, ConfirmedPendingAndGivenUpDeliveriesAndTheCountsBehindThem) {
    FakeGateway answering, silent;
    WorkerSettings s = MakeSettings(kEncryptEnhanced, 2, 5, {{"127.0.0.1", answering.Port()}, {"127.0.0.1", silent.Port()}});
    GatewayNotifier n(s, table);
    ASSERT_TRUE(n.OpenSocket());
    WorkerStatistics& st = Statistics();
    const std::uint64_t sentBefore = st.notificationsSent.load(), confirmedBefore = st.confirmations.load(),
                        givenUpBefore = st.givenUp.load();

    OnlineUserRecord* record = nullptr;
    {
        auto r = std::make_unique<OnlineUserRecord>();
        r->SetUserName("ann");
        r->SetDomain("corp");
        r->SetAddress("10.99.1.2");
        r->organisation[0] = "OU=Sales,DC=corp";
        r->state = kUserOnline;
        r->stateSince = kStart;
        std::lock_guard<std::mutex> lock(table.Mutex());
        record = &table.Add(std::move(r));
        n.NotifyAllGateways(*record);
    }
    // Only the first gateway answers: the confirmation names the sequence it was sent.
    const auto first = answering.DrainAll();
    ASSERT_EQ(first.size(), 1u);
    const std::uint32_t sequence = testing::Decode(first[0], kEncryptEnhanced).sequence;
    const auto response = testing::SealedResponse(sequence, "login OK", kEncryptEnhanced);
    n.HandleResponse(response.data(), response.size(), testing::kLoopback);

    std::vector<SnapshotUser> users;
    CopyOnlineUsers(table, n.PositionCount(), s.retranTimes, users);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user, "ann");
    EXPECT_EQ(users[0].address, "10.99.1.2");
    EXPECT_EQ(users[0].adPath, "OU=Sales,DC=corp");
    ASSERT_EQ(users[0].gateways.size(), 2u);
    EXPECT_TRUE(users[0].gateways[0].confirmed);
    EXPECT_EQ(users[0].gateways[0].sendsLeft, 0u);
    EXPECT_FALSE(users[0].gateways[1].confirmed);
    EXPECT_EQ(users[0].gateways[1].sendsLeft, 2u);  // sent once, two repetitions left
    EXPECT_EQ(console::DeliveryText(users[0].gateways[1]), "pending");

    // Both repetitions go unanswered; the position is given up once, not once per pass.
    for (int i = 0; i < 200; ++i) {
        clock.SleepMs(200);
        n.RetranPass(clock.Now());
    }
    CopyOnlineUsers(table, n.PositionCount(), s.retranTimes, users);
    EXPECT_EQ(users[0].gateways[1].sendsLeft, 0u);
    EXPECT_EQ(console::DeliveryText(users[0].gateways[1]), "given up");
    EXPECT_EQ(st.notificationsSent.load() - sentBefore, 4u);  // 1 + 1 + 2 repetitions
    EXPECT_EQ(st.confirmations.load() - confirmedBefore, 1u);
    EXPECT_EQ(st.givenUp.load() - givenUpBefore, 1u);

    const WorkerSnapshot snap = TakeWorkerSnapshot(s, table, st, kStart, clock.Now());
    EXPECT_EQ(snap.mode, "client-report");
    EXPECT_EQ(snap.server, ".");
    ASSERT_EQ(snap.gateways.size(), 2u);
    EXPECT_EQ(snap.gateways[1].port, silent.Port());
    EXPECT_EQ(snap.users.size(), 1u);
}

TEST_F(Snapshot, LogQueryWorkersShowNoTable) {
    WorkerSettings s = MakeSettings(kEncryptEnhanced, 2, 5, {});
    s.modelType = 1;
    s.serverArgument = "10.99.0.1";
    auto r = std::make_unique<OnlineUserRecord>();
    {
        std::lock_guard<std::mutex> lock(table.Mutex());
        table.Add(std::move(r));
    }
    const WorkerSnapshot snap = TakeWorkerSnapshot(s, table, Statistics(), kStart, kStart);
    EXPECT_EQ(snap.mode, "log-query");
    EXPECT_EQ(snap.server, "10.99.0.1");
    EXPECT_TRUE(snap.users.empty());
}

// ---------------------------------------------------------------------------------------------

// Serves requests on a thread until destroyed.
class ServingPublisher {
public:
    ServingPublisher(const std::string& folder, const std::string& server, WorkerSnapshot snapshot)
        : publisher_([snapshot] { return snapshot; }) {
        ok_ = publisher_.Listen(folder, server) && publisher_.Start(thread_);
    }
    bool Ok() const { return ok_; }
    StatusPublisher& Publisher() { return publisher_; }

private:
    StatusPublisher publisher_;
    StoppableThread thread_;
    bool ok_ = false;
};

TEST(StatusSocket, ReadersGetTheSnapshotFromARootOnlySocket) {
    TempDir dir;
    WorkerSnapshot a = SampleSnapshot();
    WorkerSnapshot b = SampleSnapshot();
    b.server = "10.99.0.1";
    b.mode = "log-query";
    ServingPublisher first(dir.path(), ".", a), second(dir.path(), "10.99.0.1", b);
    ASSERT_TRUE(first.Ok() && second.Ok());
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    ASSERT_EQ(::stat(first.Publisher().SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    std::string error;
    auto readings = ReadAllWorkerStatus(dir.path(), error, 2000);
    ASSERT_EQ(readings.size(), 2u) << error;
    for (const WorkerReading& r : readings) ASSERT_EQ(r.state, WorkerReadState::Ok) << r.error;
    EXPECT_EQ(readings[0].snapshot.server, "10.99.0.1");  // name order: "Orvane-1..." first
    EXPECT_EQ(readings[1].snapshot.server, ".");
    EXPECT_EQ(readings[1].snapshot.users.size(), 2u);

    // Replacing the socket (a restarted worker) works.
    ServingPublisher again(dir.path(), ".", a);
    ASSERT_TRUE(again.Ok());
    EXPECT_EQ(ReadWorkerStatus(again.Publisher().SocketPath(), 2000).state, WorkerReadState::Ok);
}

TEST(StatusSocket, StoppedSilentAndStrangeWorkersAreReportedWithinTheDeadline) {
    TempDir dir;
    std::string error;
    EXPECT_TRUE(ReadAllWorkerStatus(dir.path(), error, 500).empty());
    EXPECT_NE(error.find("no worker has run"), std::string::npos) << error;
    int err = 0;
    ASSERT_TRUE(platform::EnsureSocketFolder(dir / "run", 0750, err));
    EXPECT_TRUE(ReadAllWorkerStatus(dir.path(), error, 500).empty());
    EXPECT_NE(error.find("no worker status socket"), std::string::npos) << error;

    // A socket left by a killed worker: nobody listens.
    BindAbandoned(StatusSocketPath(dir.path(), "."));
    // A worker that accepts nothing (hung): the connection waits in the backlog.
    platform::LocalListener hung, alsoHung;
    ASSERT_TRUE(hung.Listen(StatusSocketPath(dir.path(), "10.0.0.7"), 0600, err)) << err;
    ASSERT_TRUE(alsoHung.Listen(StatusSocketPath(dir.path(), "10.0.0.6"), 0600, err)) << err;
    // A peer that answers something else.
    platform::LocalListener strange;
    ASSERT_TRUE(strange.Listen(StatusSocketPath(dir.path(), "10.0.0.8"), 0600, err)) << err;
    std::thread answer([&] {
        platform::LocalConnection c;
        int e = 0;
        if (strange.Accept(5000, c, e)) c.SendAll("hello", 5, 1000, e);
    });

    const auto begin = std::chrono::steady_clock::now();
    console::WorkerList list = console::ReadWorkerList(dir.path(), 500);
    const auto took = std::chrono::steady_clock::now() - begin;
    answer.join();
    // The killed worker's socket is no worker: left out and counted, while the hung ones are listed.
    EXPECT_EQ(list.problem, console::WorkerListProblem::None);
    EXPECT_EQ(list.stale, 1u);
    const auto& readings = list.readings;
    ASSERT_EQ(readings.size(), 3u);
    EXPECT_EQ(readings[0].state, WorkerReadState::TimedOut);    // 10.0.0.6
    EXPECT_EQ(readings[1].state, WorkerReadState::TimedOut);    // 10.0.0.7
    EXPECT_EQ(readings[2].state, WorkerReadState::BadAnswer);   // 10.0.0.8
    EXPECT_EQ(ReadWorkerStatus(StatusSocketPath(dir.path(), "."), 500).state, WorkerReadState::NotRunning);
    // The two hung workers share one deadline (one after the other would take a second).
    EXPECT_LT(took, std::chrono::milliseconds(900));
    EXPECT_EQ(console::FormatStatus(readings),
              "worker 10.0.0.6: not answering\n"
              "worker 10.0.0.7: not answering\n"
              "worker 10.0.0.8: unreadable answer (not JSON)\n");
}

// A big snapshot read slowly on a busy machine: neither side gives up while bytes keep moving,
// however long the whole answer takes; a side that stops is given up after the deadline.
TEST(StatusSocket, AnAnswerThatKeepsMovingIsNeverCutShort) {
    TempDir dir;
    const std::string path = dir.path() + "/slow.sock";
    platform::LocalListener listener;
    int err = 0;
    ASSERT_TRUE(listener.Listen(path, 0600, err)) << err;
    const std::string big(4u << 20, 'x');  // far beyond the socket buffers
    constexpr int kDeadlineMs = 150;

    // The writer: the reader takes about a second for the whole, pausing well within the deadline.
    bool sent = false;
    std::thread writer([&] {
        platform::LocalConnection c;
        int e = 0;
        if (listener.Accept(5000, c, e)) sent = c.SendAll(big.data(), big.size(), kDeadlineMs, e);
    });
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
        std::vector<char> chunk(256u << 10);
        std::size_t got = 0;
        for (ssize_t n; (n = ::recv(fd, chunk.data(), chunk.size(), MSG_WAITALL)) > 0;) {
            got += static_cast<std::size_t>(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));  // a slow reader, not a wait
        }
        ::close(fd);
        writer.join();
        EXPECT_TRUE(sent);
        EXPECT_EQ(got, big.size());
    }

    // The reader: an answer that trickles in for about a second arrives whole.
    std::thread trickle([&] {
        platform::LocalConnection c;
        int e = 0;
        if (!listener.Accept(5000, c, e)) return;
        for (int i = 0; i < 10; ++i) {
            c.SendAll("0123456789", 10, 1000, e);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::string out;
    EXPECT_EQ(platform::ReadLocalAnswer(path, kDeadlineMs, 1u << 20, out, err), platform::LocalReadResult::Read);
    trickle.join();
    EXPECT_EQ(out.size(), 100u);

    // A writer whose reader stops reading gives up after the deadline.
    std::thread stalled([&] {
        platform::LocalConnection c;
        int e = 0;
        if (listener.Accept(5000, c, e)) sent = c.SendAll(big.data(), big.size(), kDeadlineMs, e);
    });
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    stalled.join();
    ::close(fd);
    EXPECT_FALSE(sent);
}

TEST(StatusSocket, OnlySocketsOfStoppedWorkersAreStaleAndRemoved) {
    TempDir dir;
    int err = 0;
    ASSERT_TRUE(platform::EnsureSocketFolder(dir / "run", 0750, err));
    EXPECT_TRUE(RemoveStaleStatusSockets(dir.path()).empty());  // nothing there yet

    const std::string killed = StatusSocketPath(dir.path(), "."), alsoKilled = StatusSocketPath(dir.path(), "10.0.0.5");
    BindAbandoned(killed);
    BindAbandoned(alsoKilled);
    BindAbandoned(dir / "run/other.sock");  // not a worker's name: not ours to remove
    platform::LocalListener hung;
    ASSERT_TRUE(hung.Listen(StatusSocketPath(dir.path(), "10.0.0.7"), 0600, err)) << err;
    const std::string plain = StatusSocketPath(dir.path(), "10.0.0.9");  // a worker's name, but a plain file
    testing::WriteFile(plain, "x");

    EXPECT_TRUE(platform::IsAbandonedLocalSocket(killed));
    EXPECT_FALSE(platform::IsAbandonedLocalSocket(hung.Path()));  // alive, though it never answers
    EXPECT_FALSE(platform::IsAbandonedLocalSocket(plain));
    EXPECT_FALSE(platform::IsAbandonedLocalSocket(dir / "run/missing.sock"));

    // Only stale ones left: the readers say no worker runs, without waiting for a deadline.
    hung.Close();
    std::string error;
    const auto begin = std::chrono::steady_clock::now();
    console::WorkerList list = console::ReadWorkerList(dir.path(), 3000);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    EXPECT_TRUE(list.readings.empty());
    EXPECT_EQ(list.problem, console::WorkerListProblem::NoneRunning);
    EXPECT_EQ(list.stale, 2u);
    EXPECT_EQ(console::DescribeListProblem(list), "no worker is running from " + dir.path() +
                                                      " (2 sockets of stopped workers in " + dir.path() + "/run)");

    ASSERT_TRUE(hung.Listen(StatusSocketPath(dir.path(), "10.0.0.7"), 0600, err)) << err;
    EXPECT_EQ(RemoveStaleStatusSockets(dir.path()), (std::vector<std::string>{alsoKilled, killed}));
    struct stat st {};
    EXPECT_NE(::lstat(killed.c_str(), &st), 0);
    EXPECT_NE(::lstat(alsoKilled.c_str(), &st), 0);
    EXPECT_EQ(::lstat(hung.Path().c_str(), &st), 0);
    EXPECT_EQ(::lstat(plain.c_str(), &st), 0);
    EXPECT_EQ(::lstat((dir / "run/other.sock").c_str(), &st), 0);
    EXPECT_EQ(ReadAllWorkerStatus(dir.path(), error, 300).size(), 1u);  // the hung one, still reported
}

// ---------------------------------------------------------------------------------------------

TEST(UsersView, TableAndJsonShowEachGatewaysStateAndFilterByUserOrAddress) {
    const std::vector<WorkerReading> readings = {Answered(SampleSnapshot())};
    const std::string table = console::FormatUsersTable(readings, "");
    EXPECT_NE(table.find("ann"), std::string::npos);
    EXPECT_NE(table.find("127.0.0.1:6001 confirmed, 127.0.0.2:6002 pending (2 left)"), std::string::npos) << table;
    EXPECT_NE(table.find("logging off"), std::string::npos);
    EXPECT_NE(table.find("2m00s"), std::string::npos) << table;  // since +5, now +125

    EXPECT_EQ(console::FormatUsersTable(readings, "10.99.1.3").find("ann"), std::string::npos);
    EXPECT_NE(console::FormatUsersTable(readings, "ANN").find("ann"), std::string::npos);
    EXPECT_EQ(console::FormatUsersTable(readings, "nobody").find("10.99"), std::string::npos);

    const std::string json = console::FormatUsersJson(readings, "ann");
    EXPECT_NE(json.find("\"state\": \"pending\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"age_seconds\": 120"), std::string::npos) << json;
    EXPECT_EQ(json.find("Bob"), std::string::npos);
}

TEST(UsersView, AgesReadLikeDurations) {
    EXPECT_EQ(console::FormatAge(-3), "0s");
    EXPECT_EQ(console::FormatAge(59), "59s");
    EXPECT_EQ(console::FormatAge(725), "12m05s");
    EXPECT_EQ(console::FormatAge(3 * 3600 + 125), "3h02m");
    EXPECT_EQ(console::FormatAge(2 * 86400 + 4 * 3600 + 7), "2d04h");
}

// ---------------------------------------------------------------------------------------------

TEST(PrometheusText, ParserRefusesWhatTheFormatForbids) {
    testing::PromParser p;
    testing::PromExposition e;
    std::string error;
    EXPECT_TRUE(p.Parse("# TYPE a counter\na{x=\"1\"} 3\na{x=\"2\"} 4 1700000000\n", e, error)) << error;
    EXPECT_FALSE(p.Parse("a 1", e, error));                                        // no final line feed
    EXPECT_FALSE(p.Parse("a{x=\"a\"b\"} 1\n", e, error));                           // unescaped quote
    EXPECT_FALSE(p.Parse("a{x=\"\\t\"} 1\n", e, error));                            // unknown escape
    EXPECT_FALSE(p.Parse("# TYPE a gauge\n# TYPE a gauge\na 1\n", e, error));       // TYPE twice
    EXPECT_FALSE(p.Parse("a 1\n# TYPE a gauge\n", e, error));                       // TYPE after samples
    EXPECT_FALSE(p.Parse("a{x=\"1\"} 1\nb 2\na{x=\"2\"} 1\n", e, error));           // family split
    EXPECT_FALSE(p.Parse("a{x=\"1\"} 1\na{x=\"1\"} 2\n", e, error));                // series twice
    EXPECT_FALSE(p.Parse("1a 1\n", e, error));                                      // bad name
    EXPECT_FALSE(p.Parse("a{__x=\"1\"} 1\n", e, error));                            // reserved label
    EXPECT_FALSE(p.Parse("a one\n", e, error));                                     // bad value
}

TEST(PrometheusText, MetricsParseAndCarryTheCountersWithEscapedLabels) {
    WorkerSnapshot odd = SampleSnapshot();
    odd.server = "we\"ird\\ser\nver";  // a label value needing every escape
    WorkerReading down;
    down.server = "10.0.0.9";
    down.state = WorkerReadState::NotRunning;
    const std::vector<WorkerReading> readings = {Answered(SampleSnapshot()), Answered(odd), down};
    const std::string text = console::FormatPrometheus(readings);

    testing::PromParser parser;
    testing::PromExposition e;
    std::string error;
    ASSERT_TRUE(parser.Parse(text, e, error)) << error << "\n" << text;
    for (const auto& [name, family] : e.families) {
        EXPECT_TRUE(family.hasHelp && family.hasType) << name;
        EXPECT_EQ(name.rfind("orvane_", 0), 0u) << name;
        if (family.type == "counter") {
            EXPECT_EQ(name.substr(name.size() - 6), "_total") << name;
        }
    }
    EXPECT_EQ(e.families.at("orvane_refused_total").type, "counter");
    EXPECT_EQ(e.families.at("orvane_worker_up").type, "gauge");

    const SnapshotCounters& c = readings[0].snapshot.counters;
    EXPECT_EQ(e.Value("orvane_worker_up", {{"worker", "client-report"}}), 1);
    EXPECT_EQ(e.Value("orvane_worker_up", {{"worker", "10.0.0.9"}}), 0);
    EXPECT_EQ(e.Value("orvane_reports_received_total", {{"worker", "client-report"}}),
              static_cast<double>(c.reportsReceived));
    EXPECT_EQ(e.Value("orvane_refused_total", {{"worker", "client-report"}, {"reason", "replay"}}),
              static_cast<double>(c.refusedReplay));
    EXPECT_EQ(e.Value("orvane_given_up_total", {{"worker", odd.server}}), static_cast<double>(c.givenUp));
    EXPECT_EQ(e.Value("orvane_users", {{"worker", "client-report"}, {"state", "online"}}), 1);
    EXPECT_EQ(e.Value("orvane_users", {{"worker", "client-report"}, {"state", "logging_off"}}), 1);
    EXPECT_EQ(e.Value("orvane_gateway_users",
                      {{"worker", "client-report"}, {"gateway", "127.0.0.2:6002"}, {"delivery", "pending"}}),
              1);
    EXPECT_EQ(e.Value("orvane_gateway_last_response_timestamp_seconds",
                      {{"worker", "client-report"}, {"gateway", "127.0.0.1:6001"}}),
              static_cast<double>(kStart + 6));
    EXPECT_EQ(e.Value("orvane_directory_failed_reconnects", {{"worker", "client-report"}, {"server", "10.99.0.9"}}),
              3);
    // Nothing but worker_up for a worker that did not answer.
    for (const auto& s : e.samples) {
        if (s.labels.count("worker") && s.labels.at("worker") == "10.0.0.9") {
            EXPECT_EQ(s.name, "orvane_worker_up");
        }
    }
}

}  // namespace
}  // namespace orvane
