#include "worker/reports/client_report_receiver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/text.h"
#include "platform/udp.h"
#include "tests/unit/cipher_test_support.h"
#include "test_util.h"
#include "worker/reports/logon_report_handler.h"
#include "worker/startup/worker_state.h"
#include "worker/status/worker_statistics.h"
#include "worker/users/excluded_accounts.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using testing::SealText;

constexpr auto kDeadline = 5s;

struct Call {
    bool logon;
    std::string address, user, domain, computer;
    std::size_t lookAheadsBefore = 0;  // look-aheads made before this decision began
};

// Records every decision call; can hold the first call until released, like a slow directory.
class RecordingHandler final : public ReportHandler {
public:
    int UserLogon(std::string_view a, std::string_view u, std::string_view d, std::string_view c) override {
        return Record(true, a, u, d, c);
    }
    int UserLogoff(std::string_view a, std::string_view u, std::string_view d, std::string_view c) override {
        return Record(false, a, u, d, c);
    }

    void LookAhead(std::string_view u, bool logoff) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lookAheads_.push_back({!logoff, "", std::string(u), "", ""});
    }
    std::vector<Call> LookAheads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lookAheads_;
    }

    void HoldCalls() { held_ = true; }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // True once `n` calls have started (a held call counts once it has started).
    bool WaitForCalls(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return started_ >= n; });
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    int Record(bool logon, std::string_view a, std::string_view u, std::string_view d, std::string_view c) {
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back({logon, std::string(a), std::string(u), std::string(d), std::string(c), lookAheads_.size()});
        ++started_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        return 0;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::vector<Call> lookAheads_;
    std::size_t started_ = 0;
    bool held_ = false;
};

bool WaitUntil(const std::function<bool()>& condition) {
    auto end = Clock::now() + kDeadline;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// A reporter on a loopback address of its own choosing.
class Reporter {
public:
    explicit Reporter(std::uint16_t workerPort, const char* from = "127.0.0.1") : worker_{0x7F000001, workerPort} {
        int err = 0;
        platform::Ipv4Endpoint local;
        EXPECT_TRUE(platform::ParseIpv4Address(from, local.address));
        EXPECT_TRUE(socket_.Open(err) && socket_.Bind(local, err)) << err;
    }
    void Send(const Bytes& d) {
        int err = 0;
        ASSERT_TRUE(socket_.SendTo(d.data(), d.size(), worker_, err)) << err;
    }
    // The next datagram from the worker within the deadline (timeoutMs 0: only one already there).
    bool NextAck(int timeoutMs = 5000) {
        std::uint8_t buffer[64];
        std::size_t n = 0;
        platform::Ipv4Endpoint from;
        int err = 0;
        if (socket_.ReceiveFrom(buffer, sizeof buffer, n, from, timeoutMs, err) != platform::ReceiveStatus::Received) {
            return false;
        }
        EXPECT_EQ(from.port, worker_.port);
        EXPECT_EQ(n, 9u);
        EXPECT_TRUE(IsReportAcknowledgement(buffer, n));
        return true;
    }

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint worker_;
};

Bytes Report(ReportKind kind, std::string_view user, const KeyField& key, std::string_view computer = "PC01") {
    Bytes d;
    EXPECT_TRUE(BuildClientReport(kind, user, "dc=corp,dc=example,dc=com", computer, key, d));
    return d;
}


class ReceiverTest : public ::testing::Test {
protected:
    void StartReceiver(std::size_t maxElements = 0, StateStore* store = nullptr) {
        receiver_ = std::make_unique<ClientReportReceiver>(handler_, [this] { ++connects_; }, maxElements);
        receiver_->AttachStore(store);
        receiver_->Start(0, key_);
        ASSERT_EQ(receiver_->WaitForSetup(kDeadline, port_), ClientReportReceiver::SetupState::Listening);
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        handler_.Release();
        if (receiver_) receiver_->Stop();
    }

    testing::ScopedMemoryLog log_;
    KeyField key_ = MakeKeyField("Shared-Secret-1");
    RecordingHandler handler_;
    std::atomic<int> connects_{0};
    std::unique_ptr<ClientReportReceiver> receiver_;
    std::uint16_t port_ = 0;
};

TEST(DispatchClientReport, KindDecidesTheCall) {
    testing::ScopedMemoryLog log;
    RecordingHandler h;
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|PC01", h), 1);
    EXPECT_TRUE(log.Contains("[INF]Received user online request from client script."));
    EXPECT_EQ(DispatchClientReport("10.1.2.4", "DEDOVEROZ1|bob|dc=corp,dc=com|PC02", h), 1);
    EXPECT_TRUE(log.Contains("[INF]Received user offline request from client script."));
    auto calls = h.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].logon);
    EXPECT_EQ(calls[0].address, "10.1.2.3");
    EXPECT_EQ(calls[0].user, "ann");
    EXPECT_EQ(calls[0].domain, "dc=corp,dc=example,dc=com");
    EXPECT_EQ(calls[0].computer, "PC01");
    EXPECT_FALSE(calls[1].logon);
    EXPECT_EQ(calls[1].user, "bob");

    // Any other kind is dropped without a message.
    log.log().Clear();
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ2|ann|dc=corp,dc=com|PC01", h), 1);
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ|ann|dc=corp,dc=com|PC01", h), 1);
    EXPECT_EQ(h.Calls().size(), 2u);
    EXPECT_EQ(log.Text(), "");
}

TEST(DispatchClientReport, ComputerAccountsAreIgnored) {
    testing::ScopedMemoryLog log;
    RecordingHandler h;
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ0|PC01$|dc=corp,dc=com|PC01", h), 0);
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ1|a$b|dc=corp,dc=com|PC01", h), 0);
    // The "$" test comes before the kind.
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ7|PC01$|dc=corp,dc=com|PC01", h), 0);
    EXPECT_TRUE(h.Calls().empty());
    EXPECT_EQ(log.Text(), "");
}

TEST(DispatchClientReport, TheAgentsOwnAccountsAreIgnored) {
    testing::ScopedMemoryLog log;
    ExcludeAgentAccounts({"svc-orvane@corp.example.com"});
    struct Restore {
        ~Restore() { ExcludeAgentAccounts({}); }
    } restore;
    const std::uint64_t before = Statistics().refusedExcluded.load();
    RecordingHandler h;
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ0|SVC-orvane|dc=corp,dc=example,dc=com|PC01", h), 0);
    EXPECT_EQ(DispatchClientReport("10.1.2.3", "DEDOVEROZ0|svc-orvane|dc=lab,dc=example,dc=com|PC01", h), 1);
    ASSERT_EQ(h.Calls().size(), 1u);
    EXPECT_EQ(h.Calls()[0].domain, "dc=lab,dc=example,dc=com");
    EXPECT_EQ(Statistics().refusedExcluded.load(), before + 1);
}

TEST(DispatchClientReport, ShiftedAndMissingFieldsAreHandedOnAsTheyFall) {
    testing::ScopedMemoryLog log;
    RecordingHandler h;
    DispatchClientReport("10.1.2.3", "DEDOVEROZ0||dc=corp,dc=com|PC01", h);
    DispatchClientReport("10.1.2.3", "DEDOVEROZ1|ann", h);
    auto calls = h.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].user, "dc=corp,dc=com");
    EXPECT_EQ(calls[0].domain, "PC01");
    EXPECT_EQ(calls[0].computer, "");
    EXPECT_EQ(calls[1].user, "ann");
    EXPECT_EQ(calls[1].domain, "");
}

TEST(DispatchClientReport, UnsupportedTextsAreLoggedAndDropped) {
    testing::ScopedMemoryLog log;
    RecordingHandler h;
    EXPECT_EQ(DispatchClientReport("10.9.9.9", "DEDOVEROZ0|ann|dc=x|PC|more", h), 1);
    EXPECT_TRUE(log.Contains("[ERR]Received a report with more than four fields from client script 10.9.9.9, dropped."));
    EXPECT_EQ(DispatchClientReport("10.9.9.9", "DEDOVEROZ0|" + std::string(300, 'a') + "|dc=x|PC", h), 1);
    EXPECT_TRUE(log.Contains(
        "[ERR]Received a report with a field longer than 259 characters from client script 10.9.9.9, dropped."));
    EXPECT_TRUE(h.Calls().empty());
}

TEST_F(ReceiverTest, WorkedExampleIsAcknowledgedAndDecided) {
    StartReceiver();
    Reporter reporter(port_, "127.0.0.5");
    reporter.Send(Report(ReportKind::Logon, "ann", key_));
    EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    auto calls = handler_.Calls();
    EXPECT_TRUE(calls[0].logon);
    EXPECT_EQ(calls[0].address, "127.0.0.5");  // the datagram's source address
    EXPECT_EQ(calls[0].user, "ann");
    EXPECT_EQ(calls[0].domain, "dc=corp,dc=example,dc=com");
    EXPECT_EQ(calls[0].computer, "PC01");
    EXPECT_EQ(connects_.load(), 1);
    EXPECT_TRUE(log_.Contains("[INF]Received user online request from client script."));
}

TEST_F(ReceiverTest, AcknowledgesAtOnceWhileEarlierReportsAreStillBeingDecided) {
    StartReceiver();
    handler_.HoldCalls();
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "first", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));  // the decision of "first" now hangs

    // Ten reports together: all acknowledged while the first still hangs.
    for (int i = 0; i < 10; ++i) {
        reporter.Send(Report(i % 2 ? ReportKind::Logoff : ReportKind::Logon, "user" + std::to_string(i), key_));
    }
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(reporter.NextAck()) << i;
    EXPECT_TRUE(WaitUntil([&] { return receiver_->QueuedReports() == 10; }));
    EXPECT_EQ(handler_.Calls().size(), 1u);

    // Then decided one after another, in arrival order.
    handler_.Release();
    ASSERT_TRUE(handler_.WaitForCalls(11));
    auto calls = handler_.Calls();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[i + 1].user, "user" + std::to_string(i));
        EXPECT_EQ(calls[i + 1].logon, i % 2 == 0);
    }
    EXPECT_FALSE(reporter.NextAck(0));  // exactly one acknowledgement per report
}

// The lookups of the reports waiting behind the one decided start before its decision, up to the
// pipeline's depth and never for what will not be looked up (a copy in the window, a stranger's
// datagram, a computer account); the decisions themselves keep the arrival order.
TEST_F(ReceiverTest, LookupsOfWaitingReportsStartAheadOfTheirDecisionsWhichKeepArrivalOrder) {
    StartReceiver();
    handler_.HoldCalls();
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "gate", key_));
    ASSERT_TRUE(handler_.WaitForCalls(1));  // the gate's decision hangs while the rest queue up
    const Bytes annOn = Report(ReportKind::Logon, "ann", key_);
    std::vector<Bytes> burst = {Report(ReportKind::Logon, "slow", key_),
                                annOn,
                                Report(ReportKind::Logon, "bob", key_),
                                annOn,  // a copy
                                Report(ReportKind::Logoff, "ann", key_),
                                Report(ReportKind::Logon, "carol", MakeKeyField("Other-Key")),
                                Report(ReportKind::Logon, "pc$", key_),
                                Report(ReportKind::Logoff, "bob", key_)};
    for (int i = 8; i <= 20; ++i) burst.push_back(Report(ReportKind::Logon, "u" + std::to_string(i), key_));
    for (const Bytes& d : burst) reporter.Send(d);
    for (std::size_t i = 0; i < burst.size(); ++i) ASSERT_TRUE(reporter.NextAck()) << i;
    ASSERT_TRUE(WaitUntil([&] { return receiver_->QueuedReports() == burst.size(); }));
    handler_.Release();

    const std::vector<std::string> decided = {"gate", "slow", "ann", "bob", "ann", "bob", "u8", "u9", "u10",
                                              "u11", "u12", "u13", "u14", "u15", "u16", "u17", "u18", "u19", "u20"};
    ASSERT_TRUE(handler_.WaitForCalls(decided.size()));
    receiver_->Stop();
    const std::vector<Call> calls = handler_.Calls();
    ASSERT_EQ(calls.size(), decided.size());
    for (std::size_t i = 0; i < decided.size(); ++i) EXPECT_EQ(calls[i].user, decided[i]) << i;
    EXPECT_FALSE(calls[4].logon);  // ann's logoff after her logon
    EXPECT_FALSE(calls[5].logon);

    // Taking "slow" looked ahead over it and the 15 behind it: of those, the copy, the stranger's
    // report and the computer account start nothing, which leaves 13 beside the gate's own.
    EXPECT_EQ(calls[0].lookAheadsBefore, 1u);
    EXPECT_EQ(calls[1].lookAheadsBefore, 1u + 13u);
    const std::vector<Call> ahead = handler_.LookAheads();
    ASSERT_EQ(ahead.size(), decided.size());  // once per decided report, none for the rest
    for (std::size_t i = 0; i < decided.size(); ++i) {
        EXPECT_EQ(ahead[i].user, decided[i]) << i;
        EXPECT_EQ(ahead[i].logon, calls[i].logon) << i;
        EXPECT_LE(ahead[i].lookAheadsBefore, calls[i].lookAheadsBefore);
        // Each report's lookup starts before its own decision.
        EXPECT_GT(calls[i].lookAheadsBefore, i) << i;
    }
}

// What was acknowledged is on disk before the acknowledgement leaves; a worker that ends with it
// undecided decides it after its restart, in arrival order, and what it decided stays a replay.
TEST_F(ReceiverTest, AcknowledgedReportsOutliveARestartAndAreDecidedInArrivalOrder) {
    testing::TempDir dir;
    StateStore before;
    ASSERT_TRUE(before.Open(dir.path(), "state-reports.db"));
    StartReceiver(0, &before);
    handler_.HoldCalls();
    Reporter reporter(port_);
    const Bytes first = Report(ReportKind::Logon, "first", key_);
    const Bytes second = Report(ReportKind::Logoff, "second", key_);
    reporter.Send(first);
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));  // "first" hangs in its decision
    reporter.Send(second);
    reporter.Send(Report(ReportKind::Logon, "third", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(reporter.NextAck());
    // Acknowledged, so already stored: the first one too, as it is not decided yet.
    EXPECT_EQ(before.LoadPendingReports().size(), 3u);

    // Each later life opens the same file and starts a receiver over it.
    auto live = [&](ClientReportReceiver& receiver, StateStore& store) {
        EXPECT_TRUE(store.Open(dir.path(), "state-reports.db"));
        receiver.AttachStore(&store);
        receiver.Start(0, key_);
        std::uint16_t port = 0;
        EXPECT_EQ(receiver.WaitForSetup(kDeadline, port), ClientReportReceiver::SetupState::Listening);
        return port;
    };
    // The next process starts while this one hangs, its store let go of as by a kill.
    before.Release();
    RecordingHandler afterHandler;
    StateStore after;
    {
        ClientReportReceiver restarted(afterHandler);
        live(restarted, after);
        // Decided reports leave the store with the flush thread's next write, as in the worker.
        StoppableThread flush;
        ASSERT_TRUE(StartStateFlushThread(after, flush));
        ASSERT_TRUE(afterHandler.WaitForCalls(3));
        auto calls = afterHandler.Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].user, "first");
        EXPECT_EQ(calls[1].user, "second");
        EXPECT_FALSE(calls[1].logon);
        EXPECT_EQ(calls[2].user, "third");
        EXPECT_EQ(calls[2].address, "127.0.0.1");
        EXPECT_TRUE(log_.Contains("[INF]3 acknowledged reports not yet decided are taken back from the state store "
                                  "and decided first; 0 older than the anti-replay window are dropped."));
        EXPECT_TRUE(WaitUntil([&] { return after.LoadPendingReports().empty(); }));
        flush.Stop();
        restarted.Stop();
        after.Release();
    }

    // A third life: the decided reports are known, a repeat of one is a replay.
    RecordingHandler thirdHandler;
    StateStore third;
    ClientReportReceiver again(thirdHandler);
    Reporter replayer(live(again, third));
    replayer.Send(second);
    replayer.Send(Report(ReportKind::Logon, "fourth", key_));
    ASSERT_TRUE(thirdHandler.WaitForCalls(1));
    EXPECT_EQ(thirdHandler.Calls().front().user, "fourth");
    EXPECT_EQ(thirdHandler.Calls().size(), 1u);
    again.Stop();
    // The first life still uses `before`: it ends here, before its store does.
    handler_.Release();
    receiver_->Stop();
    receiver_.reset();
}

// Only report-shaped datagrams are answered: anything else, an acknowledgement among them, is
// dropped and counted without a reply or a log line, or two answering peers could be set on each
// other by one spoofed datagram.
TEST_F(ReceiverTest, OnlyReportShapedDatagramsAreAcknowledged) {
    StartReceiver();
    Reporter reporter(port_);
    const std::uint64_t dropped0 = Statistics().droppedNotReport.load();
    Bytes tooLong = Report(ReportKind::Logon, std::string(1009 - 14 - 29, 'x'), key_, "PC01");
    ASSERT_EQ(tooLong.size(), 1060u);
    Bytes trailing = Report(ReportKind::Logon, "ann", key_);
    trailing.resize(1059, 0x33);
    Bytes claimsMore = Report(ReportKind::Logon, "ann", key_);
    claimsMore[2] = 0x01;  // says 0x130 bytes follow; 48 do
    Bytes notBlocks = Report(ReportKind::Logon, "ann", key_);
    notBlocks[3] = 0x2F;
    Bytes ack(kReportAck, kReportAck + kReportAckLength);
    const Bytes dropped[] = {tooLong, trailing, claimsMore, notBlocks, ack, Bytes{}, Bytes(20, 0), Bytes(52, 0)};
    for (const Bytes& d : dropped) reporter.Send(d);
    reporter.Send(Report(ReportKind::Logon, "marker", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    // Datagrams are handled in order, so an acknowledgement of any of them would be here by now.
    EXPECT_FALSE(reporter.NextAck(0));
    EXPECT_EQ(handler_.Calls().size(), 1u);
    EXPECT_EQ(Statistics().droppedNotReport.load() - dropped0, std::size(dropped));
    EXPECT_EQ(log_.Text(), "[INF]Received user online request from client script.\n");
}

TEST_F(ReceiverTest, ABurstWithAnOversizedDatagramAmongItIsAcknowledgedAroundIt) {
    StartReceiver();
    handler_.HoldCalls();
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "first", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    // Forty reports waiting at once are received several at a time; the 1060-byte datagram
    // among them must neither be acknowledged nor hold back the reports after it.
    Bytes tooLong = Report(ReportKind::Logon, std::string(1009 - 14 - 29, 'x'), key_, "PC01");
    for (int i = 0; i < 40; ++i) {
        if (i == 7) reporter.Send(tooLong);
        reporter.Send(Report(ReportKind::Logon, "user" + std::to_string(i), key_));
    }
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(reporter.NextAck()) << i;
    handler_.Release();
    ASSERT_TRUE(handler_.WaitForCalls(41));
    EXPECT_FALSE(reporter.NextAck(0));
    auto calls = handler_.Calls();
    ASSERT_EQ(calls.size(), 41u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(calls[i + 1].user, "user" + std::to_string(i));
}

// Only a failing receive pauses the loop: oversized datagrams, which anyone can send, are
// dropped without one, or a few dozen a second would hold off every report.
TEST_F(ReceiverTest, OversizedDatagramsNeverPauseTheReceiving) {
    testing::FakeClock clock;
    testing::ScopedClock scoped(clock);
    StartReceiver();
    Reporter reporter(port_);
    // Few enough to fit into the socket's receive buffer together with the report.
    Bytes tooLong(1060, 0x41), longer(1500, 0x42);
    for (int i = 0; i < 40; ++i) reporter.Send(i % 2 ? tooLong : longer);
    reporter.Send(Report(ReportKind::Logon, "ann", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    EXPECT_EQ(clock.sleeps(), 0);
    EXPECT_FALSE(reporter.NextAck(0)) << "an oversized datagram was acknowledged";
}

TEST_F(ReceiverTest, WrongKeyIsAcknowledgedThenLoggedAsUnknown) {
    StartReceiver();
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "ann", MakeKeyField("Another-Secret")));
    EXPECT_TRUE(reporter.NextAck());
    // A later good report is decided after the bad one was dealt with.
    reporter.Send(Report(ReportKind::Logoff, "bob", key_));
    EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    EXPECT_EQ(handler_.Calls().size(), 1u);
    EXPECT_EQ(handler_.Calls()[0].user, "bob");
    EXPECT_TRUE(log_.Contains("[ERR]Received unknown message from client script.\n"));
}

// A report is decided once however often it arrives: the PC's repetitions and a recording sent
// again from elsewhere, with or without its IV doctored into a logoff or another user, are
// acknowledged (the acknowledgement means "received") and dropped as repeats before any decision.
TEST_F(ReceiverTest, ARepeatedBodyIsAcknowledgedButDecidedOnce) {
    StartReceiver();
    const std::uint64_t replays0 = Statistics().refusedReplay.load();
    Reporter pc(port_, "127.0.0.5"), attacker(port_, "127.0.0.66");
    const Bytes original = Report(ReportKind::Logon, "ann", key_);
    Bytes logoff = original;
    logoff[20 + 9] ^= '0' ^ '1';
    Bytes bob = original;
    for (int i = 0; i < 3; ++i) bob[20 + 11 + i] ^= static_cast<std::uint8_t>("ann"[i] ^ "bob"[i]);
    for (int i = 0; i < 3; ++i) pc.Send(original);
    attacker.Send(original);
    attacker.Send(logoff);
    attacker.Send(bob);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(pc.NextAck());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(attacker.NextAck());
    attacker.Send(Report(ReportKind::Logon, "marker", key_));
    ASSERT_TRUE(attacker.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(2));
    auto calls = handler_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].user, "ann");
    EXPECT_EQ(calls[0].address, "127.0.0.5");
    EXPECT_TRUE(calls[0].logon);
    EXPECT_EQ(calls[1].user, "marker");
    EXPECT_EQ(Statistics().refusedReplay.load() - replays0, 5u);
    // Five repeats, one line: the rest are counted for the next line.
    EXPECT_EQ(log_.Count("already handled"), 1u);
}

// A changed ciphertext block gives a text no reporter writes: refused, counted, and logged at
// most once a minute however many arrive; the documented line for a wrong key likewise.
TEST_F(ReceiverTest, AlteredAndUndecryptableReportsAreRefusedWithLimitedLines) {
    StartReceiver();
    Reporter reporter(port_);
    const std::uint64_t malformed0 = Statistics().refusedMalformed.load();
    const std::uint64_t unknown0 = Statistics().refusedUndecryptable.load();
    for (int i = 0; i < 20; ++i) {
        Bytes altered = Report(ReportKind::Logon, "ann", key_);
        altered[36 + 16 + i % 16] ^= 0x01;  // block 2 garbled, one bit of block 3 flipped
        reporter.Send(altered);
        reporter.Send(Report(ReportKind::Logon, "ann", MakeKeyField("Another-Secret")));
    }
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(reporter.NextAck());
    reporter.Send(Report(ReportKind::Logon, "marker", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    EXPECT_EQ(handler_.Calls().size(), 1u);
    EXPECT_EQ(Statistics().refusedMalformed.load() - malformed0, 20u);
    EXPECT_EQ(Statistics().refusedUndecryptable.load() - unknown0, 20u);
    EXPECT_EQ(log_.Count("[ERR]Received unknown message from client script.\n"), 1u);
    EXPECT_EQ(log_.Count("that no client script wrote"), 1u);
}

TEST_F(ReceiverTest, OtherKindsAndComputerAccountsAreAcknowledgedAndDroppedSilently) {
    StartReceiver();
    Reporter reporter(port_);
    reporter.Send(SealText("DEDOVEROZ2|ann|dc=corp,dc=com|PC01", key_));
    reporter.Send(Report(ReportKind::Logon, "PC01$", key_));
    reporter.Send(Report(ReportKind::Logon, "marker", key_));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    ASSERT_EQ(handler_.Calls().size(), 1u);
    EXPECT_EQ(handler_.Calls()[0].user, "marker");
    // Only the marker's line: the others left no message.
    EXPECT_EQ(log_.Text(), "[INF]Received user online request from client script.\n");
}

// The queue's cap: a report beyond it is dropped unacknowledged (so the PC sends it again) and
// counted, and the receiving loop goes on; the repetition is taken once there is room.
TEST_F(ReceiverTest, AFullQueueDropsReportsUnacknowledged) {
    StartReceiver(2);  // two elements in existence at most
    handler_.HoldCalls();
    Reporter reporter(port_);
    const std::uint64_t full0 = Statistics().droppedQueueFull.load();
    reporter.Send(Report(ReportKind::Logon, "first", key_));
    ASSERT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));  // "first" holds one element
    reporter.Send(Report(ReportKind::Logon, "second", key_));  // queued in the other
    EXPECT_TRUE(reporter.NextAck());
    const Bytes third = Report(ReportKind::Logon, "third", key_);
    for (int i = 0; i < 5; ++i) reporter.Send(third);  // none left: dropped, not answered
    EXPECT_TRUE(WaitUntil([&] { return Statistics().droppedQueueFull.load() - full0 == 5; }));
    EXPECT_FALSE(reporter.NextAck(0));
    EXPECT_EQ(log_.Count("[ERR]The received-report queue is full"), 1u);
    handler_.Release();
    ASSERT_TRUE(handler_.WaitForCalls(2));
    // The PC's repetition of "third" finds room and is decided: the dropped copies were never
    // remembered as handled.
    reporter.Send(third);
    EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(3));
    auto calls = handler_.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].user, "first");
    EXPECT_EQ(calls[1].user, "second");
    EXPECT_EQ(calls[2].user, "third");
}

TEST_F(ReceiverTest, PortInUseEndsTheReceivingThreadWithItsMessage) {
    platform::UdpSocket holder;  // bound without SO_REUSEADDR, so nobody may share the port
    int err = 0;
    ASSERT_TRUE(holder.Open(err) && holder.Bind({0, 0}, err));
    platform::Ipv4Endpoint taken;
    ASSERT_TRUE(holder.LocalEndpoint(taken, err));

    receiver_ = std::make_unique<ClientReportReceiver>(handler_);
    receiver_->Start(taken.port, key_);
    std::uint16_t port = 0;
    EXPECT_EQ(receiver_->WaitForSetup(kDeadline, port), ClientReportReceiver::SetupState::Failed);
    receiver_->Stop();
    EXPECT_EQ(receiver_->RecvThreadResult(), -1);
    EXPECT_TRUE(log_.Contains("[ERR]Bind recv client data socket fail! ErrorCode:98\n"));
    EXPECT_TRUE(log_.Contains("[ERR]UDP port " + std::to_string(taken.port) +
                              " is already in use by another program: no client reports are received."));
}

// Another program (another user's, say) cannot share the port to receive the PCs' reports: not
// on one address beside the worker's wildcard, not even with SO_REUSEADDR, in either order.
TEST_F(ReceiverTest, NoOtherSocketCanTakeThePortOnOneAddress) {
    StartReceiver();
    platform::UdpSocket thief;
    int err = 0;
    ASSERT_TRUE(thief.Open(err) && thief.SetReuseAddress(err));
    EXPECT_FALSE(thief.Bind({0x7F000001, port_}, err));
    EXPECT_EQ(err, EADDRINUSE);

    platform::UdpSocket first;
    platform::Ipv4Endpoint taken;
    ASSERT_TRUE(first.Open(err) && first.SetReuseAddress(err) && first.Bind({0x7F000001, 0}, err) &&
                first.LocalEndpoint(taken, err));
    ClientReportReceiver late(handler_);
    late.Start(taken.port, key_);
    std::uint16_t port = 0;
    EXPECT_EQ(late.WaitForSetup(kDeadline, port), ClientReportReceiver::SetupState::Failed);
    late.Stop();
}

// Reading the settings: the protection of stored keys is replaced by one that keeps the text.
class ReceiverConfigTest : public ReceiverTest {
protected:
    void SetUp() override {
        previous_ = SetProtectionFunctions({[](const std::string& clear, std::string& out) {
                                                out = clear;
                                                return 0;
                                            },
                                            [](const std::string& in, std::string& field, std::size_t) {
                                                field = in;
                                            }});
    }
    void TearDown() override {
        ReceiverTest::TearDown();
        SetProtectionFunctions(previous_);
    }
    WorkerSettings Settings(const std::string& ini) {
        testing::WriteFile(dir_ / "config.ini", ini);
        WorkerSettings s;
        s.configPath = dir_ / "config.ini";
        s.antiReplayTime = 77;
        s.clientKey.fill(0x55);
        return s;
    }

    testing::TempDir dir_;
    ProtectionFunctions previous_{};
};

TEST_F(ReceiverConfigTest, WithoutListenPortASystemPortAndNoKey) {
    WorkerSettings s = Settings("[ClientShareKey]\nValue=ignored\n[AntiReplayTime]\nValue=60\n");
    receiver_ = std::make_unique<ClientReportReceiver>(handler_);
    StartClientReportReceiver(s, *receiver_);
    EXPECT_EQ(s.listenPort, 0);
    EXPECT_EQ(s.clientKey, KeyField{});
    EXPECT_EQ(s.antiReplayTime, 1800u);
    ASSERT_EQ(receiver_->WaitForSetup(kDeadline, port_), ClientReportReceiver::SetupState::Listening);
    EXPECT_NE(port_, 0);
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "ann", KeyField{}));  // the all-zero key
    EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
}

TEST_F(ReceiverConfigTest, ConfiguredPortAndKeyInTheAnsiCodePage) {
    // A free port, learned from a socket that is then closed.
    platform::Ipv4Endpoint free;
    {
        platform::UdpSocket probe;
        int err = 0;
        ASSERT_TRUE(probe.Open(err) && probe.Bind({0, 0}, err) && probe.LocalEndpoint(free, err));
    }
    std::string utf8Key = "\xE5\xAF\x86\xE9\x92\xA5-key";  // "密钥-key"
    WorkerSettings s = Settings("[ListenPort]\nValue=" + std::to_string(free.port) + "\n[ClientShareKey]\nValue=" +
                                utf8Key + "\n[AntiReplayTime]\nValue=60\n");
    receiver_ = std::make_unique<ClientReportReceiver>(handler_);
    bool stepRan = false;
    StartClientReportReceiver(s, *receiver_, [&](const WorkerSettings& read) {
        // The settings are read, and no thread runs yet.
        EXPECT_EQ(read.antiReplayTime, 60u);
        std::uint16_t unused = 0;
        EXPECT_EQ(receiver_->WaitForSetup(0ms, unused), ClientReportReceiver::SetupState::Pending);
        stepRan = true;
    });
    EXPECT_TRUE(stepRan);
    EXPECT_EQ(s.antiReplayTime, 60u);
    ASSERT_EQ(receiver_->WaitForSetup(kDeadline, port_), ClientReportReceiver::SetupState::Listening);
    EXPECT_EQ(port_, free.port);

    std::string gbk;
    ASSERT_TRUE(Utf8ToAnsi(utf8Key, gbk));
    Reporter reporter(port_);
    reporter.Send(Report(ReportKind::Logon, "utf8-keyed", MakeKeyField(utf8Key)));
    reporter.Send(Report(ReportKind::Logon, "gbk-keyed", MakeKeyField(gbk)));
    EXPECT_TRUE(reporter.NextAck());
    EXPECT_TRUE(reporter.NextAck());
    ASSERT_TRUE(handler_.WaitForCalls(1));
    EXPECT_EQ(handler_.Calls()[0].user, "gbk-keyed");
    EXPECT_TRUE(log_.Contains("[ERR]Received unknown message from client script.\n"));
}

TEST_F(ReceiverConfigTest, ReportsReachTheOnlineUserTableThroughTheDecisions) {
    WorkerSettings s = Settings("[ListenPort]\nValue=0\n[ClientShareKey]\nValue=Shared-Secret-1\n"
                                "[AntiReplayTime]\nValue=0\n");
    OnlineUserTable table;
    std::mutex seenMutex;
    std::vector<std::string> verified, notified;
    LogonServices services;
    services.verifyUser = [&](std::string_view user, std::string_view domain, OnlineUserRecord& record) -> long {
        std::lock_guard<std::mutex> lock(seenMutex);
        verified.push_back(std::string(user) + "@" + std::string(domain));
        record.organisation[0] = "OU=Sales,DC=corp,DC=example,DC=com";
        return 0;
    };
    services.notifyAllGateways = [&](OnlineUserRecord& record) {
        std::lock_guard<std::mutex> lock(seenMutex);
        notified.push_back(record.UserName() + (record.state == kUserOnline ? " online" : " offline"));
    };
    std::unique_ptr<LogonDecisions> decisions;
    LogonReportHandler handler;
    EXPECT_EQ(handler.UserLogon("10.0.0.1", "ann", "dc=x", "PC"), -1);  // nothing attached yet

    std::atomic<int> connected{0};
    receiver_ = std::make_unique<ClientReportReceiver>(handler, [&] { ++connected; });
    StartClientReportReceiver(s, *receiver_, [&](const WorkerSettings& read) {
        decisions = std::make_unique<LogonDecisions>(table, services, read.antiReplayTime);
        handler.Attach(*decisions);
    });
    ASSERT_EQ(receiver_->WaitForSetup(kDeadline, port_), ClientReportReceiver::SetupState::Listening);
    Reporter reporter(port_, "127.0.0.9");
    reporter.Send(Report(ReportKind::Logon, "ann", key_));
    reporter.Send(Report(ReportKind::Logoff, "ann", key_));
    EXPECT_TRUE(reporter.NextAck());
    EXPECT_TRUE(reporter.NextAck());
    auto seen = [&] {
        std::lock_guard<std::mutex> lock(seenMutex);
        return notified.size() == 2;
    };
    ASSERT_TRUE(WaitUntil(seen));
    receiver_->Stop();
    EXPECT_EQ(connected.load(), 1);
    // Both decisions look the user up, with the domain as reported.
    EXPECT_EQ(verified, (std::vector<std::string>{"ann@dc=corp,dc=example,dc=com", "ann@dc=corp,dc=example,dc=com"}));
    EXPECT_EQ(notified, (std::vector<std::string>{"ann online", "ann offline"}));
    std::lock_guard<std::mutex> lock(table.Mutex());
    OnlineUserRecord* record = table.FindOnlineUser("ann", "127.0.0.9", "dc=corp,dc=example,dc=com");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->computer, "PC01");
    EXPECT_EQ(record->state, kUserOffline);
}

}  // namespace
}  // namespace orvane
