#pragma once
// Reads the live snapshots of the workers of a program folder through their status sockets
// ("<folder>/run/Orvane-<server>.sock"). orvanectl and the console window both read through
// here. Every read has a deadline: a stopped or stuck worker is reported, never waited for.
#include <cstddef>
#include <string>
#include <vector>

#include "common/worker_snapshot.h"

namespace orvane::console {

enum class WorkerReadState {
    Ok,          // `snapshot` holds the worker's answer
    NotRunning,  // its socket is left over, nobody listens on it
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

// Why a program folder shows no worker to read.
enum class WorkerListProblem {
    None,         // at least one worker is listed
    NeverRan,     // the run folder is missing: no worker has run from this folder
    NoneRunning,  // no socket, or only sockets left by stopped workers
    Denied,       // the caller may not list the run folder
    Failed,       // the run folder cannot be listed otherwise (systemError)
};

struct WorkerList {
    WorkerListProblem problem = WorkerListProblem::None;
    std::string programFolder;
    std::string runFolder;
    std::string systemError;  // Denied, Failed: the system's text
    std::size_t stale = 0;    // sockets nobody listens on any more (killed workers), left out
    std::vector<WorkerReading> readings;
};

// Every worker socket in the folder's run folder, in name order, read side by side so the whole
// call ends within about one deadline. A socket nobody listens on is a stopped worker's leftover:
// it is counted in `stale`, not listed, while a live worker that does not answer is listed.
WorkerList ReadWorkerList(const std::string& programFolder, int timeoutMs = kWorkerReadTimeoutMs);

// The list's problem in English, as orvanectl prints it; empty when there is none.
std::string DescribeListProblem(const WorkerList& list);

// ReadWorkerList's readings, with DescribeListProblem in `error` when there is none.
std::vector<WorkerReading> ReadAllWorkerStatus(const std::string& programFolder, std::string& error,
                                               int timeoutMs = kWorkerReadTimeoutMs);

// True for the client-report worker (server argument ".").
bool IsClientReportWorker(const WorkerReading& reading);

// A short text of a reading's state ("not running", "permission denied", ...).
std::string DescribeReadState(const WorkerReading& reading);

}  // namespace orvane::console
