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

WorkerList ReadWorkerList(const std::string& programFolder, int timeoutMs) {
    WorkerList list;
    list.programFolder = programFolder;
    list.runFolder = StatusSocketFolder(programFolder);
    std::vector<std::string> sockets;
    std::error_code ec;
    std::filesystem::directory_iterator it(list.runFolder, ec);
    if (ec) {
        list.problem = ec == std::errc::no_such_file_or_directory ? WorkerListProblem::NeverRan
                       : ec == std::errc::permission_denied       ? WorkerListProblem::Denied
                                                                  : WorkerListProblem::Failed;
        list.systemError = ec.message();
        return list;
    }
    for (const auto& entry : it) {
        std::string server;
        std::error_code typeError;
        if (entry.is_socket(typeError) && ServerOfStatusSocket(entry.path().filename().string(), server))
            sockets.push_back(entry.path().string());
    }
    std::sort(sockets.begin(), sockets.end());
    // All at once, so that hung workers cost one deadline together, not one each.
    std::vector<std::future<WorkerReading>> pending;
    pending.reserve(sockets.size());
    for (const std::string& s : sockets)
        pending.push_back(std::async(std::launch::async, [s, timeoutMs] { return ReadWorkerStatus(s, timeoutMs); }));
    list.readings.reserve(sockets.size());
    for (auto& p : pending) {
        WorkerReading r = p.get();
        // Refused or gone: no process listens there, so no worker to report.
        if (r.state == WorkerReadState::NotRunning) {
            ++list.stale;
            continue;
        }
        list.readings.push_back(std::move(r));
    }
    if (list.readings.empty()) list.problem = WorkerListProblem::NoneRunning;
    return list;
}

std::string DescribeListProblem(const WorkerList& list) {
    switch (list.problem) {
        case WorkerListProblem::None: return {};
        case WorkerListProblem::NeverRan:
            return "no worker has run from " + list.programFolder + " (" + list.runFolder + " is missing)";
        case WorkerListProblem::NoneRunning:
            if (list.stale == 0) return "no worker status socket in " + list.runFolder;
            return "no worker is running from " + list.programFolder + " (" + std::to_string(list.stale) +
                   " socket" + (list.stale == 1 ? "" : "s") + " of stopped workers in " + list.runFolder + ")";
        case WorkerListProblem::Denied:
            return list.runFolder + ": " + list.systemError + " (the workers' status is for root)";
        case WorkerListProblem::Failed: return list.runFolder + ": " + list.systemError;
    }
    return {};
}

std::vector<WorkerReading> ReadAllWorkerStatus(const std::string& programFolder, std::string& error,
                                               int timeoutMs) {
    WorkerList list = ReadWorkerList(programFolder, timeoutMs);
    error = DescribeListProblem(list);
    return std::move(list.readings);
}

bool IsClientReportWorker(const WorkerReading& r) {
    const std::string& server = r.state == WorkerReadState::Ok ? r.snapshot.server : r.server;
    return server.empty() || server == ".";
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
