#include "platform/process.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

}  // namespace orvane::platform
