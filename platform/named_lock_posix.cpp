#include "platform/named_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <thread>

namespace orvane::platform {

namespace {

// The lock file holds one process-shared robust mutex. Uncontended, taking and releasing it
// are atomic operations in user space (the log takes it for every line); a holder that dies
// leaves it to the next waiter, who repairs it.
constexpr std::uint64_t kMagic = 0x314B434C4E56524FULL;  // "ORVNLCK1"

struct SharedLock {
    std::atomic<std::uint64_t> magic;
    std::uint64_t mutexSize;
    // The boot that set the mutex up. A lock file on disk outlives a reboot, and a mutex
    // held when the machine went down would otherwise stay held for good.
    char bootId[40];
    pthread_mutex_t mutex;
};

std::string CurrentBootId() {
    char buf[40] = {};
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n > 0 && buf[n - 1] == '\n') buf[n - 1] = '\0';
    }
    return buf;
}

std::string SanitizedName(const std::string& name) {
    std::string out;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (std::isalnum(u) || c == '-' || c == '_' || c == '.') ? c : '_';
    }
    return out;
}

// Where a name's lock file lives. Root keeps all its locks in one root-only folder; a user keeps
// them in a folder of their own. Never a folder another user can write to: a link planted there
// would make the opener create or write the file it points to.
struct LockPlace {
    std::string folder;
    bool create = false;     // made (0700) when absent
    mode_t forbidden = 077;  // permission bits the folder must not have
};

constexpr const char* kRootLockFolder = "/run/orvane";

// A real directory (not a link) of the caller that no one else may use.
bool IsPrivateFolder(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

LockPlace PlaceOfLocks() {
    // The tests' own folder: it need not be private, but only its owner may write to it.
    if (const char* d = std::getenv("ORVANE_LOCK_DIR"); d && *d) return {d, false, 022};
    const uid_t uid = ::geteuid();
    // Root ignores the environment: sudo -E keeps a user's XDG_RUNTIME_DIR.
    if (uid == 0) return {kRootLockFolder, true, 077};
    if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r && IsPrivateFolder(r)) return {r, false, 077};
    return {"/tmp/orvane-" + std::to_string(uid), true, 077};
}

// Says once per process why a named lock cannot be had, on standard error: the log itself
// needs one. `what` is "folder" or "file".
void ReportRefused(const char* what, const std::string& path, const char* why) {
    static std::atomic<bool> told{false};
    if (told.exchange(true)) return;
    std::fprintf(stderr, "Named locks are refused: the lock %s %s %s.\n", what, path.c_str(), why);
}

// Opens the lock folder, making it first where that is the rule, and checks what was opened:
// a directory, not a link, owned by the caller, without the forbidden permission bits. -1 when
// it is not such a folder.
int OpenLockFolder(const LockPlace& place) {
    if (place.create && ::mkdir(place.folder.c_str(), 0700) != 0 && errno != EEXIST) {
        ReportRefused("folder", place.folder, "cannot be created");
        return -1;
    }
    int fd = ::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ReportRefused("folder", place.folder, errno == ELOOP || errno == ENOTDIR ? "is not a directory" : "cannot be opened");
        return -1;
    }
    struct stat st {};
    const char* why = nullptr;
    if (::fstat(fd, &st) != 0)
        why = "cannot be examined";
    else if (st.st_uid != ::geteuid())
        why = "belongs to another user";
    else if ((st.st_mode & place.forbidden) != 0)
        why = "is open to other users";
    if (why) {
        ReportRefused("folder", place.folder, why);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens or creates a lock file in the checked folder: never through a link, and only a plain
// file of the caller's with no other name (a hard link could lead to any file of the caller's).
int OpenLockFile(int folderFd, const LockPlace& place, const std::string& file) {
    int fd = ::openat(folderFd, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        ReportRefused("file", place.folder + "/" + file, errno == ELOOP ? "is a link" : "cannot be opened");
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        ReportRefused("file", place.folder + "/" + file, "is not a plain file of this user with one name");
        ::close(fd);
        return -1;
    }
    // Earlier versions made lock files 0666; nobody else has any business with them.
    if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);
    return fd;
}

using Steady = std::chrono::steady_clock;

// flock with a deadline; only used while a lock file is first set up.
bool FlockUntil(int fd, Steady::time_point deadline) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Steady::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

struct NamedLock::Impl {
    LockPlace place;
    std::string file;
    std::atomic<SharedLock*> shared{nullptr};
    std::atomic_flag opening = ATOMIC_FLAG_INIT;

    // Maps the lock file, setting up the mutex in it when this process is the first user.
    // Serialised between processes by flock, which is held only for these few calls.
    SharedLock* Open(Steady::time_point deadline) {
        while (opening.test_and_set(std::memory_order_acquire)) {
            if (SharedLock* s = shared.load(std::memory_order_acquire)) return s;
            if (Steady::now() >= deadline) return nullptr;
            std::this_thread::yield();
        }
        SharedLock* result = shared.load(std::memory_order_acquire);
        if (!result) result = MapFile(deadline);
        if (result) shared.store(result, std::memory_order_release);
        opening.clear(std::memory_order_release);
        return result;
    }

    SharedLock* MapFile(Steady::time_point deadline) {
        int folderFd = OpenLockFolder(place);
        if (folderFd < 0) return nullptr;
        int fd = OpenLockFile(folderFd, place, file);
        ::close(folderFd);
        if (fd < 0) return nullptr;
        SharedLock* s = nullptr;
        if (FlockUntil(fd, deadline)) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 &&
                (st.st_size >= static_cast<off_t>(sizeof(SharedLock)) || ::ftruncate(fd, sizeof(SharedLock)) == 0)) {
                void* p = ::mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (p != MAP_FAILED) s = static_cast<SharedLock*>(p);
            }
            static const std::string bootId = CurrentBootId();
            if (s && (s->magic.load(std::memory_order_acquire) != kMagic || s->mutexSize != sizeof(pthread_mutex_t) ||
                      std::string_view(s->bootId, strnlen(s->bootId, sizeof s->bootId)) != bootId)) {
                // A new file, one of an earlier boot, or one left by another kind of lock: nobody
                // can be using it now.
                pthread_mutexattr_t attr;
                pthread_mutexattr_init(&attr);
                pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
                int rc = pthread_mutex_init(&s->mutex, &attr);
                pthread_mutexattr_destroy(&attr);
                if (rc == 0) {
                    s->mutexSize = sizeof(pthread_mutex_t);
                    std::memset(s->bootId, 0, sizeof s->bootId);
                    bootId.copy(s->bootId, sizeof s->bootId - 1);
                    s->magic.store(kMagic, std::memory_order_release);
                } else {
                    ::munmap(s, sizeof(SharedLock));
                    s = nullptr;
                }
            }
            ::flock(fd, LOCK_UN);
        }
        ::close(fd);
        return s;
    }
};

namespace {

// "Global\\" names share the caller's folder with the others: root's is the machine's one root
// folder, and a user's console guards only that user's consoles.
std::string LockFileName(const std::string& name) {
    const std::string prefix = "Global\\";
    bool global = name.compare(0, prefix.size(), prefix) == 0;
    return SanitizedName(global ? name.substr(prefix.size()) : name) + ".lock";
}

}  // namespace

std::string NamedLock::LockFilePath(const std::string& name) { return PlaceOfLocks().folder + "/" + LockFileName(name); }

NamedLock::NamedLock(const std::string& name) : impl_(std::make_unique<Impl>()) {
    impl_->place = PlaceOfLocks();
    impl_->file = LockFileName(name);
}

NamedLock::~NamedLock() {
    if (SharedLock* s = impl_->shared.load()) ::munmap(s, sizeof(SharedLock));
}

bool NamedLock::Acquire(unsigned timeoutMs) {
    SharedLock* s = impl_->shared.load(std::memory_order_acquire);
    if (!s) {
        // Opened lazily and kept: a lock file that cannot be created must not stall the caller
        // for long, so the failure ends this attempt at once.
        s = impl_->Open(Steady::now() + std::chrono::milliseconds(timeoutMs));
        if (!s) return false;
    }
    int rc = pthread_mutex_trylock(&s->mutex);
    if (rc == EBUSY && timeoutMs > 0) {
        timespec deadline{};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        do {
            rc = pthread_mutex_clocklock(&s->mutex, CLOCK_MONOTONIC, &deadline);
        } while (rc == EINTR);
    }
    if (rc == EOWNERDEAD) {
        // The holder died; what it guarded is at worst a half-written line.
        pthread_mutex_consistent(&s->mutex);
        rc = 0;
    }
    return rc == 0;
}

NamedLock::TryResult NamedLock::TryAcquireWithReason() {
    SharedLock* s = impl_->shared.load(std::memory_order_acquire);
    if (!s && !(s = impl_->Open(Steady::now()))) return TryResult::Failed;
    return Acquire(0) ? TryResult::Acquired : TryResult::Held;
}

void NamedLock::Release() {
    if (SharedLock* s = impl_->shared.load(std::memory_order_acquire)) pthread_mutex_unlock(&s->mutex);
}

}  // namespace orvane::platform
