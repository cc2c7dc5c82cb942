#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "reporter/key_descriptor.h"
#include "reporter/reporter.h"
#include "reporter/watch_copy.h"
#include "test_util.h"

namespace orvane {
namespace {

using testing::ScopedMemoryLog;

// A pipe holding `content`, its write end closed unless `keepWriter`.
struct Pipe {
    int read = -1, write = -1;
    explicit Pipe(const std::string& content, bool keepWriter = false) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        read = fds[0];
        write = fds[1];
        if (!content.empty() && ::write(write, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            ADD_FAILURE() << "pipe write";
        }
        if (!keepWriter) CloseWriter();
    }
    void CloseWriter() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    ~Pipe() {
        CloseWriter();
        if (read >= 0) ::close(read);  // normally closed by the reader already (EBADF then)
    }
};

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(ReporterKeyDescriptor, OneLineWithoutItsEndAndTheDescriptorIsClosed) {
    struct Case {
        std::string input, key;
    } cases[] = {{"Qz7-Kv9pLm2Xw4Rt\n", "Qz7-Kv9pLm2Xw4Rt"},
                 {"with blanks \r\nsecond line\n", "with blanks "},
                 {"no line end", "no line end"},
                 {std::string(255, 'k') + "\n", std::string(255, 'k')}};
    for (const Case& c : cases) {
        Pipe p(c.input);
        std::string key;
        int err = 0;
        EXPECT_EQ(ReadKeyFromDescriptor(p.read, 1000, key, err), KeyRead::Ok) << c.input;
        EXPECT_EQ(key, c.key);
        EXPECT_FALSE(IsOpen(p.read)) << "the key's descriptor is not left to anything started later";
        p.read = -1;
    }
}

TEST(ReporterKeyDescriptor, EmptyOverlongSilentAndBadDescriptorsAreRefused) {
    std::string key = "unchanged";
    int err = 0;
    {
        Pipe p("\n");
        EXPECT_EQ(ReadKeyFromDescriptor(p.read, 1000, key, err), KeyRead::Empty);
        p.read = -1;
    }
    {
        Pipe p("");
        EXPECT_EQ(ReadKeyFromDescriptor(p.read, 1000, key, err), KeyRead::Empty);
        p.read = -1;
    }
    {
        Pipe p(std::string(256, 'k') + "\n");
        EXPECT_EQ(ReadKeyFromDescriptor(p.read, 1000, key, err), KeyRead::TooLong);
        p.read = -1;
    }
    {
        // A writer that never finishes the line: the deadline ends the wait.
        Pipe p("partial", true);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ReadKeyFromDescriptor(p.read, 200, key, err), KeyRead::TimedOut);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
        p.read = -1;
    }
    EXPECT_EQ(key, "unchanged") << "a refused read leaves no partial key behind";
    int closed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(closed, 0);
    ::close(closed);
    EXPECT_EQ(ReadKeyFromDescriptor(closed, 1000, key, err), KeyRead::ReadFailed);
    EXPECT_EQ(err, EBADF);

    ScopedMemoryLog log;
    LogKeyReadFailure(KeyRead::ReadFailed, 7, EBADF);
    LogKeyReadFailure(KeyRead::TimedOut, 0, 0);
    LogKeyReadFailure(KeyRead::Empty, 0, 0);
    LogKeyReadFailure(KeyRead::TooLong, 0, 0);
    LogKeyReadFailure(KeyRead::Ok, 0, 0);
    EXPECT_EQ(log.Text(),
              "Read the client share key from descriptor 7 failed! errorcode:9\n"
              "No client share key arrived on descriptor 0 within 10 seconds\n"
              "The client share key on descriptor 0 is empty\n"
              "The client share key on descriptor 0 is longer than 255 bytes\n");
}

TEST(ReporterKeyDescriptor, StandardInputIsPutBackOnDevNull) {
    int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    Pipe p("key\n");
    ASSERT_EQ(::dup2(p.read, 0), 0);
    std::string key;
    int err = 0;
    EXPECT_EQ(ReadKeyFromDescriptor(0, 1000, key, err), KeyRead::Ok);
    EXPECT_EQ(key, "key");
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/self/fd/0", ec), "/dev/null");
    ::dup2(saved, 0);
    ::close(saved);
}

TEST(ReporterKeyDescriptor, DescriptorNumbersAreDecimalUpTo1023) {
    int fd = -1;
    EXPECT_TRUE(ParseKeyDescriptor("0", fd));
    EXPECT_EQ(fd, 0);
    EXPECT_TRUE(ParseKeyDescriptor("1023", fd));
    EXPECT_EQ(fd, 1023);
    for (const char* bad : {"", "-1", "1024", "3x", " 3", "99999", "0x3"}) EXPECT_FALSE(ParseKeyDescriptor(bad, fd)) << bad;
    EXPECT_FALSE(ParseKeyDescriptor(nullptr, fd));
}

// In children, so the test process stays debuggable.
int ChildExit(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReporterKeyDescriptor, UndumpableAndTracerSeen) {
    EXPECT_EQ(ChildExit([] {
                  int err = 0;
                  return MakeProcessUndumpable(err) && ::prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(ChildExit([] { return BeingTraced() ? 1 : 0; }), 0);
    // A debugger attached before the process protected itself stays attached: seen.
    EXPECT_EQ(ChildExit([] {
                  if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) return 2;
                  int err = 0;
                  MakeProcessUndumpable(err);
                  return BeingTraced() ? 0 : 1;
              }),
              0);
}

TEST(ReporterCommandLine, KeyDescriptorFormTakesTheFourOtherArguments) {
    const char* keyed[] = {"Quenby", "--key-fd", "0", "10.0.0.1", "9000", "0", "3"};
    const char* keyedAndKey[] = {"Quenby", "--key-fd", "0", "10.0.0.1", "9000", "0", "3", "key"};
    const char* otherOption[] = {"Quenby", "--key-file", "0", "10.0.0.1", "9000", "0", "3"};
    EXPECT_EQ(ClassifyCommandLine(7, keyed), CommandLineUse::RunKeyFromDescriptor);
    EXPECT_EQ(ClassifyCommandLine(8, keyedAndKey), CommandLineUse::Nothing);
    EXPECT_EQ(ClassifyCommandLine(7, otherOption), CommandLineUse::Nothing);

    ReporterArgs a;
    ASSERT_TRUE(ReadArgumentsWithKey(keyed + 3, "secret", a));
    EXPECT_TRUE(a.keyFromDescriptor);
    EXPECT_EQ(a.port, 9000);
    EXPECT_EQ(a.repetitions, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.key.data())), "secret");
    EXPECT_EQ(a.argumentText, "10.0.0.1 9000 0 3") << "the key is in no text that is shown or stored";
    EXPECT_EQ(a.arguments, (std::vector<std::string>{"10.0.0.1", "9000", "0", "3"}));

    const char* five[] = {"10.0.0.1", "9000", "0", "3", "secret"};
    ASSERT_TRUE(ReadArguments(five, a));
    EXPECT_FALSE(a.keyFromDescriptor);
}

// The real forked watch copy: detached, named "Pemrose" (so a logoff run finds it), undumpable like
// its parent, with nothing but the standard streams on /dev/null.
TEST(WatchProcesses, ForkedCopyIsDetachedNamedPemroseAndKeepsNoDescriptor) {
    testing::TempDir dir;
    const std::string out = dir / "facts";
    int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC, and no exec to drop it either
    ASSERT_GE(leaked, 0);
    SystemWatchControl control;
    int err = 0;
    const pid_t parentSession = ::getsid(0);
    ASSERT_TRUE(control.StartWatchProcess(
        [&] {
            int e = 0;
            MakeProcessUndumpable(e);
            std::string facts = testing::ReadFile("/proc/self/comm");
            facts += ::getsid(0) != parentSession && ::getsid(0) != ::getpid() ? "own session\n" : "shared session or its leader\n";
            std::error_code ec;
            for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
                facts += fd.path().filename().string() + "->" + std::filesystem::read_symlink(fd.path(), ec).string() + "\n";
            testing::WriteFile(out + ".tmp", facts);
            std::filesystem::rename(out + ".tmp", out);
            ::pause();
        },
        err))
        << err;
    ::close(leaked);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(out) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string facts = testing::ReadFile(out);
    EXPECT_EQ(facts.substr(0, facts.find("0->")),
              "Pemrose\nown session\n");
    EXPECT_NE(facts.find("0->/dev/null\n1->/dev/null\n2->/dev/null\n"), std::string::npos) << facts;
    // Only the listing's own descriptor besides the standard streams.
    EXPECT_EQ(std::count(facts.begin(), facts.end(), '\n'), 2 + 4) << facts;

    std::vector<int> pids;
    ASSERT_EQ(FindUserProcesses(kWatchCopyName, pids, err), ProcessScan::Ok);
    ASSERT_FALSE(pids.empty()) << "found by its name although its executable is the test program";
    for (int pid : pids) {
        if (testing::ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find("orvane_unit_tests") != std::string::npos)
            ::kill(pid, SIGKILL);
    }
}

}  // namespace
}  // namespace orvane
