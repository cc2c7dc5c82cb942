#pragma once
// What the worker counts and remembers for its live snapshot. Counters are relaxed atomics, so
// the report road pays one uncontended increment per event and never a lock; the online-user
// table is copied under its own lock only when someone asks for a snapshot.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/config_types.h"
#include "common/worker_snapshot.h"
#include "worker/users/online_users.h"

namespace orvane {

class WorkerStatistics {
public:
    using Counter = std::atomic<std::uint64_t>;
    static constexpr std::size_t kCacheLine = 64;
    // Grouped by the thread that counts them, a cache line each, so the receiver, the decider
    // and the senders never contend for one line.
    alignas(kCacheLine) Counter reportsReceived{0};
    Counter reportsAcknowledged{0}, refusedUndecryptable{0}, refusedMalformed{0}, refusedComputer{0};
    Counter refusedExcluded{0}, refusedIgnored{0}, refusedAddress{0}, refusedGroups{0};
    alignas(kCacheLine) Counter refusedUnverified{0};
    Counter refusedReplay{0}, refusedNotOnline{0}, logons{0}, logoffs{0}, lookups{0}, lookupFailures{0};
    Counter searchesSentAhead{0}, searchesUnread{0};
    alignas(kCacheLine) Counter notificationsSent{0};
    Counter notificationFailures{0}, confirmations{0}, givenUp{0}, heartbeatsSent{0};
    alignas(kCacheLine) Counter droppedNotReport{0};
    Counter droppedQueueFull{0}, droppedForeignResponse{0}, recordsExpired{0};

    static void Add(Counter& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

    // Seconds since 1970 per gateway position; 0 never.
    void HeartbeatSent(unsigned position, std::int64_t now);
    void ResponseSeen(unsigned position, std::int64_t now);

    // Directory servers by slot: the address once the slot is filled, then each bind's outcome.
    void SetDirectoryServer(unsigned slot, const std::string& address);
    void DirectoryBound(unsigned slot, bool connected, std::uint64_t failedReconnects);

    void CopyCounters(SnapshotCounters& out) const;
    void CopyGateways(const WorkerSettings& settings, std::vector<SnapshotGateway>& out) const;
    void CopyDirectories(std::vector<SnapshotDirectory>& out) const;

private:
    alignas(kCacheLine) std::array<std::atomic<std::int64_t>, kMaxGateways> lastHeartbeat_{};
    std::array<std::atomic<std::int64_t>, kMaxGateways> lastResponse_{};
    mutable std::mutex directoryMutex_;  // bind outcomes are rare; a lock keeps address and state together
    std::vector<SnapshotDirectory> directories_;
};

// The process's statistics.
WorkerStatistics& Statistics();

// The online-user table's records as the snapshot shows them. The table lock is held only to
// copy the records; `retranTimes` and `positionCount` give the sends left per gateway.
void CopyOnlineUsers(OnlineUserTable& table, unsigned positionCount, unsigned retranTimes,
                     std::vector<SnapshotUser>& out);

// A whole snapshot of this worker at `now`.
WorkerSnapshot TakeWorkerSnapshot(const WorkerSettings& settings, OnlineUserTable& table,
                                  const WorkerStatistics& statistics, std::int64_t started, std::int64_t now);

}  // namespace orvane
