#include "common/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/named_lock.h"
#include "platform/process.h"

namespace orvane {
namespace {

std::atomic<LogSink*> g_sink{nullptr};

constexpr unsigned kLockWaitMs = 10000;
constexpr std::uint64_t kDefaultSizeLimit = 20971520;
constexpr std::size_t kPendingCapacity = 8192;
constexpr std::size_t kPendingFlushChars = 2048;
constexpr int kFlushThreshold = 10;

void Dispatch(LogSeverity severity, const char* format, va_list args) {
    LogSink* sink = g_sink.load(std::memory_order_acquire);
    if (!sink || !sink->Wants(severity)) return;
    std::string msg = FormatTextV(format, args);
    if (msg.size() >= sink->MessageLimit()) msg = CutToCapacity(msg, sink->MessageLimit() + 1);
    sink->Write(severity, msg);
}

// Appends "[YYYY-MM-DD HH-MM-SS]" of the local time (nothing when it cannot be had), the
// message and "\r\n" to `out` as UTF-16LE bytes. Built before the log lock is taken, so
// the lock covers little more than the write.
void AppendLine(std::string_view message, std::string& out) {
    platform::LocalTime t;
    char stamp[64];
    int n = 0;
    if (platform::GetClock().LocalNow(t)) {
        n = std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d-%02d-%02d]", t.year, t.month, t.day, t.hour,
                          t.minute, t.second);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof stamp) n = 0;
    }
    thread_local std::string utf8;
    utf8.assign(stamp, static_cast<std::size_t>(n));
    utf8 += message;
    utf8 += "\r\n";
    AppendUtf8AsUtf16LeBytes(utf8, out);
}

// Creates (truncating) a log file and writes the byte-order mark; -1 when it cannot.
int CreateLogFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    static const char kBom[2] = {'\xFF', '\xFE'};
    if (!platform::WriteAll(fd, kBom, sizeof kBom)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

LogSink* SetLogSink(LogSink* sink) { return g_sink.exchange(sink, std::memory_order_acq_rel); }

void LogInfo(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Dispatch(LogSeverity::Info, format, args);
    va_end(args);
}

void LogError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Dispatch(LogSeverity::Error, format, args);
    va_end(args);
}

void RequestLogFlush() {
    if (LogSink* sink = g_sink.load(std::memory_order_acquire)) sink->RequestFlush();
}

std::string FormatSystemError(long code) {
    char text[256];
    const char* msg = nullptr;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    msg = strerror_r(static_cast<int>(code), text, sizeof text);
#else
    msg = strerror_r(static_cast<int>(code), text, sizeof text) == 0 ? text : nullptr;
#endif
    if (!msg || !*msg) {
        std::fprintf(stderr, "Format message id %ld fail! ErrorId:%d\n", code, errno);
        msg = "unknown error";
    }
    char buf[300];
    std::snprintf(buf, sizeof buf, "error 0x%lX: %s", static_cast<unsigned long>(code), msg);
    return CutToCapacity(buf, 260);
}

// ---------------------------------------------------------------------------------------------
// The worker's log.

struct WorkerLog::Impl {
    std::string moduleFolder;
    std::string serverArgument;
    platform::NamedLock lock{"Log RoVezerar"};
    std::atomic<int> level{0};
    std::atomic<bool> immediate{true};
    std::uint64_t sizeLimit = kDefaultSizeLimit;

    // Guarded by the named lock.
    int fd = -1;
    unsigned fileIndex = 0;
    std::uint64_t fileBytes = 0;
    std::string path;
    std::string pending;  // UTF-16LE bytes
    int pendingLines = 0;

    bool OpenFile() {
        platform::LocalTime t{};
        platform::GetClock().LocalNow(t);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        // The server argument comes from the command line: it must not lead out of the log folder.
        std::string server = serverArgument;
        for (char& c : server) {
            if (c == '/') c = '_';
        }
        std::string name = "LOG" + server + "_" + std::to_string(platform::CurrentProcessId()) + "_" +
                           stamp + "_" + std::to_string(fileIndex) + ".txt";
        std::string p = platform::JoinPath(platform::JoinPath(moduleFolder, "log"), name);
        fd = CreateLogFile(p);
        if (fd < 0) return false;
        path = p;
        fileBytes = 2;
        return true;
    }

    void Flush() {
        if (!pending.empty() && fd >= 0 && platform::WriteAll(fd, pending.data(), pending.size())) {
            fileBytes += pending.size();
        }
        pending.clear();
        pendingLines = 0;
    }
};

WorkerLog::WorkerLog(std::string moduleFolder, std::string serverArgument) : impl_(std::make_unique<Impl>()) {
    impl_->moduleFolder = std::move(moduleFolder);
    impl_->serverArgument = std::move(serverArgument);
}

WorkerLog::~WorkerLog() {
    if (impl_->lock.Acquire(kLockWaitMs)) {
        impl_->Flush();
        impl_->lock.Release();
    }
    if (impl_->fd >= 0) ::close(impl_->fd);
}

void WorkerLog::SetLevel(int level) { impl_->level = level; }

void WorkerLog::SetImmediateFlush(bool immediate) { impl_->immediate = immediate; }

void WorkerLog::SetSizeLimit(std::uint64_t bytes) { impl_->sizeLimit = bytes; }

std::string WorkerLog::CurrentPath() const { return impl_->path; }

bool WorkerLog::Wants(LogSeverity severity) const { return LevelAllows(impl_->level, severity); }

void WorkerLog::Write(LogSeverity severity, std::string_view message) {
    Impl& d = *impl_;
    if (!LevelAllows(d.level, severity)) return;
    thread_local std::string line;
    line.clear();
    AppendLine(message, line);
    if (!d.lock.Acquire(kLockWaitMs)) return;
    if (d.fd < 0) {
        d.OpenFile();
    } else if (d.fileBytes >= d.sizeLimit) {
        // Pending lines belong to the full file: they go there before it is closed.
        d.Flush();
        ::close(d.fd);
        d.fd = -1;
        ++d.fileIndex;
        d.OpenFile();
    }
    if (d.fd < 0) {
        // No file (log folder missing or not writable): the line is dropped.
        d.pending.clear();
        d.pendingLines = 0;
        d.lock.Release();
        return;
    }
    if (d.immediate && d.pending.empty()) {
        // Nothing waits: the line goes straight to the file without passing the pending text.
        if (platform::WriteAll(d.fd, line.data(), line.size())) d.fileBytes += line.size();
        d.lock.Release();
        return;
    }
    if (d.pending.size() + line.size() > kPendingCapacity * 2) d.Flush();
    d.pending += line;
    ++d.pendingLines;
    if (d.pending.size() / 2 > kPendingFlushChars || d.pendingLines > kFlushThreshold || d.immediate) d.Flush();
    d.lock.Release();
}

void WorkerLog::RequestFlush() {
    if (!impl_->lock.Acquire(kLockWaitMs)) return;
    impl_->pendingLines = kFlushThreshold + 1;
    impl_->lock.Release();
}

// ---------------------------------------------------------------------------------------------
// The service's and the console's fixed-file log.

struct FixedFileLog::Impl {
    std::string path;
    platform::NamedLock lock{"Log Orvane Agent"};
    std::atomic<int> level{0};
    std::uint64_t sizeLimit = kDefaultSizeLimit;
    int fd = -1;
    std::uint64_t fileBytes = 0;

    void Open() {
        fd = CreateLogFile(path);
        fileBytes = fd >= 0 ? 2 : 0;
    }
};

FixedFileLog::FixedFileLog(std::string path) : impl_(std::make_unique<Impl>()) { impl_->path = std::move(path); }

FixedFileLog::~FixedFileLog() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

void FixedFileLog::SetLevel(int level) { impl_->level = level; }

void FixedFileLog::SetSizeLimit(std::uint64_t bytes) { impl_->sizeLimit = bytes; }

void FixedFileLog::Write(LogSeverity severity, std::string_view message) {
    Impl& d = *impl_;
    if (!LevelAllows(d.level, severity)) return;
    if (!d.lock.Acquire(kLockWaitMs)) return;
    if (d.fd >= 0 && d.fileBytes >= d.sizeLimit) {
        ::close(d.fd);
        d.fd = -1;
    }
    if (d.fd < 0) d.Open();
    if (d.fd >= 0) {
        std::string line;
        AppendLine(message, line);
        if (platform::WriteAll(d.fd, line.data(), line.size())) d.fileBytes += line.size();
    }
    d.lock.Release();
}

// ---------------------------------------------------------------------------------------------

struct MemoryLog::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

MemoryLog::MemoryLog() : impl_(std::make_unique<Impl>()) {}
MemoryLog::~MemoryLog() = default;

void MemoryLog::Write(LogSeverity, std::string_view message) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->lines.emplace_back(message);
}

std::string MemoryLog::Text() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    std::string out;
    for (const auto& l : impl_->lines) out += l + "\n";
    return out;
}

bool MemoryLog::Contains(std::string_view message) const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    for (const auto& l : impl_->lines) {
        if (l == message) return true;
    }
    return false;
}

void MemoryLog::Clear() {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->lines.clear();
}

}  // namespace orvane
