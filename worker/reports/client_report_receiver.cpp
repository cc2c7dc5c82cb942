#include "worker/reports/client_report_receiver.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "common/config.h"
#include "common/log.h"
#include "common/log_repeat.h"
#include "platform/clock.h"
#include "platform/udp_receiver.h"
#include "worker/directory/directory_client.h"
#include "worker/status/worker_statistics.h"
#include "worker/users/excluded_accounts.h"
#include "worker/users/identity_rules.h"

namespace orvane {
namespace {

// How long a receive blocks before the loop looks at the stop flag again.
constexpr unsigned kWakeIntervalMs = 100;
// Pause after a failed receive or an oversized datagram.
constexpr unsigned kReceiveErrorPauseMs = 20;
// How long the processing thread looks again for reports before it waits to be woken.
constexpr std::chrono::milliseconds kBusyPause{1};
// Processed elements kept for reuse; more are freed.
constexpr std::size_t kKeptElements = 1024;
// Decided reports written to the state store together while more are waiting.
constexpr unsigned kDecidedPerCommit = 64;
// Each undecided report holds a queue element, so the store's ring of burst rows never comes
// round to one still undecided.
static_assert(StateStore::kPendingSlots > static_cast<std::int64_t>(kMaxQueuedReports));

// Completes an element received into: the bytes after the datagram zeroed, length and sender.
void StoreDatagram(ReceivedReport& into, std::size_t length, const platform::Ipv4Endpoint& from) {
    std::memset(into.datagram.data() + length, 0, into.datagram.size() - length);
    into.length = length;
    into.sender = from;
    into.lookedAhead = false;
    into.opened = false;
}

}  // namespace

int DispatchClientReport(std::string_view senderAddress, std::string_view reportText, ReportHandler& handler) {
    ReportFields fields;
    switch (SplitReportText(reportText, fields)) {
        case ReportSplitResult::Split:
            break;
        case ReportSplitResult::TooManyFields:
            LogError("[ERR]Received a report with more than four fields from client script %.*s, dropped.",
                     static_cast<int>(senderAddress.size()), senderAddress.data());
            WorkerStatistics::Add(Statistics().refusedMalformed);
            return 1;
        case ReportSplitResult::FieldTooLong:
            LogError("[ERR]Received a report with a field longer than %zu characters from client script %.*s, "
                     "dropped.",
                     kReportFieldLimit, static_cast<int>(senderAddress.size()), senderAddress.data());
            WorkerStatistics::Add(Statistics().refusedMalformed);
            return 1;
    }
    // Computer accounts log on too; only people are reported to the gateways.
    if (fields.user.find('$') != std::string_view::npos) {
        WorkerStatistics::Add(Statistics().refusedComputer);
        return 0;
    }
    // The agent's own accounts are never reported (a PC may well run a task as one).
    if (GetExcludedAccounts().Excludes(fields.user, fields.domain)) {
        WorkerStatistics::Add(Statistics().refusedExcluded);
        return 0;
    }
    if (fields.kind == '0') {
        // The administrator's rules, before any lookup. Logoffs pass: one whose logon the rules
        // refused finds nobody online, and one of a user announced before the rules changed
        // must still reach the gateways.
        if (RefusedByIdentityRules(fields.user, fields.domain, senderAddress)) return 0;
        LogInfo("[INF]Received user online request from client script.");
        handler.UserLogon(senderAddress, fields.user, fields.domain, fields.computer);
    } else if (fields.kind == '1') {
        LogInfo("[INF]Received user offline request from client script.");
        handler.UserLogoff(senderAddress, fields.user, fields.domain, fields.computer);
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------

ReportQueue::ReportQueue(std::size_t maxElements) : maxElements_(maxElements) { kept_.reserve(kKeptElements); }

ReportQueue::~ReportQueue() = default;

std::unique_ptr<ReceivedReport> ReportQueue::NewElement() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!kept_.empty()) {
            auto element = std::move(kept_.back());
            kept_.pop_back();
            return element;
        }
        if (maxElements_ != 0 && live_ >= maxElements_) return nullptr;
        ++live_;
    }
    std::unique_ptr<ReceivedReport> element(new (std::nothrow) ReceivedReport);
    if (!element) {
        std::lock_guard<std::mutex> lock(mutex_);
        --live_;
    }
    return element;
}

std::size_t ReportQueue::Refill(std::unique_ptr<ReceivedReport>* slots, std::size_t count) {
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i]) {
            if (i != filled) slots[filled] = std::move(slots[i]);
            ++filled;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (filled < count && !kept_.empty()) {
            slots[filled++] = std::move(kept_.back());
            kept_.pop_back();
        }
    }
    while (filled < count) {
        std::unique_ptr<ReceivedReport> element = NewElement();
        if (!element) break;
        slots[filled++] = std::move(element);
    }
    return filled;
}

void ReportQueue::Append(std::unique_ptr<ReceivedReport> report) { AppendAll(&report, nullptr, 1); }

void ReportQueue::AppendAll(std::unique_ptr<ReceivedReport>* slots, const std::size_t* which, std::size_t count) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < count; ++i) queue_.push_back(std::move(slots[which ? which[i] : i]));
        // Only a processing thread waiting without a time limit needs waking; one that is
        // working or taking its short pause finds the reports by itself.
        wake = count > 0 && idle_;
        if (wake) idle_ = false;
    }
    if (wake) ready_.notify_one();
}

std::unique_ptr<ReceivedReport> ReportQueue::KeepOrFree(std::unique_ptr<ReceivedReport> done) {
    // Called with the lock held; what is returned is freed by the caller after unlocking.
    if (!done) return nullptr;
    if (kept_.size() < kKeptElements) {
        kept_.push_back(std::move(done));
        return nullptr;
    }
    --live_;
    return done;
}

std::size_t ReportQueue::Peek(ReceivedReport** out, std::size_t max) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(max, queue_.size());
    for (std::size_t i = 0; i < n; ++i) out[i] = queue_[i].get();
    return n;
}

std::unique_ptr<ReceivedReport> ReportQueue::Take(std::unique_ptr<ReceivedReport> done, void (*whenIdle)(void*),
                                                  void* context) {
    std::unique_ptr<ReceivedReport> toFree;
    std::unique_ptr<ReceivedReport> next;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        toFree = KeepOrFree(std::move(done));
        // Having just worked, it pauses briefly before it waits to be woken: under a stream of
        // datagrams the receiving loop then wakes it about never instead of once per receive,
        // and a wake-up costs more than refusing a datagram. The pause adds at most 1 ms to a
        // report.
        auto ready = [this] { return closed_ || !queue_.empty(); };
        if (!ready_.wait_for(lock, kBusyPause, ready)) {
            if (whenIdle) {
                lock.unlock();
                whenIdle(context);
                lock.lock();
            }
            if (!ready()) {
                idle_ = true;
                ready_.wait(lock, ready);
                idle_ = false;
            }
        }
        if (!closed_) {
            next = std::move(queue_.front());
            queue_.pop_front();
        }
    }
    return next;
}

void ReportQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

std::size_t ReportQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

// ---------------------------------------------------------------------------------------------

ClientReportReceiver::ClientReportReceiver(ReportHandler& handler, ConnectDirectoryServersStep connect,
                                           std::size_t maxQueuedElements)
    : handler_(handler), connect_(std::move(connect)), queue_(maxQueuedElements) {}

ClientReportReceiver::~ClientReportReceiver() { Stop(); }

void ClientReportReceiver::Start(std::uint16_t listenPort, const KeyField& clientKey, std::uint32_t antiReplayTime) {
    if (started_) return;
    started_ = true;
    listenPort_ = listenPort;
    clientKey_ = clientKey;
    replay_ = std::make_unique<ReplayCache>(antiReplayTime);
    if (store_) RestoreFromStore(antiReplayTime);
    try {
        recvThread_ = std::thread([this] { recvResult_ = RecvClientDataThread(); });
    } catch (const std::system_error& e) {
        LogError("[ERR]Create recv client data thread fail! ErrorCode:%ld", static_cast<long>(e.code().value()));
        SetSetup(SetupState::Failed, 0);
    }
    try {
        processThread_ = std::thread([this] { ProcessClientMessageThread(); });
    } catch (const std::system_error& e) {
        LogError("[ERR]Create process client message thread fail! ErrorCode:%ld",
                 static_cast<long>(e.code().value()));
    }
}

void ClientReportReceiver::Stop() {
    stop_ = true;
    queue_.Close();
    if (recvThread_.joinable()) recvThread_.join();
    if (processThread_.joinable()) processThread_.join();
}

void ClientReportReceiver::SetSetup(SetupState state, std::uint16_t port) {
    {
        std::lock_guard<std::mutex> lock(setupMutex_);
        setup_ = state;
        boundPort_ = port;
    }
    setupChanged_.notify_all();
}

ClientReportReceiver::SetupState ClientReportReceiver::WaitForSetup(std::chrono::milliseconds timeout,
                                                                    std::uint16_t& port) {
    std::unique_lock<std::mutex> lock(setupMutex_);
    setupChanged_.wait_for(lock, timeout, [this] { return setup_ != SetupState::Pending; });
    port = boundPort_;
    return setup_;
}

int ClientReportReceiver::RecvClientDataThread() {
    platform::UdpReceiver socket;
    int err = 0;
    if (!socket.Open(err)) {
        LogError("[ERR]Create recv client data socket fail! ErrorCode:%ld\n", static_cast<long>(err));
        SetSetup(SetupState::Failed, 0);
        return -1;
    }
    // The wake interval is ours (so tests can stop the loop). No SO_REUSEADDR: with it another
    // program could bind the port on one address and take the PCs' reports from us.
    if (!socket.SetWakeInterval(kWakeIntervalMs, err)) {
        LogError("[ERR]Set recv client data socket fail! ErrorCode:%ld\n", static_cast<long>(err));
        SetSetup(SetupState::Failed, 0);
        return -1;
    }
    if (!socket.BindAny(listenPort_, err)) {
        LogError("[ERR]Bind recv client data socket fail! ErrorCode:%ld\n", static_cast<long>(err));
        if (err == EADDRINUSE) {
            LogError("[ERR]UDP port %u is already in use by another program: no client reports are received.",
                     static_cast<unsigned>(listenPort_));
        }
        SetSetup(SetupState::Failed, 0);
        return -1;
    }
    platform::Ipv4Endpoint local;
    SetSetup(SetupState::Listening, socket.LocalEndpoint(local, err) ? local.port : listenPort_);

    // Receives straight into queue elements, as many datagrams per system call as are waiting;
    // each is acknowledged before it is queued, and all of a call's acknowledgements go out in
    // one system call too.
    while (!stop_.load(std::memory_order_relaxed)) {
        const bool ok = queue_.Refill(receiving_.data(), receiving_.size()) > 0 ? ReceiveAvailable(socket)
                                                                                : ReceiveWithoutElement(socket);
        if (!ok) platform::GetClock().SleepMs(kReceiveErrorPauseMs);
    }
    return 0;
}

bool ClientReportReceiver::ReceiveAvailable(platform::UdpReceiver& socket) {
    platform::UdpReceiver::Slot slots[kReceiveBatch];
    std::size_t ready = 0;
    while (ready < receiving_.size() && receiving_[ready]) {
        slots[ready].buffer = receiving_[ready]->datagram.data();
        slots[ready].capacity = receiving_[ready]->datagram.size();
        ++ready;
    }
    int err = 0;
    const int received = socket.ReceiveBatch(slots, static_cast<int>(ready), err);
    if (received == 0) return true;
    if (received < 0) return false;
    platform::Ipv4Endpoint ackTo[kReceiveBatch];
    std::size_t accepted[kReceiveBatch];
    int count = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
        // Only reports are acknowledged: answering anything else (an acknowledgement, say) lets
        // one spoofed datagram set two answering peers on each other. Neither logged nor paused
        // for: anyone can send such datagrams, and a pause for each would hold off every report.
        if (!IsReportShaped(receiving_[i]->datagram.data(), slots[i].datagramLength)) continue;
        StoreDatagram(*receiving_[i], slots[i].datagramLength, slots[i].from);
        ackTo[count] = slots[i].from;
        accepted[count++] = i;
    }
    // Kept on disk, then acknowledged before anything else happens to them: an acknowledgement
    // means "received", and a restart must not lose what was received.
    StoreBurst(receiving_.data(), accepted, static_cast<std::size_t>(count));
    int failedAcks = 0;
    for (int sent = 0; sent < count;) {
        sent += socket.SendToEach(kReportAck, kReportAckLength, ackTo + sent, count - sent, err);
        if (sent < count) {
            // A forged source address (broadcast, say) makes the send fail: at most a line a minute.
            ORVANE_LOG_LIMITED(ackFailLines_, LogError, "[ERR]Send confirm the message fail! ErrorCode:%ld",
                               static_cast<long>(err));
            ++sent;
            ++failedAcks;
        }
    }
    WorkerStatistics& statistics = Statistics();
    WorkerStatistics::Add(statistics.reportsReceived, static_cast<std::uint64_t>(received));
    if (received != count) WorkerStatistics::Add(statistics.droppedNotReport, static_cast<std::uint64_t>(received - count));
    WorkerStatistics::Add(statistics.reportsAcknowledged, static_cast<std::uint64_t>(count - failedAcks));
    queue_.AppendAll(receiving_.data(), accepted, static_cast<std::size_t>(count));
    return true;
}

bool ClientReportReceiver::ReceiveWithoutElement(platform::UdpReceiver& socket) {
    std::size_t length = 0;
    platform::Ipv4Endpoint from;
    int err = 0;
    platform::ReceiveStatus status = socket.Receive(fallback_.datagram.data(), fallback_.datagram.size(), length, from, err);
    if (status == platform::ReceiveStatus::TimedOut) return true;
    if (status == platform::ReceiveStatus::Failed) return false;
    WorkerStatistics& statistics = Statistics();
    WorkerStatistics::Add(statistics.reportsReceived);
    if (!IsReportShaped(fallback_.datagram.data(), length)) {  // dropped unanswered, as above
        WorkerStatistics::Add(statistics.droppedNotReport);
        return true;
    }
    // An element may have come free while this one was received.
    std::unique_ptr<ReceivedReport> element = queue_.NewElement();
    if (!element) {
        // Unacknowledged, so the PC sends it again; the receiving loop never waits for room.
        WorkerStatistics::Add(statistics.droppedQueueFull);
        ORVANE_LOG_LIMITED(queueFullLines_, LogError,
                           "[ERR]The received-report queue is full (%zu reports): a report was dropped without "
                           "acknowledgement.",
                           queue_.Size());
        return true;
    }
    StoreDatagram(*element, length, from);
    std::memcpy(element->datagram.data(), fallback_.datagram.data(), length);
    StoreBurst(&element, nullptr, 1);
    if (socket.SendTo(kReportAck, kReportAckLength, from, err)) {
        WorkerStatistics::Add(statistics.reportsAcknowledged);
    } else {
        ORVANE_LOG_LIMITED(ackFailLines_, LogError, "[ERR]Send confirm the message fail! ErrorCode:%ld",
                           static_cast<long>(err));
    }
    queue_.Append(std::move(element));
    return true;
}

void ClientReportReceiver::ProcessClientMessageThread() {
    if (connect_) connect_();
    std::string text;
    text.reserve(kReportPlainBuffer);
    std::unique_ptr<ReceivedReport> report;
    while (!stop_.load(std::memory_order_relaxed)) {
        report = queue_.Take(std::move(report), &ClientReportReceiver::CommitDecided, this);
        if (!report) break;
        LookAhead(*report);
        ProcessReport(*report, plain_.data(), text);
        if (store_) {
            // Decided, in arrival order: one mark says so for this report and every earlier one.
            // It is written with the next receive's write (which comes before its reports are
            // queued), or by this thread after 64 decisions or once no report has come for the
            // queue's brief pause: a decision must not outlive a restart undone for long (the
            // next worker would decide the report again).
            store_->ForgetReportsThrough(report->storeId);
            report->storeId = 0;
            if (++uncommitted_ >= kDecidedPerCommit) CommitDecided(this);
        }
    }
    CommitDecided(this);
}

void ClientReportReceiver::CommitDecided(void* receiver) {
    auto* self = static_cast<ClientReportReceiver*>(receiver);
    self->uncommitted_ = 0;
    if (self->store_ && self->store_->HasQueuedChanges()) self->store_->Commit();
}

void ClientReportReceiver::StoreBurst(std::unique_ptr<ReceivedReport>* slots, const std::size_t* which,
                                      std::size_t count) {
    if (!store_ || count == 0) return;
    const std::int64_t now = platform::GetClock().Now();
    storing_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const ReceivedReport& r = *slots[which ? which[i] : i];
        storing_[i].datagram.assign(r.datagram.data(), r.datagram.data() + r.length);
        storing_[i].address = r.sender.address;
        storing_[i].port = r.sender.port;
        storing_[i].received = now;
    }
    // A failed write is logged by the store; the reports are still acknowledged and decided,
    // they only would not outlive a restart.
    store_->Commit(&storing_);
    for (std::size_t i = 0; i < count; ++i) slots[which ? which[i] : i]->storeId = storing_[i].id;
}

void ClientReportReceiver::RestoreFromStore(std::uint32_t antiReplayTime) {
    const std::int64_t now = platform::GetClock().Now();
    for (const StoredDigest& d : store_->LoadDigests()) {
        ReportDigest digest;
        digest.bytes = d.bytes;
        replay_->Restore(digest, d.logoff, d.expires, now);
    }
    // An undecided report older than the anti-replay window cannot pass any more: dropped.
    const std::int64_t window = antiReplayTime != 0 ? antiReplayTime : ReplayCache::kDefaultWindowSeconds;
    std::size_t restored = 0, expired = 0;
    for (const StoredReport& stored : store_->LoadPendingReports()) {
        std::unique_ptr<ReceivedReport> element;
        if (stored.received + window < now || stored.datagram.size() > kReportReceiveBuffer ||
            !(element = queue_.NewElement())) {
            // Passed by the mark of decided reports once a later one is decided; at once when
            // nothing before it waits.
            if (restored == 0) store_->ForgetReportsThrough(stored.id);
            ++expired;
            continue;
        }
        StoreDatagram(*element, stored.datagram.size(), platform::Ipv4Endpoint{stored.address, stored.port});
        std::memcpy(element->datagram.data(), stored.datagram.data(), stored.datagram.size());
        element->storeId = stored.id;
        queue_.Append(std::move(element));
        ++restored;
    }
    if (restored != 0 || expired != 0)
        LogInfo("[INF]%zu acknowledged reports not yet decided are taken back from the state store and decided "
                "first; %zu older than the anti-replay window are dropped.",
                restored, expired);
    store_->Commit();
}

void ClientReportReceiver::LookAhead(ReceivedReport& head) {
    std::array<ReceivedReport*, kLookupPipelineDepth> window;
    window[0] = &head;
    const std::size_t count = 1 + queue_.Peek(window.data() + 1, window.size() - 1);
    const std::int64_t now = platform::GetClock().Now();
    for (std::size_t i = 0; i < count; ++i) {
        ReceivedReport& r = *window[i];
        if (r.lookedAhead) continue;
        r.lookedAhead = true;
        if (OpenClientReport(r.datagram.data(), r.length, clientKey_, plain_.data(), r.text) != ReportOpenResult::Opened)
            continue;
        r.digest = DigestReportBody(r.datagram.data(), r.length);
        r.opened = true;
        // A repeat costs the directory nothing, as when it is decided: known ones, and copies
        // of one waiting in the window.
        if (replay_->Seen(r.digest, now)) continue;
        bool copy = false;
        for (std::size_t j = 0; j < i && !copy; ++j) copy = window[j]->opened && window[j]->digest == r.digest;
        if (copy) continue;
        ReportFields fields;
        if (SplitReportText(r.text, fields) != ReportSplitResult::Split || fields.user.empty() ||
            fields.user.find('$') != std::string_view::npos || (fields.kind != '0' && fields.kind != '1'))
            continue;
        handler_.LookAhead(fields.user, fields.kind == '1');
    }
}

void ClientReportReceiver::ProcessReport(ReceivedReport& report, std::uint8_t* plain, std::string& text) {
    // The sender's address is formatted only for a line that is written or a report decided:
    // refusals must stay cheap, anyone can send them by the hundred thousand.
    char address[16];
    auto sender = [&]() -> const char* {
        platform::FormatIpv4Address(report.sender.address, address);
        return address;
    };
    // A datagram without the key is refused after one block, before anything else is spent on
    // it: a flood of them never reaches the digest or the replay cache. One the look-ahead
    // opened is not opened again.
    const std::string& body = report.opened ? report.text : text;
    if (!report.opened) {
        switch (OpenClientReport(report.datagram.data(), report.length, clientKey_, plain, text)) {
            case ReportOpenResult::Opened:
                break;
            case ReportOpenResult::NotAsWritten:
                WorkerStatistics::Add(Statistics().refusedMalformed);
                ORVANE_LOG_LIMITED(malformedLines_, LogError,
                                   "[ERR]Received a report from %s that no client script wrote (changed on the "
                                   "way?), dropped.",
                                   sender());
                return;
            case ReportOpenResult::Unknown:
            case ReportOpenResult::Malformed:
                WorkerStatistics::Add(Statistics().refusedUndecryptable);
                ORVANE_LOG_LIMITED(unknownLines_, LogError, "[ERR]Received unknown message from client script.\n");
                return;
        }
        report.digest = DigestReportBody(report.datagram.data(), report.length);
    }
    // A repeat is known by its encrypted body (whatever its IV says) before any look-up or
    // decision.
    const ReportDigest& digest = report.digest;
    const std::int64_t now = platform::GetClock().Now();
    if (replay_->Seen(digest, now)) {
        WorkerStatistics::Add(Statistics().refusedReplay);
        ORVANE_LOG_LIMITED(replayLines_, LogInfo,
                           "[INF]Received a report already handled from %s (a repetition or a replay), dropped.",
                           sender());
        return;
    }
    const bool logoff = body[kReportMagicLength] == static_cast<char>(ReportKind::Logoff);
    const std::int64_t expires = replay_->Remember(digest, logoff, now);
    DispatchClientReport(sender(), body, handler_);
    // Stored with the report's removal, never before: a restart between the two decides the
    // report again instead of taking it for a replay of itself.
    if (store_ && expires != 0) store_->SaveDigest(StoredDigest{digest.bytes, logoff, expires});
}

// ---------------------------------------------------------------------------------------------

void StartClientReportReceiver(WorkerSettings& settings, ClientReportReceiver& receiver,
                               const ReceiverSettingsReadStep& settingsRead) {
    ReadReceiverConfig(settings);
    if (settingsRead) settingsRead(settings);
    receiver.Start(settings.listenPort, settings.clientKey, settings.antiReplayTime);
}

}  // namespace orvane
