#include "common/log_repeat.h"

#include "common/log.h"
#include "platform/clock.h"

namespace orvane {

std::atomic<std::uint64_t> LogRepeatLimiter::total_{0};

bool LogRepeatLimiter::Allow(std::uint64_t& suppressed) { return AllowAt(platform::GetClock().Now(), suppressed); }

bool LogRepeatLimiter::AllowAt(std::int64_t now, std::uint64_t& suppressed) {
    std::lock_guard<std::mutex> lock(mutex_);
    suppressed = 0;
    // A clock set back counts as the interval having passed rather than silencing the line.
    if (!written_ || now - lastWritten_ >= interval_ || now < lastWritten_) {
        written_ = true;
        lastWritten_ = now;
        suppressed = pending_;
        pending_ = 0;
        return true;
    }
    ++pending_;
    total_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void LogRepeatSummary(std::uint64_t suppressed) {
    LogInfo("[INF]The next message was repeated %llu times since it was last written; those were counted, "
            "not written.",
            static_cast<unsigned long long>(suppressed));
}

}  // namespace orvane
