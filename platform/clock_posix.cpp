#include "platform/clock.h"

#include <ctime>
#include <thread>
#include <chrono>

namespace orvane::platform {
namespace {

class SystemClock final : public Clock {
public:
    std::int64_t Now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    bool LocalNow(LocalTime& out) override { return ToLocalTime(Now(), out); }
    void SleepMs(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

SystemClock g_systemClock;
Clock* g_clock = &g_systemClock;

}  // namespace

Clock& GetClock() { return *g_clock; }

void SetClock(Clock* clock) { g_clock = clock ? clock : &g_systemClock; }

bool ToLocalTime(std::int64_t utcSeconds, LocalTime& out) {
    std::time_t t = static_cast<std::time_t>(utcSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return false;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    return true;
}

std::int64_t CalendarSeconds(const LocalTime& t) {
    // Days from civil (proleptic Gregorian), independent of the time zone.
    int y = t.year - (t.month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const int mp = (t.month + 9) % 12;
    const unsigned doy = static_cast<unsigned>((153 * mp + 2) / 5 + t.day - 1);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace orvane::platform
