#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace orvane
