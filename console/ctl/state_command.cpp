// orvanectl state: the workers' state stores (shown; emptied while nothing runs that uses them).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/state_files.h"
#include "console/ctl/commands.h"
#include "console/ctl/console_commands.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace orvane::ctl {
namespace {

constexpr const char* kWorkerImage = "Orvane";

// Why the stores may not be emptied now (the service or a worker runs), empty when they may.
std::string InUseReason() {
    platform::ServiceResult r = platform::ServiceResult::Failed;
    std::string text;
    if (auto manager = platform::OpenServiceManager(platform::ServiceManagerAccess::Control, r, text)) {
        platform::ServiceState state = platform::ServiceState::Stopped;
        if (manager->Query("OrvaneSRV", state) == platform::ServiceResult::Ok &&
            state != platform::ServiceState::Stopped)
            return "the service OrvaneSRV is not stopped";
    }
    std::vector<platform::ProcessEntry> processes;
    int err = 0;
    if (!platform::SystemProcesses().ListProcesses(processes, err))
        return std::string("the running processes cannot be listed: ") + std::strerror(err);
    for (const auto& p : processes)
        if (p.imageName == kWorkerImage) return "a worker (" + std::to_string(p.pid) + ") is running";
    return {};
}

}  // namespace

std::string FormatStateFiles() {
    const std::string folder = StateFolder();
    // The folder is root's alone: another user is told so rather than "none".
    if (::access(folder.c_str(), R_OK | X_OK) != 0 && errno != ENOENT)
        return "State store: " + folder + " cannot be read (" + std::strerror(errno) + ")\n";
    const std::vector<StateFileInfo> files = ListStateFiles(folder);
    if (files.empty()) return "State store: none in " + folder + "\n";
    std::string out;
    for (const StateFileInfo& f : files) {
        char when[32] = "never";
        const std::time_t t = static_cast<std::time_t>(f.lastWrite);
        struct tm tmv {};
        if (f.lastWrite > 0 && localtime_r(&t, &tmv)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);
        char line[512];
        std::snprintf(line, sizeof line, "State store %s/%s: %llu bytes, last write %s\n", folder.c_str(),
                      f.name.c_str(), static_cast<unsigned long long>(f.bytes), when);
        out += line;
    }
    return out;
}

void PrintStateHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl state [show]\n"
                 "       orvanectl state reset\n"
                 "\n"
                 "Each worker keeps what a restart must not forget (online users, reports\n"
                 "acknowledged but not yet decided, replay digests, the last query time) in a\n"
                 "SQLite file of its own in /var/lib/orvane (ORVANE_STATE_DIR when set).\n"
                 "show prints each file's size and last write; reset deletes them, so the\n"
                 "workers start empty. reset is refused while the service OrvaneSRV or any\n"
                 "worker runs. Stores set aside as damaged (*.damaged-*) are left alone.\n"
                 "\n"
                 "Exit status: 0 done, 1 failed, 2 usage error, 4 refused while running.\n");
}

int RunState(int argc, char** argv) {
    const std::string action = argc > 1 ? argv[1] : "show";
    if (action == "--help" || action == "-h") {
        PrintStateHelp(stdout);
        return kExitOk;
    }
    if (argc > 2 || (action != "show" && action != "reset")) {
        std::fprintf(stderr, "orvanectl state: unknown arguments (see 'orvanectl state --help')\n");
        return kExitUsage;
    }
    if (action == "show") {
        std::fputs(FormatStateFiles().c_str(), stdout);
        return kExitOk;
    }
    if (const std::string why = InUseReason(); !why.empty()) {
        std::fprintf(stderr, "orvanectl state reset: refused: %s (stop it first)\n", why.c_str());
        return kExitLocked;
    }
    std::size_t removed = 0;
    if (!RemoveStateFiles(StateFolder(), removed)) {
        std::fprintf(stderr, "orvanectl state reset: %s: %s\n", StateFolder().c_str(), std::strerror(errno));
        return kExitFailure;
    }
    std::printf("State reset: %zu store(s) deleted in %s\n", removed, StateFolder().c_str());
    return kExitOk;
}

}  // namespace orvane::ctl
