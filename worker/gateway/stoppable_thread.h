#pragma once
// A background thread that can be asked to end. The worker never stops its threads, but tests
// must, so every loop checks the flag and sleeps in short steps through the clock interface.
#include <atomic>
#include <functional>
#include <thread>

namespace orvane {

class StoppableThread {
public:
    StoppableThread() = default;
    ~StoppableThread() { Stop(); }
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;

    // Runs body(stop flag) on a new thread; false with the system error in err when the
    // thread cannot be created (or this one is already running).
    bool Start(std::function<void(const std::atomic<bool>&)> body, int& err);
    // Raises the stop flag and waits for the body to return.
    void Stop();
    bool Running() const { return thread_.joinable(); }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Sleeps `ms` through the clock in steps of at most 100 ms; false as soon as `stop` is raised.
bool SleepUnlessStopped(unsigned ms, const std::atomic<bool>& stop);

}  // namespace orvane
