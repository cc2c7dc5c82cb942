#include "platform/named_lock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <filesystem>
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

constexpr uid_t kNobody = 65534;

// What a planted target must still be after a lock was refused.
struct FileState {
    std::string content;
    mode_t mode = 0;
    uid_t owner = 0;
    nlink_t links = 0;
    bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
    FileState f;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return f;
    f.content = testing::ReadFile(path);
    f.mode = st.st_mode;
    f.owner = st.st_uid;
    f.links = st.st_nlink;
    return f;
}

void WriteSecret(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "secret\n", 7), 7);
    ::close(fd);
}

TEST(NamedLockTest, ALockFolderThatIsALinkOrOpenToOthersOrAnotherUsersIsRefused) {
    testing::TempDir dir;
    const std::string real = dir / "real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), (dir / "link").c_str()), 0);
    {
        testing::ScopedEnv env("ORVANE_LOCK_DIR", dir / "link");
        NamedLock lock("Log Test");
        EXPECT_FALSE(lock.Acquire(100)) << "a linked folder";
        EXPECT_FALSE(std::filesystem::exists(real + "/Log_Test.lock"));
    }
    testing::ScopedEnv env("ORVANE_LOCK_DIR", real);
    for (mode_t mode : {0777, 0730, 0702}) {
        ASSERT_EQ(::chmod(real.c_str(), mode), 0);
        NamedLock lock("Log Test");
        EXPECT_FALSE(lock.Acquire(100)) << std::oct << mode;
    }
    // Readable by others, writable by its owner only: the tests' folders are like that.
    ASSERT_EQ(::chmod(real.c_str(), 0755), 0);
    {
        NamedLock lock("Log Test");
        EXPECT_TRUE(lock.Acquire(100));
        lock.Release();
    }
    if (::geteuid() != 0) GTEST_SKIP() << "changing a folder's owner needs root";
    ASSERT_EQ(::unlink((real + "/Log_Test.lock").c_str()), 0);
    ASSERT_EQ(::chown(real.c_str(), kNobody, kNobody), 0);
    NamedLock lock("Log Test");
    EXPECT_FALSE(lock.Acquire(100)) << "another user's folder";
    EXPECT_FALSE(std::filesystem::exists(real + "/Log_Test.lock"));
}

TEST(NamedLockTest, ALockFileThatIsALinkOrAnotherNameOrNotAPlainFileIsRefusedAndItsTargetLeftAlone) {
    testing::TempDir dir;
    const std::string locks = dir / "locks";
    ASSERT_EQ(::mkdir(locks.c_str(), 0700), 0);
    testing::ScopedEnv env("ORVANE_LOCK_DIR", locks);
    const std::string lockFile = locks + "/Log_Test.lock";
    const std::string target = dir / "target";
    WriteSecret(target);
    const FileState before = StateOf(target);

    ASSERT_EQ(::symlink(target.c_str(), lockFile.c_str()), 0);
    EXPECT_FALSE(NamedLock("Log Test").Acquire(100)) << "a link to a file";
    EXPECT_EQ(StateOf(target), before);
    ASSERT_EQ(::unlink(lockFile.c_str()), 0);

    ASSERT_EQ(::symlink((dir / "new").c_str(), lockFile.c_str()), 0);
    EXPECT_FALSE(NamedLock("Log Test").Acquire(100)) << "a link to nothing yet";
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));
    ASSERT_EQ(::unlink(lockFile.c_str()), 0);

    ASSERT_EQ(::link(target.c_str(), lockFile.c_str()), 0);
    EXPECT_FALSE(NamedLock("Log Test").Acquire(100)) << "a second name of another file";
    ASSERT_EQ(::unlink(lockFile.c_str()), 0);
    EXPECT_EQ(StateOf(target), before);

    ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0);
    EXPECT_FALSE(NamedLock("Log Test").Acquire(100)) << "a pipe";
    ASSERT_EQ(::unlink(lockFile.c_str()), 0);

    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    WriteSecret(lockFile);
    ASSERT_EQ(::chown(lockFile.c_str(), kNobody, kNobody), 0);
    const FileState foreign = StateOf(lockFile);
    EXPECT_FALSE(NamedLock("Log Test").Acquire(100)) << "another user's file";
    EXPECT_EQ(StateOf(lockFile), foreign);
}

TEST(NamedLockTest, ALockFileIsMadeForItsOwnerAloneAndAnOpenOneIsClosedToOthers) {
    testing::TempDir dir;
    testing::ScopedEnv env("ORVANE_LOCK_DIR", dir.path());
    const mode_t oldMask = ::umask(0);
    {
        NamedLock lock("Log Test");
        EXPECT_TRUE(lock.Acquire(100));
        lock.Release();
    }
    ::umask(oldMask);
    struct stat st {};
    ASSERT_EQ(::stat(NamedLock::LockFilePath("Log Test").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // As earlier versions left them.
    const std::string old = NamedLock::LockFilePath("Log Old");
    int fd = ::open(old.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, 0666), 0);
    ::close(fd);
    NamedLock lock("Log Old");
    EXPECT_TRUE(lock.Acquire(100));
    lock.Release();
    ASSERT_EQ(::stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The folders a user's process picks, told by a child that has become `nobody`.
std::string FoldersSeenByNobody(const std::string& runtimeFolder) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(2);
        ::unsetenv("ORVANE_LOCK_DIR");
        ::setenv("XDG_RUNTIME_DIR", runtimeFolder.c_str(), 1);
        const std::string seen =
            NamedLock::LockFilePath("Log Test") + " " + NamedLock::LockFilePath("Global\\ZantrixOrvane");
        _exit(::write(fds[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size()) ? 0 : 3);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}

TEST(NamedLockTest, AUserTrustsARuntimeFolderOnlyWhenItIsTheirsAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
    testing::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string own = dir / "own";
    ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
    ASSERT_EQ(::chown(own.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(FoldersSeenByNobody(own), own + "/Log_Test.lock " + own + "/ZantrixOrvane.lock");

    const std::string fallback = "/tmp/orvane-65534/Log_Test.lock /tmp/orvane-65534/ZantrixOrvane.lock";
    ASSERT_EQ(::chmod(own.c_str(), 0755), 0);
    EXPECT_EQ(FoldersSeenByNobody(own), fallback) << "open to others";
    const std::string roots = dir / "roots";
    ASSERT_EQ(::mkdir(roots.c_str(), 0777), 0);
    EXPECT_EQ(FoldersSeenByNobody(roots), fallback) << "another user's";
    ASSERT_EQ(::chmod(own.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(own.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(FoldersSeenByNobody(dir / "link"), fallback) << "a link";
}

TEST(NamedLockTest, RootIgnoresTheRuntimeFolderOfTheEnvironment) {
    if (::geteuid() != 0) GTEST_SKIP() << "root's choice";
    testing::ScopedEnv unset("ORVANE_LOCK_DIR", "");
    testing::TempDir dir;
    testing::ScopedEnv env("XDG_RUNTIME_DIR", dir.path());
    EXPECT_EQ(NamedLock::LockFilePath("Log Orvane Agent"), "/run/orvane/Log_Orvane_Agent.lock");
    EXPECT_EQ(NamedLock::LockFilePath("Global\\ZantrixOrvane"), "/run/orvane/ZantrixOrvane.lock");
}

}  // namespace
}  // namespace orvane::platform
