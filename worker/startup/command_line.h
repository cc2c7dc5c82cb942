#pragma once
#include <string>

namespace orvane {

struct WorkerCommandLine {
    std::string serverArgument;  // empty in client-report mode
    bool heartbeat = false;
};

// The argument count decides everything: one argument is the server; two are the server
// (or "." for none) and the heartbeat flag; none or three and more give neither.
WorkerCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace orvane
