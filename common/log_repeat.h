#pragma once
// Keeps a log line that anyone outside can cause (a garbage datagram, a stranger's answer) from
// filling the disk: the first occurrence is written, later ones within the interval are only
// counted, and the first one after it is written with that count.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace orvane {

class LogRepeatLimiter {
public:
    explicit LogRepeatLimiter(std::int64_t intervalSeconds = 60) : interval_(intervalSeconds) {}

    // True when this occurrence is to be written; `suppressed` is then how many were counted
    // instead since the last written one (0 for none). Uses the process clock.
    bool Allow(std::uint64_t& suppressed);
    // The same at a given time (seconds), for tests.
    bool AllowAt(std::int64_t now, std::uint64_t& suppressed);

    // Lines counted instead of written, by every limiter of the process.
    static std::uint64_t TotalSuppressed() { return total_.load(std::memory_order_relaxed); }

private:
    std::mutex mutex_;
    std::int64_t interval_;
    std::int64_t lastWritten_ = 0;
    bool written_ = false;
    std::uint64_t pending_ = 0;
    static std::atomic<std::uint64_t> total_;
};

// Writes a line through a limiter: the message itself (format and arguments as for LogError),
// preceded by one "[INF]The next message was repeated %llu times in the last %lld seconds ..."
// line when occurrences were counted in between.
#define ORVANE_LOG_LIMITED(limiter, logFunction, ...)                                                   \
    do {                                                                                               \
        std::uint64_t orvaneSuppressed_ = 0;                                                           \
        if ((limiter).Allow(orvaneSuppressed_)) {                                                      \
            if (orvaneSuppressed_ != 0) ::orvane::LogRepeatSummary(orvaneSuppressed_);                 \
            logFunction(__VA_ARGS__);                                                                  \
        }                                                                                              \
    } while (0)

// The count line of ORVANE_LOG_LIMITED.
void LogRepeatSummary(std::uint64_t suppressed);

}  // namespace orvane
