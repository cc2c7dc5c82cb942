// orvanectl: administration of Orvane from a shell.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/log.h"
#include "console/ctl/commands.h"
#include "console/ctl/console_commands.h"
#include "console/ctl/stderr_log.h"
#include "platform/process.h"

namespace orvane::ctl {
namespace {

constexpr Command kCommands[] = {
    {"show", "print the settings, servers, devices, service state and auto-start", PrintShowHelp, RunShow},
    {"set", "check and write one setting (port, keys, times, mode, ...)", PrintSetHelp, RunSet},
    {"server", "list, add, edit or delete directory servers", PrintServerHelp, RunServer},
    {"device", "list, add, edit or delete devices (gateways)", PrintDeviceHelp, RunDevice},
    {"service", "start, stop or query the service OrvaneSRV", PrintServiceHelp, RunService},
    {"autostart", "start the console hidden at every desktop logon, or not", PrintAutostartHelp, RunAutostart},
    {"filter", "show or edit which logons become identities (accounts, addresses, groups)", PrintFilterHelp, RunFilter},
    {"explain", "tell which rule would decide a logon of USER at ADDRESS, sending nothing", PrintExplainHelp, RunExplain},
    {"users", "list the users the workers believe are logged on (table or --json)", PrintUsersHelp, RunUsers},
    {"status", "a short summary of each running worker", PrintStatusHelp, RunStatus},
    {"metrics", "the workers' counters in the Prometheus text format", PrintMetricsHelp, RunMetrics},
    {"state", "the workers' state stores: show them, or reset them while stopped", PrintStateHelp, RunState},
    {"protect", "read a secret from standard input and print its protected text", PrintProtectHelp, RunProtect},
};

const Command* FindCommand(const char* name) {
    for (const Command& c : kCommands)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl [--folder DIR] <command> [options]\n"
                 "       orvanectl help [<command>]\n"
                 "\n"
                 "Administers the Orvane single sign-on agent from a shell.\n"
                 "\n"
                 "Commands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "  %-10s %s\n"
                 "\n"
                 "Options:\n"
                 "  --folder DIR  the program folder (config.ini, language.ini); by default the\n"
                 "                folder of orvanectl itself\n"
                 "\n"
                 "Exit status: 0 success, 1 the command failed, 2 usage error, 3 refused by a\n"
                 "check, 4 settings locked while the service runs, 5 service manager failure,\n"
                 "6 a worker is stopped or not answering (users, status, metrics); explain: 0\n"
                 "reported, 1 not reported.\n",
                 "help", "show this help, or the help of a command");
}

int UnknownCommand(const char* name) {
    std::fprintf(stderr, "orvanectl: unknown command '%s' (see 'orvanectl --help')\n", name);
    return kExitUsage;
}

bool IsHelpFlag(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

}  // namespace
}  // namespace orvane::ctl

int main(int argc, char** argv) {
    using namespace orvane::ctl;
    // Relative paths given here (--folder, --output) still name the caller's files.
    orvane::platform::LeaveCallerFolder();
    // The global option comes before the command.
    while (argc >= 2 && std::strncmp(argv[1], "--folder", 8) == 0) {
        const char* value = nullptr;
        if (std::strcmp(argv[1], "--folder") == 0 && argc >= 3) {
            value = argv[2];
            argv += 2;
            argc -= 2;
        } else if (std::strncmp(argv[1], "--folder=", 9) == 0) {
            value = argv[1] + 9;
            argv += 1;
            argc -= 1;
        } else {
            std::fprintf(stderr, "orvanectl: --folder needs a folder\n");
            return kExitUsage;
        }
        SetProgramFolder(orvane::platform::AbsolutePath(value));
        argv[0] = const_cast<char*>("orvanectl");
    }
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (IsHelpFlag(argv[1]) || std::strcmp(argv[1], "help") == 0) {
        if (argc < 3 || std::strcmp(argv[1], "help") != 0) {
            PrintUsage(stdout);
            return kExitOk;
        }
        const Command* c = FindCommand(argv[2]);
        if (!c) return UnknownCommand(argv[2]);
        c->printHelp(stdout);
        return kExitOk;
    }
    const Command* c = FindCommand(argv[1]);
    if (!c) return UnknownCommand(argv[1]);

    StderrLog log;
    orvane::SetLogSink(&log);
    int status = c->run(argc - 1, argv + 1);
    orvane::SetLogSink(nullptr);
    return status;
}
