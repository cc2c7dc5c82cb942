#pragma once
// The worker's status socket: "<program folder>/run/Orvane-<server>.sock", root-only (the run
// folder 0750, the socket 0660, so a group given to the folder may read it). Every connection
// gets one JSON snapshot, taken when it connects, and is closed; nothing is read from clients,
// so a client can neither change nor stall the worker.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/worker_snapshot.h"
#include "platform/local_socket.h"
#include "worker/gateway/stoppable_thread.h"

namespace orvane {

class StatusPublisher {
public:
    using SnapshotSource = std::function<WorkerSnapshot()>;
    explicit StatusPublisher(SnapshotSource source) : source_(std::move(source)) {}

    // Creates the run folder and the socket; false after logging the failure.
    bool Listen(const std::string& programFolder, const std::string& serverArgument);
    // Starts the answering thread; false with errno set.
    bool Start(StoppableThread& thread);
    // Answers what arrives within timeoutMs (the thread's loop body; tests call it directly).
    void ServeOnce(int timeoutMs);
    const std::string& SocketPath() const { return listener_.Path(); }
    std::uint64_t Served() const { return served_.load(std::memory_order_relaxed); }

private:
    SnapshotSource source_;
    platform::LocalListener listener_;
    std::atomic<std::uint64_t> served_{0};
};

}  // namespace orvane
