#include "common/state_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace orvane {
namespace {

constexpr char kDefaultStateFolder[] = "/var/lib/orvane";
constexpr std::string_view kPrefix = "state-";
constexpr std::string_view kSuffixes[] = {".db", ".db-wal", ".db-shm"};

bool EndsWith(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// The names in `folder` that belong to a store (not a set-aside one).
std::vector<std::string> StoreNames(const std::string& folder) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view name = e->d_name;
        if (name.substr(0, kPrefix.size()) != kPrefix) continue;
        for (std::string_view suffix : kSuffixes)
            if (EndsWith(name, suffix)) names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string StateFolder() {
    const char* env = std::getenv("ORVANE_STATE_DIR");
    return env && *env ? std::string(env) : std::string(kDefaultStateFolder);
}

std::string StateFileName(std::string_view serverArgument) {
    if (serverArgument.empty() || serverArgument == ".") return "state-reports.db";
    std::string name = "state-dc-";
    for (char c : serverArgument) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == ':';
        name.push_back(plain ? c : '_');
    }
    return name + ".db";
}

std::vector<StateFileInfo> ListStateFiles(const std::string& folder) {
    std::vector<StateFileInfo> out;
    for (const std::string& name : StoreNames(folder)) {
        if (!EndsWith(name, ".db")) continue;
        StateFileInfo info;
        info.name = name;
        for (const std::string& part : {name, name + "-wal"}) {
            struct stat st {};
            if (::lstat((folder + "/" + part).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            info.bytes += static_cast<std::uint64_t>(st.st_size);
            info.lastWrite = std::max<std::int64_t>(info.lastWrite, st.st_mtime);
        }
        out.push_back(info);
    }
    return out;
}

bool RemoveStateFiles(const std::string& folder, std::size_t& removed) {
    removed = 0;
    for (const std::string& name : StoreNames(folder)) {
        if (::unlink((folder + "/" + name).c_str()) != 0 && errno != ENOENT) return false;
        if (EndsWith(name, ".db")) ++removed;
    }
    return true;
}

}  // namespace orvane
