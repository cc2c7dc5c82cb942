#pragma once
// The client-report receiver of client-report mode. RecvClientDataThread receives every report,
// acknowledges it at once and queues it; ProcessClientMessageThread decrypts the queued reports
// one at a time in arrival order and hands them to the logon/logoff decisions. The two are split
// so that a reporter gets its acknowledgement even while earlier reports wait for slow
// directory look-ups. Before each decision the processing thread looks ahead over the reports
// queued behind it (up to the lookup pipeline's depth) and starts their look-ups, so that the
// round trips to a distant directory overlap while the decisions keep their order.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/client_report.h"
#include "common/config_types.h"
#include "common/gateway_message.h"
#include "common/log_repeat.h"
#include "platform/udp.h"
#include "platform/udp_receiver.h"
#include "worker/reports/replay_cache.h"
#include "worker/state/state_store.h"

namespace orvane {

// Where decided reports go: the logon/logoff decisions of the online-user table. Called from the
// processing thread only, one report at a time. Results: 0 notified, -1 refused or failed (the
// decisions log their own outcome; the receiver does not use it).
class ReportHandler {
public:
    virtual ~ReportHandler() = default;
    virtual int UserLogon(std::string_view address, std::string_view userName, std::string_view domain,
                          std::string_view computer) = 0;
    virtual int UserLogoff(std::string_view address, std::string_view userName, std::string_view domain,
                           std::string_view computer) = 0;
    // A report of userName waits behind the one being decided: its directory lookup may start
    // now (it is decided in its turn all the same).
    virtual void LookAhead(std::string_view userName, bool logoff) {
        (void)userName;
        (void)logoff;
    }
};

// Run once by the processing thread before its first report: connecting the directory servers.
using ConnectDirectoryServersStep = std::function<void()>;

// Splits a report text that begins with the magic and hands it to the handler: kind "0" to
// UserLogon, "1" to UserLogoff, any other kind to nobody. 0 when the user contains "$" (a
// computer account, ignored), else 1. A text with more than four fields or a field longer than
// 259 characters is logged and dropped (1).
int DispatchClientReport(std::string_view senderAddress, std::string_view reportText, ReportHandler& handler);

// One received datagram, owned by the queue until the processing thread takes it.
struct ReceivedReport {
    std::array<std::uint8_t, kReportReceiveBuffer> datagram;  // zero-filled after `length`
    std::size_t length = 0;
    platform::Ipv4Endpoint sender;  // formatted as dotted text only when processed
    std::int64_t storeId = 0;       // its row in the state store until decided; 0 for none
    // Set by the processing thread's look-ahead: seen by it, and (opened) decrypted into
    // `text` with its digest, so that deciding it does neither again.
    bool lookedAhead = false;
    bool opened = false;
    ReportDigest digest;
    std::string text;
};

// The received-report queue: first in, first out, under the report-queue lock, which is held for
// one removal, for the appends of one receive, or for handing kept elements back. Processed
// elements are kept (up to 1,024) and handed back to the receiving loop, so a steady
// stream of reports allocates nothing.
class ReportQueue {
public:
    // maxElements: how many elements may exist at once (queued, being received into, being
    // processed, kept), 0 for no limit.
    explicit ReportQueue(std::size_t maxElements = 0);
    ~ReportQueue();
    ReportQueue(const ReportQueue&) = delete;
    ReportQueue& operator=(const ReportQueue&) = delete;

    // An element to receive into: a kept one, else a new one; null when no memory is left.
    std::unique_ptr<ReceivedReport> NewElement();
    // Gives each empty slot of `slots[0..count)` an element (kept ones first, under one lock)
    // and moves the filled ones to the front. Returns how many slots hold an element: fewer
    // than `count` only when no memory is left.
    std::size_t Refill(std::unique_ptr<ReceivedReport>* slots, std::size_t count);
    // Appends in arrival order.
    void Append(std::unique_ptr<ReceivedReport> report);
    // Appends the reports of `slots` named by `which[0..count)`, in that order, under one lock
    // and with at most one wake-up; the slots are left empty.
    void AppendAll(std::unique_ptr<ReceivedReport>* slots, const std::size_t* which, std::size_t count);
    // Takes back a processed element (may be null) and waits for the first queued one. Null once
    // the queue is closed. `whenIdle`, if given, runs (without the lock) once the queue has
    // stayed empty for the brief pause, before the wait without a time limit.
    std::unique_ptr<ReceivedReport> Take(std::unique_ptr<ReceivedReport> done, void (*whenIdle)(void*) = nullptr,
                                         void* context = nullptr);
    // The first queued elements, at most `max`, oldest first, into `out`; how many. They stay
    // valid until Take hands them out: only the taking thread may use this.
    std::size_t Peek(ReceivedReport** out, std::size_t max) const;
    // Wakes a waiting Take for good.
    void Close();
    std::size_t Size() const;

private:
    std::unique_ptr<ReceivedReport> KeepOrFree(std::unique_ptr<ReceivedReport> done);

    mutable std::mutex mutex_;  // the report-queue lock
    std::condition_variable ready_;
    std::deque<std::unique_ptr<ReceivedReport>> queue_;
    std::vector<std::unique_ptr<ReceivedReport>> kept_;
    std::size_t live_ = 0;
    std::size_t maxElements_;
    bool closed_ = false;
    bool idle_ = false;  // Take waits to be woken (no time limit)
};

// The worker's cap on queue elements: 4,096 of about 1.1 KiB, 4.5 MiB at most. Reports beyond it
// (the directory hangs while reports keep coming) are dropped unacknowledged, so their PCs send
// them again.
inline constexpr std::size_t kMaxQueuedReports = 4096;

class ClientReportReceiver {
public:
    // `handler` and `connect` are used by the processing thread and must outlive the receiver.
    // `maxQueuedElements`: the queue's cap (0: none).
    explicit ClientReportReceiver(ReportHandler& handler, ConnectDirectoryServersStep connect = {},
                                  std::size_t maxQueuedElements = kMaxQueuedReports);
    ~ClientReportReceiver();
    ClientReportReceiver(const ClientReportReceiver&) = delete;
    ClientReportReceiver& operator=(const ClientReportReceiver&) = delete;

    // Keeps acknowledged reports and replay digests in `store` (open) from Start on: what it
    // holds from the last run is taken back first. Before Start; null for none.
    void AttachStore(StateStore* store) { store_ = store; }

    // Starts both threads for a port (0: one the system chooses), the client key and the
    // anti-replay window in seconds (0: 30 minutes), logging a thread that cannot be started.
    // Once per object: later calls do nothing.
    void Start(std::uint16_t listenPort, const KeyField& clientKey, std::uint32_t antiReplayTime = 0);
    // Ends both threads and waits for them. The worker never calls it; tests do.
    void Stop();

    enum class SetupState { Pending, Listening, Failed };
    // Waits until the receiving socket is bound (its port in `port`) or has failed.
    SetupState WaitForSetup(std::chrono::milliseconds timeout, std::uint16_t& port);
    // The receiving thread's result once it has ended: 0, or -1 when its socket could not be set up.
    int RecvThreadResult() const { return recvResult_.load(); }
    std::size_t QueuedReports() const { return queue_.Size(); }

private:
    int RecvClientDataThread();
    // Receives, acknowledges and queues the reports one wait brings; false when the loop must pause.
    bool ReceiveAvailable(platform::UdpReceiver& socket);
    // One datagram into the fallback buffer when no element can be had (the queue is full): a
    // report is dropped unacknowledged unless an element has come free meanwhile; false likewise.
    bool ReceiveWithoutElement(platform::UdpReceiver& socket);
    void ProcessClientMessageThread();
    void ProcessReport(ReceivedReport& report, std::uint8_t* plain, std::string& text);
    // Starts the directory lookups of `head` and of the reports queued behind it, up to the
    // pipeline's depth, ahead of their decisions. Silent: what it skips is decided (and
    // logged) in its turn.
    void LookAhead(ReceivedReport& head);
    // Takes back the replay digests and the undecided reports of the last run.
    void RestoreFromStore(std::uint32_t antiReplayTime);
    static void CommitDecided(void* receiver);  // the processing thread's decisions, if still queued
    // Writes the acknowledged reports of `slots` named by `which[0..count)` to the store before
    // their acknowledgements go out.
    void StoreBurst(std::unique_ptr<ReceivedReport>* slots, const std::size_t* which, std::size_t count);
    void SetSetup(SetupState state, std::uint16_t port);

    ReportHandler& handler_;
    ConnectDirectoryServersStep connect_;
    ReportQueue queue_;
    std::uint16_t listenPort_ = 0;
    KeyField clientKey_{};
    bool started_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> recvResult_{0};
    // Receives a datagram when no queue element can be had, so the socket is still drained.
    ReceivedReport fallback_;
    // Reports accepted lately; the processing thread's alone. Made by Start.
    std::unique_ptr<ReplayCache> replay_;
    StateStore* store_ = nullptr;
    std::vector<StoredReport> storing_;  // the receiving thread's burst
    unsigned uncommitted_ = 0;           // decided reports not yet committed (processing thread)
    // Lines a stranger's datagrams cause are written at most once a minute, with a count.
    LogRepeatLimiter unknownLines_, malformedLines_, replayLines_, queueFullLines_, ackFailLines_;
    // Elements the receiving loop receives into, several datagrams per system call.
    static constexpr std::size_t kReceiveBatch = 16;
    std::array<std::unique_ptr<ReceivedReport>, kReceiveBatch> receiving_;
    // The processing thread's decryption buffer.
    std::array<std::uint8_t, kReportPlainBuffer> plain_{};

    std::mutex setupMutex_;
    std::condition_variable setupChanged_;
    SetupState setup_ = SetupState::Pending;
    std::uint16_t boundPort_ = 0;

    std::thread recvThread_;
    std::thread processThread_;
};

// Called with the settings just read, before the threads start: the logon decisions need the
// anti-replay window, which is read only here.
using ReceiverSettingsReadStep = std::function<void(const WorkerSettings&)>;

// Reads the receiver's settings (ListenPort, ClientShareKey, AntiReplayTime) into `settings`,
// runs `settingsRead`, and starts both threads of `receiver`. Called once by the worker's
// start-up in client-report mode.
void StartClientReportReceiver(WorkerSettings& settings, ClientReportReceiver& receiver,
                               const ReceiverSettingsReadStep& settingsRead = {});

}  // namespace orvane
