#include "worker/startup/command_line.h"

#include "common/text.h"

namespace orvane {

namespace {
constexpr std::size_t kServerArgumentCapacity = 96;
}

WorkerCommandLine ParseCommandLine(int argc, const char* const* argv) {
    WorkerCommandLine cl;
    const int args = argc - 1;
    if (args == 1) {
        cl.serverArgument = argv[1];
    } else if (args == 2) {
        cl.heartbeat = true;
        if (std::string(argv[1]) != ".") cl.serverArgument = argv[1];
    }
    cl.serverArgument = CutToCapacity(cl.serverArgument, kServerArgumentCapacity);
    return cl;
}

}  // namespace orvane
