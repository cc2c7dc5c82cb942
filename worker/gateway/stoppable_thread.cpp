#include "worker/gateway/stoppable_thread.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/clock.h"

namespace orvane {

bool StoppableThread::Start(std::function<void(const std::atomic<bool>&)> body, int& err) {
    if (thread_.joinable()) {
        err = EBUSY;
        return false;
    }
    stop_ = false;
    try {
        thread_ = std::thread([this, body = std::move(body)] { body(stop_); });
    } catch (const std::system_error& e) {
        err = e.code().value();
        return false;
    }
    return true;
}

void StoppableThread::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool SleepUnlessStopped(unsigned ms, const std::atomic<bool>& stop) {
    constexpr unsigned kStep = 100;
    while (ms > 0) {
        if (stop.load(std::memory_order_relaxed)) return false;
        unsigned step = std::min(ms, kStep);
        platform::GetClock().SleepMs(step);
        ms -= step;
    }
    return !stop.load(std::memory_order_relaxed);
}

}  // namespace orvane
