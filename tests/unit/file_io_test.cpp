#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/unit/test_util.h"

namespace orvane {
namespace {

TEST(WriteAll, DeliversEveryByteThroughPartialWrites) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    // Larger than a pipe's buffer, so the writes are cut and must be continued.
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    });
    bool ok = platform::WriteAll(p[1], data.data(), data.size());
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, data);
}

TEST(WriteAll, FailureKeepsTheSystemError) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    // The read end of a pipe refuses writes.
    errno = 0;
    EXPECT_FALSE(platform::WriteAll(p[0], "x", 1));
    EXPECT_EQ(errno, EBADF);
    ::close(p[0]);
    ::close(p[1]);
}

TEST(ReplaceFile, ReplacesAtOnceWithItsModeAndNeverWritesThroughALink) {
    testing::TempDir dir;
    const std::string path = dir / "orvane.prom";
    const std::string target = dir / "target";
    testing::WriteFile(target, "keep");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    // Links planted under the temporary name and the final one.
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    ASSERT_EQ(::symlink(target.c_str(), temporary.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    const mode_t oldMask = ::umask(077);
    ASSERT_TRUE(platform::ReplaceFile(path, "metrics\n", 0644));
    ::umask(oldMask);
    EXPECT_EQ(testing::ReadFile(target), "keep");
    struct stat st {};
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(testing::ReadFile(path), "metrics\n");
    EXPECT_NE(::access(temporary.c_str(), F_OK), 0);

    errno = 0;
    EXPECT_FALSE(platform::ReplaceFile(dir / "missing/orvane.prom", "x", 0644));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace orvane
