#include "reporter/reporter_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/text.h"

namespace orvane {

std::string ReporterLogName(unsigned kind, const platform::LocalTime& t, unsigned pid) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    char name[128];
    std::snprintf(name, sizeof name, kind == 0 ? "LOG_LOGON_%s_%u.txt" : "LOG_LOGOFF_%s_%u.txt", stamp, pid);
    return name;
}

ReporterLog::ReporterLog(const std::string& path) {
    // Shared with other readers and writers: nothing is locked, lines are appended whole.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

ReporterLog::~ReporterLog() {
    if (fd_ >= 0) ::close(fd_);
}

void ReporterLog::Write(LogSeverity, std::string_view message) {
    if (fd_ < 0) return;
    // Shared helpers (the version query) carry a level prefix the reporter's messages do not have.
    for (std::string_view prefix : {"[ERR]", "[INF]"}) {
        if (message.substr(0, prefix.size()) == prefix) {
            message.remove_prefix(prefix.size());
            break;
        }
    }
    std::string bytes("\xFF\xFE", 2);
    bytes += Utf8ToUtf16LeBytes(message);
    bytes.append("\r\0\n\0", 4);
    // One write per message so that a message is never torn by another writer.
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::fdatasync(fd_);
}

}  // namespace orvane
