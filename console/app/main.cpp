// OrvaneAgent: the administrator's console.
#include <cstdio>
#include <cstring>

#include "console/app/agent_app.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    using namespace orvane::console;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(AgentUsage(), stdout);
            return 0;
        }
    }
    std::string folder;
    if (!ExecutableFolder(folder)) return 1;
    orvane::platform::LeaveCallerFolder();
    AgentStartOptions options;
    options.programFolder = folder;
    options.startHidden = HasHideFlag(argc, argv);
    return RunAgent(argc, argv, options);
}
