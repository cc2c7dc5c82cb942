#pragma once
// The diagnostic log. Every program installs one log object at start (the worker's batching
// log, or the fixed-file log of the service and the console); LogInfo and LogError write
// through it. Each message text carries its own "[INF]"/"[ERR]" prefix; the operation used
// decides whether it is written (LogInfo below level 2, LogError below level 4).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orvane {

enum class LogSeverity { Info, Error };

class LogSink {
public:
    virtual ~LogSink() = default;
    // A formatted message (no time stamp, no line end), already cut to the sink's limit.
    virtual void Write(LogSeverity severity, std::string_view message) = 0;
    virtual void RequestFlush() {}
    // Writes every pending line now.
    virtual void Flush() {}
    // False when a message of this severity would be dropped (spares formatting it).
    virtual bool Wants(LogSeverity) const { return true; }
    // Longest message in UTF-16 units (8191 for the worker, 4095 for the fixed-file logs).
    virtual std::size_t MessageLimit() const { return 8191; }
};

// Installs the process's log (nullptr: messages are dropped). Returns the previous one.
LogSink* SetLogSink(LogSink* sink);

void LogInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The next logged line flushes everything pending at once.
void RequestLogFlush();
// Writes everything pending now, in one write (nothing when nothing waits).
void FlushLog();

// "error 0x%X: %s" with the system's text for the code, at most 259 characters.
std::string FormatSystemError(long code);

// True when the level lets a message of this severity through.
inline bool LevelAllows(int level, LogSeverity severity) {
    return severity == LogSeverity::Info ? level < 2 : level < 4;
}

// The worker's log: "<folder>/log/LOG<server>_<pid>_<time>_<index>.txt", UTF-16LE with FF FE,
// lines batched in log-query mode, serialised across worker processes by "Log RoVezerar".
// Files are new (never one already there) and 0640.
class WorkerLog final : public LogSink {
public:
    WorkerLog(std::string moduleFolder, std::string serverArgument);
    ~WorkerLog() override;

    void SetLevel(int level);
    // Client-report mode (and the time before the configuration is read) flushes every line.
    void SetImmediateFlush(bool immediate);

    void Write(LogSeverity severity, std::string_view message) override;
    void RequestFlush() override;
    void Flush() override;
    bool Wants(LogSeverity severity) const override;

    // Path of the file being written, empty before the first line (tests, diagnostics).
    std::string CurrentPath() const;
    // Rotation limit in bytes; tests lower it.
    void SetSizeLimit(std::uint64_t bytes);
    // Cap on the whole log folder, kept at every new file (kDefaultLogFolderLimit).
    void SetFolderLimit(std::uint64_t bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The log folder of years of unattended running stays within this many bytes, plus the files
// being written (at most one roll size each).
inline constexpr std::uint64_t kDefaultLogFolderLimit = 200ull * 1024 * 1024;

// Removes the oldest worker log files (by modification) until the folder's regular files total
// at most `limit` bytes. Never `current` nor the last file of a running worker; the service's
// and the console's fixed files are counted but kept. Returns the number removed.
int TrimLogFolder(const std::string& folder, std::uint64_t limit, const std::string& current);

// The service's and the console's log: one fixed file, truncated at the first line of a run,
// every line flushed at once, started over at the size limit; lock "Log Orvane Agent".
class FixedFileLog final : public LogSink {
public:
    explicit FixedFileLog(std::string path);
    ~FixedFileLog() override;

    void SetLevel(int level);
    void Write(LogSeverity severity, std::string_view message) override;
    std::size_t MessageLimit() const override { return 4095; }
    void SetSizeLimit(std::uint64_t bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Captures messages in memory (tests, and tools that print what they would log).
class MemoryLog final : public LogSink {
public:
    MemoryLog();
    ~MemoryLog() override;
    void Write(LogSeverity severity, std::string_view message) override;
    std::string Text() const;  // every message followed by "\n"
    bool Contains(std::string_view message) const;
    void Clear();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
