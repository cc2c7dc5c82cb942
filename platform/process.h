#pragma once
// This process: its executable, its id, and the system folders the programs refer to.
#include <string>
#include <vector>

namespace orvane::platform {

enum class ModulePathResult { Ok, Failed, Truncated };

// Full path of the running executable, at most capacity - 1 characters.
ModulePathResult GetModulePath(std::string& path, std::size_t capacity, int& err);

// The folder part of a path (without the trailing separator).
std::string FolderOf(const std::string& path);

// Joins a folder and a name with the path separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The system's folder for installed programs (Program Files on Windows).
std::string ProgramFilesFolder();

unsigned CurrentProcessId();

// Changes to "/" so that nothing in the caller's folder is read later (libldap reads ./ldaprc,
// for one). Every program calls it at start; AbsolutePath still knows the caller's folder.
bool LeaveCallerFolder();

// `path` (a command-line argument, say) made absolute against the folder the program was started
// in ("." gives that folder itself); unchanged when it is absolute already or that folder cannot
// be read.
std::string AbsolutePath(const std::string& path);

// Where crash dumps go: the program folder when it can be written, else its log folder (the
// service's sandbox leaves only log/ and run/ writable).
std::string CrashDumpFolderOf(const std::string& programFolder);

// A process on the machine: its id and its image name (the executable's file name).
struct ProcessEntry {
    int pid = 0;
    std::string imageName;
};

// Starting, watching and ending processes (CreateProcessW, GetExitCodeProcess, TerminateProcess
// and Tool Help snapshots). Supervision code takes this interface so tests can fake it.
class ProcessControl {
public:
    virtual ~ProcessControl() = default;
    // Starts argv[0] with argv, this process's environment (less what only a service manager
    // hands its own service) and current folder, default signal handling and an empty signal
    // mask. False with the system error in err.
    virtual bool Spawn(const std::vector<std::string>& argv, int& pid, int& err) = 0;
    // True when the child has ended (it is then reaped: no zombie is left).
    virtual bool HasEnded(int pid) = 0;
    // Ends a child of ours at once and reaps it.
    virtual bool TerminateChild(int pid, int& err) = 0;
    // Every process of the machine (of this PID namespace) except this one; false with err
    // when the list cannot be read.
    virtual bool ListProcesses(std::vector<ProcessEntry>& out, int& err) = 0;
    // Ends any process at once (not reaped: it need not be ours). False with err.
    virtual bool Kill(int pid, int& err) = 0;
};

// The operating system's processes.
ProcessControl& SystemProcesses();

}  // namespace orvane::platform
