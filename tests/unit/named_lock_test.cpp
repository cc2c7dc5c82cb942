#include "platform/named_lock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/unit/test_util.h"

namespace orvane::platform {
namespace {

// The child's verdict on taking the lock within `timeoutMs`: 1 taken, 0 not.
int AcquireInChild(const char* name, unsigned timeoutMs) {
    pid_t child = fork();
    if (child == 0) {
        NamedLock lock(name);
        _exit(lock.Acquire(timeoutMs) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NamedLockTest, ThreadsOfOneProcessExcludeEachOtherAndWaitsEndOnTime) {
    testing::TempDir dir;
    testing::ScopedEnv env("ORVANE_LOCK_DIR", dir.path());
    NamedLock a("Log Test");
    NamedLock b("Log Test");  // a second object for the same name: one lock
    ASSERT_TRUE(a.Acquire(1000));
    std::atomic<bool> got{true};
    const auto start = std::chrono::steady_clock::now();
    std::thread([&] { got = b.Acquire(60); }).join();
    EXPECT_FALSE(got);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
    EXPECT_FALSE(b.TryAcquire());
    EXPECT_EQ(AcquireInChild("Log Test", 50), 0) << "another process must wait too";
    a.Release();
    std::thread([&] { got = b.Acquire(1000); }).join();
    EXPECT_TRUE(got);
    // b was taken by a thread that has ended: like a dead holder, that frees it.
    EXPECT_TRUE(a.Acquire(1000));
    a.Release();
    EXPECT_EQ(AcquireInChild("Log Test", 1000), 1);
}

TEST(NamedLockTest, ALockFileOfAnEarlierBootIsSetUpAfresh) {
    testing::TempDir dir;
    testing::ScopedEnv env("ORVANE_LOCK_DIR", dir.path());
    NamedLock held("Log Stale");
    ASSERT_TRUE(held.Acquire(1000));
    ASSERT_EQ(AcquireInChild("Log Stale", 50), 0);
    // As if the machine had gone down while the lock was held: the file names another boot.
    int fd = ::open(NamedLock::LockFilePath("Log Stale").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char stale[] = "00000000-0000-0000-0000-000000000000";
    ASSERT_EQ(::pwrite(fd, stale, sizeof stale, 16), static_cast<ssize_t>(sizeof stale));
    ::close(fd);
    EXPECT_EQ(AcquireInChild("Log Stale", 1000), 1) << "a mutex held before the boot must not stay held";
}

TEST(NamedLockTest, NoLockWhenTheFileCannotBeCreated) {
    testing::TempDir dir;
    testing::ScopedEnv env("ORVANE_LOCK_DIR", dir / "missing");
    NamedLock lock("Log Test");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.Acquire(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace orvane::platform
