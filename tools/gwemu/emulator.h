#pragma once
// The receive loop of the gateway emulator.
#include <csignal>
#include <cstdio>

#include "common/gateway_message.h"
#include "tools/gwemu/options.h"

namespace orvane::gwemu {

// Set by SIGINT/SIGTERM; the loop ends within one receive slice.
extern volatile std::sig_atomic_t g_stopRequested;

// Receives until --count, --timeout or a stop request; writes one JSON line per datagram to
// `out`. 0 on a normal end, 1 when the socket or the output fails.
int RunEmulator(const Options& options, const KeyField& key, std::FILE* out);

}  // namespace orvane::gwemu
