#pragma once
// The reporter's own log: one file per run in the program folder, named after the kind, the
// local start time and the process id. Every message is written as a UTF-16LE byte-order mark,
// the message and "\r\n", and flushed at once; no time stamp, no level prefix.
#include <string>
#include <string_view>

#include "common/log.h"
#include "platform/clock.h"

namespace orvane {

// "LOG_LOGON_%s_%u.txt" for kind 0, "LOG_LOGOFF_%s_%u.txt" otherwise; the time part is
// "%04d%02d%02d%02d%02d%02d " (with its trailing blank).
std::string ReporterLogName(unsigned kind, const platform::LocalTime& start, unsigned pid);

class ReporterLog final : public LogSink {
public:
    // Opens (creating when missing) the file; when it cannot be opened, messages go nowhere.
    explicit ReporterLog(const std::string& path);
    ~ReporterLog() override;
    ReporterLog(const ReporterLog&) = delete;
    ReporterLog& operator=(const ReporterLog&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Write(LogSeverity severity, std::string_view message) override;
    std::size_t MessageLimit() const override { return 8191; }

private:
    int fd_ = -1;
};

}  // namespace orvane
