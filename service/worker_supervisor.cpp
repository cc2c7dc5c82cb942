#include "service/worker_supervisor.h"

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/worker_snapshot.h"
#include "platform/service_manager.h"

namespace orvane {
namespace {

constexpr std::uint32_t kRunning = static_cast<std::uint32_t>(platform::ServiceState::Running);
constexpr std::uint32_t kStopped = static_cast<std::uint32_t>(platform::ServiceState::Stopped);

}  // namespace

WorkerSupervisor::WorkerSupervisor(platform::ProcessControl& processes, platform::Clock& clock,
                                   std::atomic<std::uint32_t>& state)
    : processes_(processes), clock_(clock), state_(state) {}

void WorkerSupervisor::Configure(std::string programFolder, const ServiceSettings& settings) {
    folder_ = std::move(programFolder);
    settings_ = settings;
}

std::size_t WorkerSupervisor::LogQuerySlots() const {
    return settings_.serverCount < kWorkerSlots ? settings_.serverCount : kWorkerSlots;
}

void WorkerSupervisor::SetCommandLine(std::size_t i, const std::string& server, bool heartbeat) {
    WorkerSlot& slot = slots_[i];
    const std::string exe = platform::JoinPath(folder_, kWorkerImageName);
    slot.commandLine = exe + " " + server + (heartbeat ? " 0" : "");
    // Arguments are passed as such, so a program folder with blanks still gives the worker its
    // server argument first.
    slot.argv = {exe, server};
    if (heartbeat) slot.argv.emplace_back("0");
}

bool WorkerSupervisor::StartSlot(std::size_t i, int& err) {
    WorkerSlot& slot = slots_[i];
    slot.pid = 0;
    int pid = 0;
    if (slot.argv.empty()) {
        err = ENOENT;
        return false;
    }
    if (!processes_.Spawn(slot.argv, pid, err)) return false;
    slot.pid = pid;
    return true;
}

void WorkerSupervisor::EndSlot(std::size_t i) {
    WorkerSlot& slot = slots_[i];
    if (slot.pid == 0) return;
    int err = 0;
    processes_.TerminateChild(slot.pid, err);
    slot.pid = 0;
}

std::string WorkerSupervisor::IdleReason() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return idleReason_;
}

int WorkerSupervisor::StartWorkers() {
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        idleReason_.clear();
    }
    if (settings_.serverCount == 0) {
        LogError("[ERR]Nothing AD service to stop!");
        std::lock_guard<std::recursive_mutex> guard(lock_);
        idleReason_ = "idle: no directory server configured";
        return -1;
    }
    int err = 0;
    if (ClientReportMode()) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        SetCommandLine(0, ".", true);
        if (!StartSlot(0, err)) {
            LogError("[ERR]RecvMessageModule:Create process failed! ErrorNum:%d", err);
            return -1;
        }
        state_ = kRunning;
        return 0;
    }
    const std::size_t count = settings_.serverAddresses.size() < kWorkerSlots ? settings_.serverAddresses.size()
                                                                              : kWorkerSlots;
    for (std::size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            const std::string& address = settings_.serverAddresses[i];
            SetCommandLine(i, address, i == 0);
            if (!StartSlot(i, err)) {
                LogError("[ERR]QueryLogModule:Create the process of IP's %s failed! ErrorNum:%d", address.c_str(), err);
                // The monitor restarts none of them after this: say so instead of "RUNNING".
                idleReason_ = "idle: the worker for " + address + " could not start: " + std::strerror(err);
                StopWorkers();
                return -1;
            }
        }
        clock_.SleepMs(kWorkerSpacingMs);
    }
    state_ = kRunning;
    return 0;
}

void WorkerSupervisor::MonitorCycle() {
    if (state_ != kRunning) {
        ReapEnded();
        return;
    }
    int err = 0;
    if (ClientReportMode()) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        // A slot that never got a command line (no directory server configured) is left alone,
        // and so is one a stop has just ended.
        if (state_ == kRunning && !slots_[0].argv.empty() && processes_.HasEnded(slots_[0].pid) && !StartSlot(0, err))
            LogError("[ERR]RecvMessageModule:Create process failed! ErrorNum:%d", err);
        return;
    }
    const std::size_t count = LogQuerySlots();
    for (std::size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            // A stop that came during this cycle has ended the slot: it must stay ended.
            if (state_ != kRunning) return;
            if (!slots_[i].argv.empty() && processes_.HasEnded(slots_[i].pid) && !StartSlot(i, err))
                LogError("[ERR]QueryLogModule:Create process failed! ErrorNum:%d", err);
        }
        clock_.SleepMs(kWorkerSpacingMs);
    }
}

void WorkerSupervisor::ReapEnded() {
    // Paused or stopped: nothing is started, but an ended worker must not stay a zombie.
    for (std::size_t i = 0; i < kWorkerSlots; ++i) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (slots_[i].pid != 0 && processes_.HasEnded(slots_[i].pid)) slots_[i].pid = 0;
    }
}

void WorkerSupervisor::MonitorLoop() {
    for (;;) {
        MonitorCycle();
        clock_.SleepMs(kMonitorCycleMs);
    }
}

int WorkerSupervisor::StopWorkers() {
    if (ClientReportMode()) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        EndSlot(0);
    } else {
        const std::size_t count = LogQuerySlots();
        for (std::size_t i = 0; i < count; ++i) {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            EndSlot(i);
        }
    }
    KillLeftoverWorkers();
    state_ = kStopped;
    return 0;
}

int WorkerSupervisor::KillLeftoverWorkers() {
    std::vector<platform::ProcessEntry> list;
    int err = 0;
    if (!processes_.ListProcesses(list, err)) {
        LogError("[ERR]Get a snapshot of the process failed! ErrorNum:%d", err);
        return -1;
    }
    if (list.empty()) {
        // Not even the service manager: the process list cannot be what it claims.
        LogError("[ERR]Get information of first process failed! ErrorNum:%d", ESRCH);
        return -1;
    }
    for (const auto& p : list) {
        if (p.imageName != kWorkerImageName) continue;
        // One that ended meanwhile needs nothing more.
        if (!processes_.Kill(p.pid, err) && err != ESRCH)
            LogError("[ERR]Open the process of %s failed! ErrorNum:%d", kWorkerImageName, err);
    }
    return 0;
}

void WorkerSupervisor::RemoveStaleStatusSockets() {
    for (const std::string& path : orvane::RemoveStaleStatusSockets(folder_))
        LogInfo("[INF]Removed the status socket of a stopped worker: %s", path.c_str());
}

WorkerSlot WorkerSupervisor::Slot(std::size_t i) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return slots_.at(i);
}

}  // namespace orvane
