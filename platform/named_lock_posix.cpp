#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace orvane::platform {

struct NamedLock::Impl {
    std::string path;
    std::timed_mutex mutex;
    int fd = -1;
};

namespace {

std::string SanitizedName(const std::string& name) {
    std::string out;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (std::isalnum(u) || c == '-' || c == '_' || c == '.') ? c : '_';
    }
    return out;
}

std::string LockFolder(bool global) {
    if (const char* d = std::getenv("ORVANE_LOCK_DIR"); d && *d) return d;
    std::string folder;
    if (global) {
        folder = "/run/lock/orvane";
        if (::mkdir(folder.c_str(), 01777) == 0 || errno == EEXIST) {
            if (::access(folder.c_str(), W_OK) == 0) return folder;
        }
        folder = "/tmp/orvane-locks";
        ::mkdir(folder.c_str(), 01777);
        return folder;
    }
    if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r && ::access(r, W_OK) == 0) return r;
    folder = "/tmp/orvane-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

}  // namespace

std::string NamedLock::LockFilePath(const std::string& name) {
    const std::string prefix = "Global\\";
    bool global = name.compare(0, prefix.size(), prefix) == 0;
    std::string base = global ? name.substr(prefix.size()) : name;
    return LockFolder(global) + "/" + SanitizedName(base) + ".lock";
}

NamedLock::NamedLock(const std::string& name) : impl_(std::make_unique<Impl>()) {
    impl_->path = LockFilePath(name);
}

NamedLock::~NamedLock() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

bool NamedLock::Acquire(unsigned timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!impl_->mutex.try_lock_until(deadline)) return false;
    if (impl_->fd < 0) {
        // Opened lazily and kept: a lock file that cannot be created must not stall the caller
        // for long, so the failure ends this attempt at once.
        impl_->fd = ::open(impl_->path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (impl_->fd < 0) {
            impl_->mutex.unlock();
            return false;
        }
        ::fchmod(impl_->fd, 0666);
    }
    for (;;) {
        if (::flock(impl_->fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    impl_->mutex.unlock();
    return false;
}

void NamedLock::Release() {
    ::flock(impl_->fd, LOCK_UN);
    impl_->mutex.unlock();
}

}  // namespace orvane::platform
