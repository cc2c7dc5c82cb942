#include "worker/startup/clean_overdue_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/clock.h"
#include "platform/crash_handler.h"
#include "platform/process.h"

namespace orvane {
namespace {

// Creation time where the file system records one, else the last modification.
bool CreationTime(int dirFd, const char* name, std::int64_t& seconds, bool& isDir) {
    struct statx sx {};
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_BTIME | STATX_MTIME, &sx) != 0) return false;
    isDir = S_ISDIR(sx.stx_mode);
    seconds = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
    return true;
}

// Seconds since 1970 of an instant's local calendar fields, as a file time would count them.
bool LocalCalendarSeconds(std::int64_t utc, std::int64_t& out) {
    platform::LocalTime t;
    if (!platform::ToLocalTime(utc, t)) return false;
    out = platform::CalendarSeconds(t);
    return true;
}

}  // namespace

std::string OverdueLogFolder() { return platform::JoinPath(platform::ProgramFilesFolder(), "Orvane/Orvane/log"); }

int CleanOverdueLogPass(const std::string& folder) {
    platform::LocalTime nowLocal;
    if (!platform::GetClock().LocalNow(nowLocal)) return 0;
    const std::int64_t now = platform::CalendarSeconds(nowLocal);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return 0;
    int deleted = 0;
    const int dirFd = ::dirfd(dir.get());
    while (dirent* e = ::readdir(dir.get())) {
        std::int64_t created = 0, createdLocal = 0;
        bool isDir = false;
        if (!CreationTime(dirFd, e->d_name, created, isDir) || isDir) continue;
        if (!LocalCalendarSeconds(created, createdLocal)) continue;
        const std::int64_t age = now - createdLocal;
        if (age >= kOverdueLogAge && ::unlinkat(dirFd, e->d_name, 0) == 0) ++deleted;
    }
    return deleted;
}

void CleanOverdueLog(const std::atomic<bool>* stop) {
    const std::string folder = OverdueLogFolder();
    while (!stop || !stop->load()) {
        platform::LocalTime t;
        if (platform::GetClock().LocalNow(t) && t.hour % 2 == 0) CleanOverdueLogPass(folder);
        platform::RefreshCrashDumpClock();
        platform::GetClock().SleepMs(60000);
    }
}

}  // namespace orvane
