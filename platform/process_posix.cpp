#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

extern char** environ;

namespace orvane::platform {

ModulePathResult GetModulePath(std::string& path, std::size_t capacity, int& err) {
    err = 0;
    std::vector<char> buf(capacity + 1);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
        err = errno;
        return ModulePathResult::Failed;
    }
    if (static_cast<std::size_t>(n) >= capacity) {
        err = ENAMETOOLONG;
        return ModulePathResult::Truncated;
    }
    path.assign(buf.data(), static_cast<std::size_t>(n));
    return ModulePathResult::Ok;
}

std::string FolderOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string ProgramFilesFolder() {
    // Tests point the overdue-log clean-up elsewhere without touching /opt.
    if (const char* p = std::getenv("ORVANE_PROGRAM_FILES"); p && *p) return p;
    return "/opt";
}

unsigned CurrentProcessId() { return static_cast<unsigned>(::getpid()); }

namespace {

std::string g_callerFolder;

std::string CurrentFolder() {
    std::string cwd(PATH_MAX, '\0');
    if (!::getcwd(cwd.data(), cwd.size())) return {};
    cwd.resize(std::strlen(cwd.c_str()));
    return cwd;
}

}  // namespace

bool LeaveCallerFolder() {
    if (g_callerFolder.empty()) g_callerFolder = CurrentFolder();
    return ::chdir("/") == 0;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    const std::string base = g_callerFolder.empty() ? CurrentFolder() : g_callerFolder;
    if (base.empty()) return path;
    if (path.empty() || path == ".") return base;
    return JoinPath(base, path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

std::string CrashDumpFolderOf(const std::string& programFolder) {
    if (::access(programFolder.c_str(), W_OK) == 0) return programFolder;
    return JoinPath(programFolder, "log");
}

}  // namespace orvane::platform

// ---------------------------------------------------------------------------------------------
// Processes.

namespace orvane::platform {
namespace {

// The child's environment: ours, without the notification socket of our service manager, so a
// worker never speaks for the service.
std::vector<std::string> ChildEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) == 0) continue;
        env.emplace_back(*e);
    }
    return env;
}

std::string CommandNameOf(const char* pidText) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/comm", pidText);
    char buf[64] = {};
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return {};
    std::string name(buf, static_cast<std::size_t>(n));
    if (name.back() == '\n') name.pop_back();
    return name;
}

std::string ImageNameOf(const char* pidText) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%s/exe", pidText);
    char buf[4096];
    ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    // Another user's process, without the ptrace capability the service does not keep: the
    // name the kernel took from its executable (cut to 15 bytes).
    if (n <= 0) return errno == EACCES ? CommandNameOf(pidText) : std::string();
    std::string path(buf, static_cast<std::size_t>(n));
    // A replaced or deleted executable keeps its name.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        path.resize(path.size() - kDeleted.size());
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class SystemProcessControl final : public ProcessControl {
public:
    bool Spawn(const std::vector<std::string>& argv, int& pid, int& err) override {
        err = 0;
        if (argv.empty()) {
            err = EINVAL;
            return false;
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const std::vector<std::string> envText = ChildEnvironment();
        std::vector<char*> env;
        for (const auto& e : envText) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);

        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t child = 0;
        int rc = ::posix_spawn(&child, args[0], nullptr, &attr, args.data(), env.data());
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            err = rc;
            return false;
        }
        pid = child;
        return true;
    }

    bool HasEnded(int pid) override {
        if (pid <= 0) return true;
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        // ECHILD: not (or no longer) ours, so not running for us either.
        return r == pid || (r < 0 && errno == ECHILD);
    }

    bool TerminateChild(int pid, int& err) override {
        err = 0;
        if (pid <= 0) return true;
        if (::kill(pid, SIGKILL) != 0 && errno != ESRCH) {
            err = errno;
            return false;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return true;
    }

    bool ListProcesses(std::vector<ProcessEntry>& out, int& err) override {
        err = 0;
        out.clear();
        DIR* d = ::opendir("/proc");
        if (!d) {
            err = errno;
            return false;
        }
        const int self = ::getpid();
        while (dirent* e = ::readdir(d)) {
            const char* name = e->d_name;
            if (*name < '1' || *name > '9') continue;
            char* end = nullptr;
            long pid = std::strtol(name, &end, 10);
            if (*end != '\0' || pid == self) continue;
            std::string image = ImageNameOf(name);
            // Kernel threads and processes that ended meanwhile have no executable.
            if (image.empty()) continue;
            out.push_back({static_cast<int>(pid), std::move(image)});
        }
        ::closedir(d);
        return true;
    }

    bool Kill(int pid, int& err) override {
        err = 0;
        if (::kill(pid, SIGKILL) == 0) return true;
        err = errno;
        return false;
    }
};

}  // namespace

ProcessControl& SystemProcesses() {
    static SystemProcessControl control;
    return control;
}

}  // namespace orvane::platform
