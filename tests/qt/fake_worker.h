#pragma once
// A worker's status socket served from a thread, for the Online users view's tests and screenshots.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/worker_snapshot.h"
#include "platform/local_socket.h"

namespace orvane::console::testing {

// A worker that answers every status request with the snapshot it holds now.
class FakeWorker {
public:
    FakeWorker(const std::string& folder, const std::string& server, WorkerSnapshot snapshot)
        : snapshot_(std::move(snapshot)) {
        int err = 0;
        ok_ = platform::EnsureSocketFolder(StatusSocketFolder(folder), 0700, err) &&
              listener_.Listen(StatusSocketPath(folder, server), 0600, err);
        if (ok_) thread_ = std::thread([this] { Serve(); });
    }
    ~FakeWorker() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool Ok() const { return ok_; }
    void Set(WorkerSnapshot snapshot) {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = std::move(snapshot);
    }

private:
    void Serve() {
        while (!stop_) {
            platform::LocalConnection c;
            int err = 0;
            if (!listener_.Accept(50, c, err)) continue;
            std::string text;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                text = SnapshotToJson(snapshot_);
            }
            c.SendAll(text.data(), text.size(), 1000, err);
        }
    }

    platform::LocalListener listener_;
    std::mutex mutex_;
    WorkerSnapshot snapshot_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    bool ok_ = false;
};

// A user of the CORP domain under OU=Staff.
inline SnapshotUser SampleUser(const std::string& name, const std::string& address, std::int64_t since, bool online,
                               std::vector<SnapshotDelivery> gateways) {
    SnapshotUser u;
    u.user = name;
    u.domain = "CORP";
    u.address = address;
    u.adPath = "CN=" + name + ",OU=Staff,DC=corp,DC=example";
    u.online = online;
    u.since = since;
    u.gateways = std::move(gateways);
    return u;
}

}  // namespace orvane::console::testing
