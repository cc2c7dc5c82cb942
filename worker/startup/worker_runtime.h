#pragma once
// The worker's process-wide state: written by the main thread during start-up, read afterwards.
#include <atomic>
#include <cstdint>

#include "common/config_types.h"
#include "common/log.h"

namespace orvane {

constexpr std::uint32_t kRunStateRunning = 4;

struct WorkerRuntime {
    WorkerSettings settings;
    std::atomic<std::uint32_t> runState{0};
};

WorkerRuntime& Runtime();

// Start-up step 9: run state, configuration, gateway socket, locks, the threads of the mode.
// Every failure is logged; the caller goes on into the main loop whatever happens.
void InitialiseWorker(WorkerRuntime& rt, WorkerLog& log);

}  // namespace orvane
