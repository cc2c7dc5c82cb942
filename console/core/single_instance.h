#pragma once
// One console at a time: the lock "Global\\ZantrixOrvane", held for the life of the process and
// passed on when its holder dies. Lock files live in a folder private to their user, so root's
// consoles share one guard and another user's console has a guard of its own.
#include <memory>

#include "platform/named_lock.h"

namespace orvane::console {

inline constexpr const char* kInstanceLockName = "Global\\ZantrixOrvane";

enum class InstanceGuard {
    Acquired,        // this is the only console
    AlreadyRunning,  // another console holds it: show Agent_OrvaneStarted and end
    CreateFailed,    // the lock cannot be set up: show Agent_MutexCreateErr and end
};

class SingleInstance {
public:
    SingleInstance() : lock_(kInstanceLockName) {}
    ~SingleInstance() {
        if (held_) lock_.Release();
    }
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    InstanceGuard Acquire() {
        switch (lock_.TryAcquireWithReason()) {
            case platform::NamedLock::TryResult::Acquired:
                held_ = true;
                return InstanceGuard::Acquired;
            case platform::NamedLock::TryResult::Held:
                return InstanceGuard::AlreadyRunning;
            case platform::NamedLock::TryResult::Failed:
                break;
        }
        return InstanceGuard::CreateFailed;
    }

private:
    platform::NamedLock lock_;
    bool held_ = false;
};

}  // namespace orvane::console
