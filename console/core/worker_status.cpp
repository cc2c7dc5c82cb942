#include "console/core/worker_status.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <future>
#include <system_error>

#include "platform/local_socket.h"

namespace orvane::console {
namespace {

// A snapshot of tens of thousands of users fits easily; anything beyond is not a worker talking.
constexpr std::size_t kMaxAnswerBytes = 256u * 1024u * 1024u;

}  // namespace

WorkerReading ReadWorkerStatus(const std::string& socketPath, int timeoutMs) {
    WorkerReading r;
    r.socketPath = socketPath;
    ServerOfStatusSocket(std::filesystem::path(socketPath).filename().string(), r.server);
    std::string text;
    int err = 0;
    switch (platform::ReadLocalAnswer(socketPath, timeoutMs, kMaxAnswerBytes, text, err)) {
        case platform::LocalReadResult::Read:
            break;
        case platform::LocalReadResult::NoSocket:
            r.state = WorkerReadState::NotRunning;
            return r;
        case platform::LocalReadResult::Denied:
            r.state = WorkerReadState::Denied;
            r.error = std::strerror(err);
            return r;
        case platform::LocalReadResult::TimedOut:
            r.state = WorkerReadState::TimedOut;
            return r;
        case platform::LocalReadResult::TooLong:
            r.state = WorkerReadState::BadAnswer;
            r.error = "answer too long";
            return r;
        case platform::LocalReadResult::Failed:
            r.state = WorkerReadState::Failed;
            r.error = std::strerror(err);
            return r;
    }
    if (!SnapshotFromJson(text, r.snapshot, r.error)) {
        r.state = WorkerReadState::BadAnswer;
        return r;
    }
    r.state = WorkerReadState::Ok;
    return r;
}

std::vector<WorkerReading> ReadAllWorkerStatus(const std::string& programFolder, std::string& error,
                                               int timeoutMs) {
    std::vector<std::string> sockets;
    const std::filesystem::path folder = StatusSocketFolder(programFolder);
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        error = ec == std::errc::no_such_file_or_directory
                    ? "no worker has run from " + programFolder + " (" + folder.string() + " is missing)"
                    : folder.string() + ": " + ec.message() +
                          (ec == std::errc::permission_denied ? " (the workers' status is for root)" : "");
        return {};
    }
    for (const auto& entry : it) {
        std::string server;
        if (ServerOfStatusSocket(entry.path().filename().string(), server)) sockets.push_back(entry.path().string());
    }
    std::sort(sockets.begin(), sockets.end());
    if (sockets.empty()) error = "no worker status socket in " + folder.string();
    // All at once, so that hung workers cost one deadline together, not one each.
    std::vector<std::future<WorkerReading>> pending;
    pending.reserve(sockets.size());
    for (const std::string& s : sockets)
        pending.push_back(std::async(std::launch::async, [s, timeoutMs] { return ReadWorkerStatus(s, timeoutMs); }));
    std::vector<WorkerReading> readings;
    readings.reserve(sockets.size());
    for (auto& p : pending) readings.push_back(p.get());
    return readings;
}

std::string DescribeReadState(const WorkerReading& r) {
    switch (r.state) {
        case WorkerReadState::Ok: return "running";
        case WorkerReadState::NotRunning: return "not running";
        case WorkerReadState::Denied: return "permission denied (" + r.error + "); run as root";
        case WorkerReadState::TimedOut: return "not answering";
        case WorkerReadState::BadAnswer: return "unreadable answer (" + r.error + ")";
        case WorkerReadState::Failed: return "cannot be read (" + r.error + ")";
    }
    return "unknown";
}

}  // namespace orvane::console
