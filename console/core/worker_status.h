#pragma once
// Reads the live snapshots of the workers of a program folder through their status sockets
// ("<folder>/run/Orvane-<server>.sock"). orvanectl and the console window both read through
// here. Every read has a deadline: a stopped or stuck worker is reported, never waited for.
#include <string>
#include <vector>

#include "common/worker_snapshot.h"

namespace orvane::console {

enum class WorkerReadState {
    Ok,          // `snapshot` holds the worker's answer
    NotRunning,  // its socket is left over, nobody answers on it
    Denied,      // the caller may not read it (not root, not in the folder's group)
    TimedOut,    // the worker did not answer in time
    BadAnswer,   // the answer is not a snapshot this program reads
    Failed,      // any other error
};

struct WorkerReading {
    std::string server;       // the worker's server argument ("." client-report)
    std::string socketPath;
    WorkerReadState state = WorkerReadState::Failed;
    std::string error;        // what went wrong, for a message
    WorkerSnapshot snapshot;  // when Ok
};

// Default deadline of one worker's answer.
constexpr int kWorkerReadTimeoutMs = 3000;

// One worker's snapshot from `socketPath`.
WorkerReading ReadWorkerStatus(const std::string& socketPath, int timeoutMs = kWorkerReadTimeoutMs);

// Every worker socket in the folder's run folder, in name order, read side by side so the whole
// call ends within about one deadline. Empty when there is none (no
// worker has run from this folder, or the run folder cannot be listed: `error` says which).
std::vector<WorkerReading> ReadAllWorkerStatus(const std::string& programFolder, std::string& error,
                                               int timeoutMs = kWorkerReadTimeoutMs);

// A short text of a reading's state ("not running", "permission denied", ...).
std::string DescribeReadState(const WorkerReading& reading);

}  // namespace orvane::console
