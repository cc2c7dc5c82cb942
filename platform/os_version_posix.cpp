#include "platform/os_version.h"

#include <atomic>

namespace orvane::platform {
namespace {

// Tests may switch the value while other threads read it.
std::atomic<bool> g_hasOverride{false};
std::atomic<int> g_override{0};
std::atomic<bool> g_fails{false};

}  // namespace

bool GetOsVersionValue(int& value) {
    if (g_fails.load(std::memory_order_acquire)) return false;
    value = g_hasOverride.load(std::memory_order_acquire) ? g_override.load(std::memory_order_acquire)
                                                          : kOsVersionValue;
    return true;
}

void SetOsVersionValueForTest(std::optional<int> value) {
    if (value) g_override.store(*value, std::memory_order_release);
    g_hasOverride.store(value.has_value(), std::memory_order_release);
}

void SetOsVersionFailsForTest(bool fails) { g_fails.store(fails, std::memory_order_release); }

}  // namespace orvane::platform
