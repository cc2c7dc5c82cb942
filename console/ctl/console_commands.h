#pragma once
// The headless console: orvanectl's commands over the console core.
#include <cstdio>
#include <string>

namespace orvane::ctl {

// Exit statuses of the console commands (documented in each --help).
inline constexpr int kExitRefused = 3;       // a value or a request was refused by a check
inline constexpr int kExitLocked = 4;        // settings are locked while the service is not stopped
inline constexpr int kExitServiceFailed = 5; // the service manager failed or refused

// The program folder the commands work on: --folder, else the folder of orvanectl itself.
void SetProgramFolder(const std::string& folder);

void PrintShowHelp(std::FILE* out);
int RunShow(int argc, char** argv);
void PrintSetHelp(std::FILE* out);
int RunSet(int argc, char** argv);
void PrintServerHelp(std::FILE* out);
int RunServer(int argc, char** argv);
void PrintDeviceHelp(std::FILE* out);
int RunDevice(int argc, char** argv);
void PrintServiceHelp(std::FILE* out);
int RunService(int argc, char** argv);
void PrintAutostartHelp(std::FILE* out);
int RunAutostart(int argc, char** argv);

}  // namespace orvane::ctl
