#pragma once
// Time and sleeping that decide behaviour go through this interface so tests can drive them.
#include <cstdint>

namespace orvane::platform {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00 UTC.
    virtual std::int64_t Now() = 0;
    // The local calendar time of Now(); false when it cannot be converted.
    virtual bool LocalNow(LocalTime& out) = 0;
    virtual void SleepMs(unsigned ms) = 0;
};

// The process-wide clock; the system clock unless a test installed another.
Clock& GetClock();
// Installs a clock (nullptr restores the system clock). Not for use while threads run.
void SetClock(Clock* clock);

// The local calendar fields of a UTC instant; false when it cannot be converted.
bool ToLocalTime(std::int64_t utcSeconds, LocalTime& out);
// Calendar fields read as if they were UTC: the "local time as a file time" count of seconds.
std::int64_t CalendarSeconds(const LocalTime& t);

}  // namespace orvane::platform
