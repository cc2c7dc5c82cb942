#pragma once
// The watch copy's surroundings on Linux: the program folder under the user's local application
// data, the copy of the program, the processes running it, and the autostart entry that stands
// in for the "Orvane_RUN" Run value.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

inline constexpr char kWatchCopyName[] = "Pemrose";
inline constexpr char kRunValueName[] = "Orvane_RUN";

// $XDG_DATA_HOME (when absolute), else ~/.local/share; false when there is no home folder.
bool LocalAppDataFolder(std::string& folder);
// $XDG_CONFIG_HOME/autostart (when absolute), else ~/.config/autostart.
bool AutostartFolder(std::string& folder);

// Creates the folder (and missing parents); true when it exists afterwards.
bool EnsureFolder(const std::string& folder, int& err);

// Copies an executable to `target` through a temporary file beside it, so a running copy is
// never written into. With `failIfExists` the copy fails (EEXIST) when `target` exists by then;
// otherwise it replaces it.
bool CopyProgram(const std::string& source, const std::string& target, bool failIfExists, int& err);

// An Exec line of a desktop entry that runs `program` with `args`: each argument quoted when it
// needs it, "%" doubled, backslashes escaped. The argument part (everything after the program)
// is what identifies an installation.
std::string ExecArguments(const std::vector<std::string>& args);
std::string ExecCommand(const std::string& program, const std::vector<std::string>& args);

// Writes "<folder>/Orvane_RUN.desktop" with Exec = `command` (atomically, mode 0600: the command
// holds the share key). Logs "Create reg key failed!" / "Set reg key value failed!"; 1 or 0.
int WriteRunValue(const std::string& autostartFolder, const std::string& command);
// Reads the Exec value of that entry. Logs "Open reg key failed!" / "Query value failed!"; 1 or 0.
int ReadRunValue(const std::string& autostartFolder, std::string& command);
// Removes that entry when there is one.
void RemoveRunValue(const std::string& autostartFolder);

// One watch copy per user: a lock file in the program folder, held for the life of the process
// (the kernel lets go of it when the process ends, however it ends). Waits up to `waitMs` for an
// ending copy to let go; -1 when another copy holds it, else the descriptor to keep open.
int AcquireWatchLock(const std::string& programFolder, unsigned waitMs);

// Stopping and starting watch copies; tests replace it.
class WatchControl {
public:
    virtual ~WatchControl() = default;
    // Terminates every process of this user whose executable is named "Pemrose"; 1, or 0 when the
    // process list cannot be read.
    virtual int StopWatchCopies() = 0;
    // Starts `program` with `args` detached (own session, no inherited descriptors, standard
    // streams on /dev/null) without waiting for it; false with the system error.
    virtual bool StartWatchCommand(const std::string& program, const std::vector<std::string>& args, int& err) = 0;
    // Runs `body` as a watch copy named "Pemrose" in a detached fork of this process (own
    // session, no inherited descriptors, standard streams on /dev/null) without waiting for it:
    // no program is executed, so the copy keeps this process's memory protection and key, and
    // runs no file its user could have replaced. False with the system error.
    virtual bool StartWatchProcess(const std::function<void()>& body, int& err) = 0;
    // True when a watch copy of this user runs.
    virtual bool WatchCopyRunning() = 0;
};

class SystemWatchControl final : public WatchControl {
public:
    int StopWatchCopies() override;
    bool StartWatchCommand(const std::string& program, const std::vector<std::string>& args, int& err) override;
    bool StartWatchProcess(const std::function<void()>& body, int& err) override;
    bool WatchCopyRunning() override;
};

// The ids of this user's processes (real user id) whose executable file or command name is
// `imageName` (a replaced file's " (deleted)" mark ignored), the calling process excluded. The
// command name finds watch copies that are forks of the reporter, and undumpable processes, which
// hide their executable link from their own user. Fails when /proc cannot be read.
enum class ProcessScan { Ok, NoSnapshot, NoFirstEntry };
ProcessScan FindUserProcesses(std::string_view imageName, std::vector<int>& pids, int& err);

}  // namespace orvane
