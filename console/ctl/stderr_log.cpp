#include "console/ctl/stderr_log.h"

#include <cstdio>

namespace orvane::ctl {

void StderrLog::Write(LogSeverity severity, std::string_view message) {
    // Information lines belong to log files; a terminal user needs the failures.
    if (severity != LogSeverity::Error) return;
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace orvane::ctl
