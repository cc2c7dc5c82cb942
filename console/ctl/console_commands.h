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
std::string CurrentProgramFolder();

// orvanectl users / status / metrics: what the running workers know (status_commands.cpp).
inline constexpr int kExitNoWorker = 6;  // a worker is stopped, unreachable or not answering
void PrintUsersHelp(std::FILE* out);
int RunUsers(int argc, char** argv);
void PrintStatusHelp(std::FILE* out);
int RunStatus(int argc, char** argv);
void PrintMetricsHelp(std::FILE* out);
int RunMetrics(int argc, char** argv);

// orvanectl state: the workers' state stores (state_command.cpp).
void PrintStateHelp(std::FILE* out);
int RunState(int argc, char** argv);
// One line per store: its path, size and last write.
std::string FormatStateFiles();

// orvanectl filter / explain: the lists that decide which logons become identities
// (filter_command.cpp).
void PrintFilterHelp(std::FILE* out);
int RunFilter(int argc, char** argv);
void PrintExplainHelp(std::FILE* out);
int RunExplain(int argc, char** argv);

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
