#pragma once
// HeartBeatThread: every 5 seconds one heartbeat (version text and the host's MAC address) to
// every gateway position with an address, from a socket of its own. Gateways do not answer.
#include <atomic>
#include <functional>
#include <string>

#include "common/config_types.h"
#include "worker/gateway/stoppable_thread.h"

namespace orvane {

struct HeartbeatOptions {
    // Reads the worker's version text; false when it cannot (then "3.1.8.1" is sent). Empty:
    // the file version of "<module folder>/Orvane" through GetFileVersionText.
    std::function<bool(std::string&)> readVersion;
    // Where the network adapters are listed (tests use a fake tree).
    std::string adapterRoot = "/sys/class/net";
};

// The version text the heartbeat carries: the reader's, else "3.1.8.1".
std::string HeartbeatVersionText(const WorkerSettings& settings, const HeartbeatOptions& options);

// The thread body; returns when `stop` is raised or the socket cannot be set up.
void HeartBeatThread(const WorkerSettings& settings, const HeartbeatOptions& options,
                     const std::atomic<bool>& stop);

// Starts the thread with its own copy of the settings; false with errno set when the thread
// cannot be created.
bool StartHeartBeatThread(const WorkerSettings& settings, HeartbeatOptions options, StoppableThread& thread);

}  // namespace orvane
