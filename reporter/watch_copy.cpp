#include "reporter/watch_copy.h"

#include <dirent.h>
#include <sys/file.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvane {

namespace {

std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h == '/') return h;
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/') return pw->pw_dir;
    return {};
}

// An XDG base folder: the variable when it holds an absolute path, else `fallback` under home.
bool XdgFolder(const char* variable, const char* fallback, std::string& folder) {
    if (const char* v = std::getenv(variable); v && *v == '/') {
        folder = v;
        return true;
    }
    std::string home = HomeFolder();
    if (home.empty()) return false;
    folder = platform::JoinPath(home, fallback);
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t len, int& err) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string TempNameBeside(const std::string& target) {
    return target + ".new-" + std::to_string(::getpid());
}

// Characters that make an Exec argument need quotes (desktop entry rules).
bool NeedsQuotes(std::string_view arg) {
    if (arg.empty()) return true;
    return arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

void AppendExecArgument(std::string& out, std::string_view arg) {
    // First the Exec quoting, then the string escaping of desktop-entry values.
    std::string quoted;
    if (NeedsQuotes(arg)) {
        quoted += '"';
        for (char c : arg) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        quoted += '"';
    } else {
        quoted.assign(arg);
    }
    for (char c : quoted) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '%') {
            out += "%%";
        } else {
            out += c;
        }
    }
}

constexpr char kEntryName[] = "Orvane_RUN.desktop";

// The command name and the real user id from /proc/<pid>/status, which stays readable for
// processes that hide everything else.
bool ReadStatusNameAndUid(const std::string& path, std::string& name, uid_t& uid) {
    std::ifstream in(path);
    std::string line;
    bool haveName = false, haveUid = false;
    while ((!haveName || !haveUid) && std::getline(in, line)) {
        if (line.rfind("Name:", 0) == 0) {
            std::size_t start = line.find_first_not_of(" \t", 5);
            name = start == std::string::npos ? std::string() : line.substr(start);
            haveName = true;
        } else if (line.rfind("Uid:", 0) == 0) {
            char* end = nullptr;
            unsigned long value = std::strtoul(line.c_str() + 4, &end, 10);
            haveUid = end != line.c_str() + 4;
            uid = static_cast<uid_t>(value);
        }
    }
    return haveName && haveUid;
}

}  // namespace

bool LocalAppDataFolder(std::string& folder) { return XdgFolder("XDG_DATA_HOME", ".local/share", folder); }

bool AutostartFolder(std::string& folder) {
    std::string config;
    if (!XdgFolder("XDG_CONFIG_HOME", ".config", config)) return false;
    folder = platform::JoinPath(config, "autostart");
    return true;
}

bool EnsureFolder(const std::string& folder, int& err) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        err = ENOTDIR;
        return false;
    }
    std::string parent = platform::FolderOf(folder);
    if (parent != folder && parent != "/" && parent != "." && !EnsureFolder(parent, err)) return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        err = errno;
        return false;
    }
    return true;
}

bool CopyProgram(const std::string& source, const std::string& target, bool failIfExists, int& err) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        err = errno;
        return false;
    }
    std::string temp = TempNameBeside(target);
    ::unlink(temp.c_str());
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (out < 0) {
        err = errno;
        ::close(in);
        return false;
    }
    bool ok = true;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!WriteAll(out, buf, static_cast<std::size_t>(n), err)) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (ok) {
        // link() refuses an existing name; rename() replaces it atomically, even while it runs.
        int rc = failIfExists ? ::link(temp.c_str(), target.c_str()) : ::rename(temp.c_str(), target.c_str());
        if (rc != 0) {
            err = errno;
            ok = false;
        }
    }
    ::unlink(temp.c_str());
    return ok;
}

std::string ExecArguments(const std::vector<std::string>& args) {
    std::string out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i) out += ' ';
        AppendExecArgument(out, args[i]);
    }
    return out;
}

std::string ExecCommand(const std::string& program, const std::vector<std::string>& args) {
    std::string out;
    AppendExecArgument(out, program);
    out += ' ';
    out += ExecArguments(args);
    return out;
}

int WriteRunValue(const std::string& autostartFolder, const std::string& command) {
    int err = 0;
    if (!EnsureFolder(autostartFolder, err)) {
        LogError("Create reg key failed!");
        return 0;
    }
    std::string path = platform::JoinPath(autostartFolder, kEntryName);
    std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Orvane_RUN\n"
        "Comment=Orvane logon reporter: reports the user's logon and every change of the PC's addresses\n"
        "Exec=" + command + "\n"
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n";
    std::string temp = TempNameBeside(path);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && WriteAll(fd, text.data(), text.size(), err);
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        LogError("Set reg key value failed!");
        return 0;
    }
    return 1;
}

int ReadRunValue(const std::string& autostartFolder, std::string& command) {
    std::ifstream in(platform::JoinPath(autostartFolder, kEntryName), std::ios::binary);
    if (!in) {
        LogError("Open reg key failed!");
        return 0;
    }
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (inEntry && line.rfind("Exec=", 0) == 0) {
            command = line.substr(5);
            return 1;
        }
    }
    LogError("Query value failed!");
    return 0;
}

void RemoveRunValue(const std::string& autostartFolder) {
    ::unlink(platform::JoinPath(autostartFolder, kEntryName).c_str());
}

int AcquireWatchLock(const std::string& programFolder, unsigned waitMs) {
    const std::string path = platform::JoinPath(programFolder, std::string(kWatchCopyName) + ".lock");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    for (unsigned waited = 0;; waited += 100) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (waited >= waitMs) break;
        platform::GetClock().SleepMs(100);
    }
    ::close(fd);
    return -1;
}

ProcessScan FindUserProcesses(std::string_view imageName, std::vector<int>& pids, int& err) {
    pids.clear();
    DIR* dir = ::opendir("/proc");
    if (!dir) {
        err = errno;
        return ProcessScan::NoSnapshot;
    }
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (!entry) {
        err = errno ? errno : ENOENT;
        ::closedir(dir);
        return ProcessScan::NoFirstEntry;
    }
    const uid_t me = ::getuid();
    const int self = ::getpid();
    for (; entry; entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        char* end = nullptr;
        long pid = std::strtol(name, &end, 10);
        if (*name < '1' || *name > '9' || *end != '\0' || pid == self) continue;
        std::string base = std::string("/proc/") + name;
        std::string command;
        uid_t owner = 0;
        if (!ReadStatusNameAndUid(base + "/status", command, owner) || owner != me) continue;
        char link[4096];
        ssize_t n = ::readlink((base + "/exe").c_str(), link, sizeof link - 1);
        std::string_view exe = n > 0 ? std::string_view(link, static_cast<std::size_t>(n)) : std::string_view();
        // A program file replaced while it runs shows with this mark.
        constexpr std::string_view kDeleted = " (deleted)";
        if (exe.size() > kDeleted.size() && exe.substr(exe.size() - kDeleted.size()) == kDeleted) {
            exe.remove_suffix(kDeleted.size());
        }
        std::size_t slash = exe.rfind('/');
        if (slash != std::string_view::npos) exe.remove_prefix(slash + 1);
        if (exe == imageName || command == imageName) pids.push_back(static_cast<int>(pid));
    }
    ::closedir(dir);
    return ProcessScan::Ok;
}

int SystemWatchControl::StopWatchCopies() {
    std::vector<int> pids;
    int err = 0;
    switch (FindUserProcesses(kWatchCopyName, pids, err)) {
        case ProcessScan::Ok:
            break;
        case ProcessScan::NoSnapshot:
            LogError("Create process snapshot failed! errorcode:%d\n", err);
            return 0;
        case ProcessScan::NoFirstEntry:
            LogError("Get first process failed! errorcode:%d\n", err);
            return 0;
    }
    for (int pid : pids) {
        if (::kill(pid, SIGKILL) == 0) {
            LogInfo("stop .....pemrose.exe\n");
        } else if (errno != ESRCH) {
            LogError("Open %s process handle failed! errorcode:%d\n", kWatchCopyName, errno);
        }
    }
    return 1;
}

bool SystemWatchControl::WatchCopyRunning() {
    std::vector<int> pids;
    int err = 0;
    return FindUserProcesses(kWatchCopyName, pids, err) == ProcessScan::Ok && !pids.empty();
}

bool SystemWatchControl::StartWatchCommand(const std::string& program, const std::vector<std::string>& args,
                                           int& err) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        err = errno;
        return false;
    }
    pid_t child = ::fork();
    if (child < 0) {
        err = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        // Own session, then a second fork so the watch copy is nobody's child here and never
        // gets a controlling terminal.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild < 0) {
            int e = errno;
            (void)!::write(pipeFds[1], &e, sizeof e);
            ::_exit(1);
        }
        if (grandchild > 0) ::_exit(0);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        // No handle of the reporter is inherited: everything but the standard streams and the
        // close-on-exec report pipe goes.
        int keep = pipeFds[1];
        ::close_range(3, static_cast<unsigned>(keep - 1), 0);
        ::close_range(static_cast<unsigned>(keep + 1), ~0U, 0);
        ::execv(program.c_str(), argv.data());
        int e = errno;
        (void)!::write(keep, &e, sizeof e);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(pipeFds[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (n == static_cast<ssize_t>(sizeof childErr)) {
        err = childErr;
        return false;
    }
    return true;
}

}  // namespace orvane

namespace orvane {

bool SystemWatchControl::StartWatchProcess(const std::function<void()>& body, int& err) {
    pid_t child = ::fork();
    if (child < 0) {
        err = errno;
        return false;
    }
    if (child == 0) {
        // As StartWatchCommand: own session, then a second fork so the copy is nobody's child
        // here and never gets a controlling terminal.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::close_range(3, ~0U, 0);
        ::prctl(PR_SET_NAME, kWatchCopyName, 0, 0, 0);
        body();
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        err = EAGAIN;  // the second fork failed
        return false;
    }
    return true;
}

}  // namespace orvane
