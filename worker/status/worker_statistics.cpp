#include "worker/status/worker_statistics.h"

#include <algorithm>

#include "common/log_repeat.h"
#include "platform/process.h"

namespace orvane {

void WorkerStatistics::HeartbeatSent(unsigned position, std::int64_t now) {
    if (position < lastHeartbeat_.size()) lastHeartbeat_[position].store(now, std::memory_order_relaxed);
}

void WorkerStatistics::ResponseSeen(unsigned position, std::int64_t now) {
    if (position < lastResponse_.size()) lastResponse_[position].store(now, std::memory_order_relaxed);
}

void WorkerStatistics::SetDirectoryServer(unsigned slot, const std::string& address) {
    std::lock_guard<std::mutex> lock(directoryMutex_);
    if (directories_.size() <= slot) directories_.resize(slot + 1);
    directories_[slot] = SnapshotDirectory{address, false, 0};
}

void WorkerStatistics::DirectoryBound(unsigned slot, bool connected, std::uint64_t failedReconnects) {
    std::lock_guard<std::mutex> lock(directoryMutex_);
    if (slot >= directories_.size()) return;
    directories_[slot].connected = connected;
    directories_[slot].failedReconnects = failedReconnects;
}

void WorkerStatistics::CopyCounters(SnapshotCounters& out) const {
    auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
    out.reportsReceived = get(reportsReceived);
    out.reportsAcknowledged = get(reportsAcknowledged);
    out.refusedUndecryptable = get(refusedUndecryptable);
    out.refusedMalformed = get(refusedMalformed);
    out.refusedComputer = get(refusedComputer);
    out.refusedExcluded = get(refusedExcluded);
    out.refusedIgnored = get(refusedIgnored);
    out.refusedAddress = get(refusedAddress);
    out.refusedGroups = get(refusedGroups);
    out.refusedUnverified = get(refusedUnverified);
    out.refusedReplay = get(refusedReplay);
    out.refusedNotOnline = get(refusedNotOnline);
    out.logons = get(logons);
    out.logoffs = get(logoffs);
    out.lookups = get(lookups);
    out.lookupFailures = get(lookupFailures);
    out.searchesSentAhead = get(searchesSentAhead);
    out.searchesUnread = get(searchesUnread);
    out.notificationsSent = get(notificationsSent);
    out.notificationFailures = get(notificationFailures);
    out.confirmations = get(confirmations);
    out.givenUp = get(givenUp);
    out.heartbeatsSent = get(heartbeatsSent);
    out.droppedNotReport = get(droppedNotReport);
    out.droppedQueueFull = get(droppedQueueFull);
    out.droppedForeignResponse = get(droppedForeignResponse);
    out.recordsExpired = get(recordsExpired);
    out.logLinesSuppressed = LogRepeatLimiter::TotalSuppressed();
}

void WorkerStatistics::CopyGateways(const WorkerSettings& settings, std::vector<SnapshotGateway>& out) const {
    out.clear();
    const unsigned count = settings.firewallNum <= kMaxGateways ? settings.firewallNum : 0;
    for (unsigned p = 0; p < count; ++p) {
        out.push_back({settings.gateways[p].ip, settings.gateways[p].port,
                       lastHeartbeat_[p].load(std::memory_order_relaxed),
                       lastResponse_[p].load(std::memory_order_relaxed)});
    }
}

void WorkerStatistics::CopyDirectories(std::vector<SnapshotDirectory>& out) const {
    std::lock_guard<std::mutex> lock(directoryMutex_);
    out = directories_;
}

WorkerStatistics& Statistics() {
    static WorkerStatistics statistics;
    return statistics;
}

void CopyOnlineUsers(OnlineUserTable& table, unsigned positionCount, unsigned retranTimes,
                     std::vector<SnapshotUser>& out) {
    positionCount = std::min(positionCount, kGatewayPositions);
    out.clear();
    std::lock_guard<std::mutex> lock(table.Mutex());
    out.reserve(table.Size());
    for (OnlineUserRecord* r = table.First(); r; r = table.Next(*r)) {
        SnapshotUser u;
        u.user = r->UserName();
        u.domain = r->Domain();
        u.address = r->Address();
        u.computer = r->computer;
        u.adPath = r->AdPath();
        u.online = r->state != kUserOffline;
        u.since = r->stateSince;
        u.gateways.resize(positionCount);
        for (unsigned p = 0; p < positionCount; ++p) {
            SnapshotDelivery& d = u.gateways[p];
            d.sent = r->status[p] != kDeliveryNone;
            d.confirmed = r->status[p] == kDeliveryConfirmed;
            // A record is sent once and repeated RetranTimes times while unconfirmed.
            const unsigned allowed = retranTimes + 1u;
            d.sendsLeft = d.confirmed || r->sendCount[p] >= allowed ? 0 : allowed - r->sendCount[p];
        }
        out.push_back(std::move(u));
    }
}

WorkerSnapshot TakeWorkerSnapshot(const WorkerSettings& settings, OnlineUserTable& table,
                                  const WorkerStatistics& statistics, std::int64_t started, std::int64_t now) {
    WorkerSnapshot s;
    s.server = settings.serverArgument.empty() ? "." : settings.serverArgument;
    s.mode = settings.modelType == 1 ? "log-query" : "client-report";
    s.pid = static_cast<long>(platform::CurrentProcessId());
    s.started = started;
    s.now = now;
    const unsigned positions = settings.firewallNum <= kMaxGateways ? settings.firewallNum : 0;
    // Log-query workers keep no table: their records live only for one notification.
    if (settings.modelType == 0) CopyOnlineUsers(table, positions, settings.retranTimes, s.users);
    statistics.CopyGateways(settings, s.gateways);
    statistics.CopyDirectories(s.directories);
    statistics.CopyCounters(s.counters);
    return s;
}

}  // namespace orvane
