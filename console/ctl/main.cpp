// orvanectl: administration of Orvane from a shell.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/log.h"
#include "console/ctl/commands.h"
#include "console/ctl/stderr_log.h"

namespace orvane::ctl {
namespace {

constexpr Command kCommands[] = {
    {"protect", "read a secret from standard input and print its protected text", PrintProtectHelp, RunProtect},
};

const Command* FindCommand(const char* name) {
    for (const Command& c : kCommands)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvanectl <command> [options]\n"
                 "       orvanectl help [<command>]\n"
                 "\n"
                 "Administers the Orvane single sign-on agent from a shell.\n"
                 "\n"
                 "Commands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "  %-10s %s\n"
                 "\n"
                 "Exit status: 0 success, 1 the command failed, 2 usage error.\n",
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
