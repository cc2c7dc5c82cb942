#pragma once
// A lock shared by name between processes (the stand-in for a named semaphore or mutex).
// A name starting with "Global\\" is machine-wide; any other name is per user.
// A process-shared robust mutex kept in a small lock file: it serialises threads and processes
// alike, costs no system call when free, and passes to the next waiter when its holder dies.
#include <memory>
#include <string>

namespace orvane::platform {

class NamedLock {
public:
    explicit NamedLock(const std::string& name);
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Waits up to timeoutMs; false when the lock was not obtained.
    bool Acquire(unsigned timeoutMs);
    void Release();
    // Takes the lock only if free now (single-instance checks).
    bool TryAcquire() { return Acquire(0); }
    // The same, telling a lock that is held from one that cannot be set up at all.
    enum class TryResult { Acquired, Held, Failed };
    TryResult TryAcquireWithReason();

    // Path of the file behind a name (for diagnostics and tests).
    static std::string LockFilePath(const std::string& name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::platform
