#pragma once
// Crash dumps: a fatal signal in any thread writes "<folder>/<pid>-<YYYY-MM-DD HHMMSS >.dmp"
// (signal, fault address, registers, backtrace, memory map) and ends the process at once,
// without a core dump. When the file cannot be created the system's default handling runs.
#include <string>

namespace orvane::platform {

void InstallCrashHandler();
// The folder dumps go to (the module folder); may be set after installation.
void SetCrashDumpFolder(const std::string& folder);

// Names dumps "<prefix>-<YYYY-MM-DD HHMMSS >.dmp" instead of using the process id (the service).
void SetCrashDumpPrefix(const std::string& prefix);

// Re-reads the local time offset the handler uses (call now and then: daylight saving).
void RefreshCrashDumpClock();

// The dump file name for a process id and local time (for tests and diagnostics).
std::string CrashDumpName(unsigned pid, int year, int month, int day, int hour, int minute, int second);
std::string CrashDumpName(const std::string& prefix, int year, int month, int day, int hour, int minute, int second);

}  // namespace orvane::platform
