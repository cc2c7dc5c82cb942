#pragma once
// A lock shared by name between processes (the stand-in for a named semaphore or mutex).
// A process-shared robust mutex kept in a small lock file: it serialises threads and processes
// alike, costs no system call when free, and passes to the next waiter when its holder dies.
// Lock files live in a folder only their user can enter: root's in /run/orvane (0700, made when
// absent), another user's in $XDG_RUNTIME_DIR when it is theirs alone, else /tmp/orvane-<uid>
// (0700). So every name, "Global\\" ones included, is shared between the processes of one user:
// a user's console guards that user's consoles only. A folder or file that fails the checks
// (a link, another owner, open to others, a second name) is refused, and the lock with it.
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

    // Path of the file behind a name (for diagnostics and tests); ORVANE_LOCK_DIR sets the folder.
    static std::string LockFilePath(const std::string& name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::platform
