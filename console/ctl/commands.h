#pragma once
// orvanectl's commands: each has a name, a one-line summary, its help and its entry point.
#include <cstdio>

namespace orvane::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Command {
    const char* name;
    const char* summary;
    void (*printHelp)(std::FILE* out);
    // argv[0] is the command's name; returns the exit status.
    int (*run)(int argc, char** argv);
};

void PrintProtectHelp(std::FILE* out);
int RunProtect(int argc, char** argv);

}  // namespace orvane::ctl
