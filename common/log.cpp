#include "common/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
constexpr mode_t kLogFileMode = 0640;
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

bool WriteByteOrderMark(int fd) {
    static const char kBom[2] = {'\xFF', '\xFE'};
    if (platform::WriteAll(fd, kBom, sizeof kBom)) return true;
    ::close(fd);
    return false;
}

// Creates a new log file with its byte-order mark; -1 when it cannot (errno EEXIST when the
// name is taken: nothing already there, a planted link least of all, is ever written).
int CreateLogFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kLogFileMode);
    if (fd < 0) return -1;
    return WriteByteOrderMark(fd) ? fd : -1;
}

// Opens a fixed-name log file and empties it: only a plain file of this user's with no other name,
// opened without following a link. Anything else under the name (a link, a second name of
// another file, another user's file) is removed and a new file made in its place.
int RestartLogFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLogFileMode);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1)) {
        ::close(fd);
        fd = -1;
        if (::unlink(path.c_str()) != 0) return -1;
    } else if (fd < 0 && (errno != ELOOP || ::unlink(path.c_str()) != 0)) {
        return -1;
    }
    if (fd < 0) return CreateLogFile(path);
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    // Files of earlier versions were readable by everyone.
    if ((st.st_mode & 07777 & ~kLogFileMode) != 0) ::fchmod(fd, st.st_mode & kLogFileMode);
    return WriteByteOrderMark(fd) ? fd : -1;
}

// A worker's log file "LOG<server>_<pid>_<yyyymmddhhmmss>_<index>.txt": its pid and index.
bool ParseWorkerLogName(std::string_view name, long& pid, unsigned long& index) {
    if (name.size() < 8 || name.substr(0, 3) != "LOG" || name.substr(name.size() - 4) != ".txt") return false;
    name.remove_suffix(4);
    auto lastNumber = [&name](std::string_view& digits) {
        const std::size_t cut = name.rfind('_');
        if (cut == std::string_view::npos) return false;
        digits = name.substr(cut + 1);
        name = name.substr(0, cut);
        return !digits.empty() && digits.size() <= 18 && digits.find_first_not_of("0123456789") == digits.npos;
    };
    std::string_view indexText, stamp, pidText;
    if (!lastNumber(indexText) || !lastNumber(stamp) || stamp.size() != 14 || !lastNumber(pidText)) return false;
    pid = std::strtol(std::string(pidText).c_str(), nullptr, 10);
    index = std::strtoul(std::string(indexText).c_str(), nullptr, 10);
    return pid > 0;
}

bool ProcessRuns(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

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

void FlushLog() {
    if (LogSink* sink = g_sink.load(std::memory_order_acquire)) sink->Flush();
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
    std::atomic<std::uint64_t> folderLimit{kDefaultLogFolderLimit};

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
        // A name already taken (a process of the same id in the same second) moves on to the next index.
        for (int attempt = 0; attempt < 16; ++attempt, ++fileIndex) {
            std::string name = "LOG" + server + "_" + std::to_string(platform::CurrentProcessId()) + "_" + stamp +
                               "_" + std::to_string(fileIndex) + ".txt";
            std::string p = platform::JoinPath(LogFolder(), name);
            fd = CreateLogFile(p);
            if (fd >= 0) {
                path = p;
                fileBytes = 2;
                return true;
            }
            if (errno != EEXIST) break;
        }
        return false;
    }

    std::string LogFolder() const { return platform::JoinPath(moduleFolder, "log"); }

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
    bool newFile = false;
    if (d.fd < 0) {
        newFile = d.OpenFile();
    } else if (d.fileBytes >= d.sizeLimit) {
        // Pending lines belong to the full file: they go there before it is closed.
        d.Flush();
        ::close(d.fd);
        d.fd = -1;
        ++d.fileIndex;
        newFile = d.OpenFile();
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
    } else {
        if (d.pending.size() + line.size() > kPendingCapacity * 2) d.Flush();
        d.pending += line;
        ++d.pendingLines;
        if (d.pending.size() / 2 > kPendingFlushChars || d.pendingLines > kFlushThreshold || d.immediate) d.Flush();
    }
    const std::string current = newFile ? d.path : std::string();
    d.lock.Release();
    // The folder grows only by new files: each is the moment to look at its total.
    if (newFile) TrimLogFolder(d.LogFolder(), d.folderLimit.load(), current);
}

void WorkerLog::SetFolderLimit(std::uint64_t bytes) { impl_->folderLimit = bytes; }

int TrimLogFolder(const std::string& folder, std::uint64_t limit, const std::string& current) {
    struct Candidate {
        std::string name;
        std::int64_t modified;  // ns
        std::uint64_t size;
        long pid;
        unsigned long index;
    };
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return 0;
    const int dirFd = ::dirfd(dir.get());
    const std::string currentName = current.substr(current.find_last_of('/') + 1);
    std::uint64_t total = 0;
    std::vector<Candidate> candidates;
    std::map<long, unsigned long> newest;  // each process's last file is the one it writes
    while (const dirent* e = ::readdir(dir.get())) {
        struct stat st {};
        if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        total += static_cast<std::uint64_t>(st.st_size);
        long pid = 0;
        unsigned long index = 0;
        // Only the workers' files go; the service's and the console's logs keep within their own size.
        if (!ParseWorkerLogName(e->d_name, pid, index) || e->d_name == currentName) continue;
        auto [it, added] = newest.emplace(pid, index);
        if (!added) it->second = std::max(it->second, index);
        const std::int64_t modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        candidates.push_back({e->d_name, modified, static_cast<std::uint64_t>(st.st_size), pid, index});
    }
    if (total <= limit) return 0;
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.modified < b.modified; });
    int removed = 0;
    for (const Candidate& c : candidates) {
        if (total <= limit) break;
        if (c.index == newest[c.pid] && ProcessRuns(c.pid)) continue;  // still being written
        if (::unlinkat(dirFd, c.name.c_str(), 0) == 0) {
            total -= std::min(total, c.size);
            ++removed;
        }
    }
    return removed;
}

void WorkerLog::Flush() {
    if (!impl_->lock.Acquire(kLockWaitMs)) return;
    impl_->Flush();
    impl_->lock.Release();
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
        fd = RestartLogFile(path);
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
