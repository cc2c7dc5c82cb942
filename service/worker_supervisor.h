#pragma once
// Keeps the worker processes alive: starts them for the configured mode, restarts any that ended
// (only while the service runs), terminates them on stop, and ends stray processes carrying the
// worker's image name.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/config_types.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvane {

inline constexpr std::size_t kWorkerSlots = 16;
// The worker's image name (its executable's file name, compared case-sensitively).
inline constexpr const char* kWorkerImageName = "Orvane";
inline constexpr unsigned kMonitorCycleMs = 5000;
inline constexpr unsigned kWorkerSpacingMs = 100;

// One worker: its command line (kept for every restart) and its current process.
struct WorkerSlot {
    std::string commandLine;         // as documented: "<folder>/Orvane <server>[ 0]"
    std::vector<std::string> argv;   // the same, split into the arguments the worker receives
    int pid = 0;                     // 0: no process
};

class WorkerSupervisor {
public:
    // `state` is the service's current state (platform::ServiceState values), shared with the
    // control handler.
    WorkerSupervisor(platform::ProcessControl& processes, platform::Clock& clock, std::atomic<std::uint32_t>& state);

    // The program folder and the settings of ReadServiceConfig; before StartWorkers.
    void Configure(std::string programFolder, const ServiceSettings& settings);

    // 0 when every worker started, else -1 (in log-query mode the started ones are ended).
    int StartWorkers();
    // Why the last StartWorkers left nothing running that the monitor would restart ("idle: ..."
    // for the manager's status line); empty when the workers run or will be restarted.
    std::string IdleReason();
    // Terminates the workers and every leftover, sets the state to stopped; 0.
    int StopWorkers();
    // Ends every process whose image name is the worker's; -1 when the list cannot be read.
    int KillLeftoverWorkers();
    // Removes the status sockets that killed workers left in the run folder, so that readers
    // and administrators see only workers that run; before StartWorkers.
    void RemoveStaleStatusSockets();
    // One look at every slot, restarting ended workers, while the state is running (in any
    // other state ended workers are only collected).
    void MonitorCycle();
    // The monitor thread's routine: MonitorCycle every 5 seconds, for ever.
    [[noreturn]] void MonitorLoop();

    WorkerSlot Slot(std::size_t i);  // a copy, taken under the lock (tests, diagnostics)

private:
    bool ClientReportMode() const { return settings_.modelType == 0; }
    // Slots the log-query mode watches and stops: the server count, never past the table.
    std::size_t LogQuerySlots() const;
    void SetCommandLine(std::size_t i, const std::string& server, bool heartbeat);
    bool StartSlot(std::size_t i, int& err);  // under the lock
    void EndSlot(std::size_t i);              // under the lock
    void ReapEnded();

    platform::ProcessControl& processes_;
    platform::Clock& clock_;
    std::atomic<std::uint32_t>& state_;
    std::string folder_;
    ServiceSettings settings_;
    std::recursive_mutex lock_;
    std::array<WorkerSlot, kWorkerSlots> slots_;
    std::string idleReason_;
};

}  // namespace orvane
