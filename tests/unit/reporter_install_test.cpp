#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_version.h"
#include "reporter/reporter.h"
#include "reporter/watch_copy.h"
#include "reporter_test_support.h"
#include "test_util.h"

namespace orvane {
namespace {

using testing::ScopedMemoryLog;

class FakeControl final : public WatchControl {
public:
    int stops = 0;
    std::vector<std::vector<std::string>> starts;  // program, then its arguments
    int forks = 0;
    bool running = false;
    int startError = 0;
    int StopWatchCopies() override {
        ++stops;
        running = false;
        return 1;
    }
    bool StartWatchCommand(const std::string& program, const std::vector<std::string>& args, int& err) override {
        if (startError) {
            err = startError;
            return false;
        }
        std::vector<std::string> call{program};
        call.insert(call.end(), args.begin(), args.end());
        starts.push_back(call);
        running = true;
        return true;
    }
    bool StartWatchProcess(const std::function<void()>&, int& err) override {
        if (startError) {
            err = startError;
            return false;
        }
        ++forks;
        running = true;
        return true;
    }
    bool WatchCopyRunning() override { return running; }
};

ino_t InodeOf(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = dir_ / "Quenby";
        std::filesystem::copy_file("/proc/self/exe", module_);
        std::filesystem::create_directory(dir_ / "Orvane");
        const char* five[] = {"127.0.0.1", "9000", "0", "3", "key"};
        ASSERT_TRUE(ReadArguments(five, session_.args));
        session_.userName = session_.loginName = "ann";
        session_.modulePath = module_;
        session_.programFolder = dir_ / "Orvane";
        session_.autostartFolder = dir_ / "autostart";
        watch_ = WatchCopyPath(session_);
    }
    std::string Entry() { return testing::ReadFile(session_.autostartFolder + "/Orvane_RUN.desktop"); }
    std::string ExecLine() {
        std::string value;
        EXPECT_EQ(ReadRunValue(session_.autostartFolder, value), 1);
        return value;
    }

    testing::TempDir dir_;
    std::string module_, watch_;
    ReporterSession session_;
    FakeControl control_;
};

const std::string kVersion = ORVANE_TEST_FILE_VERSION;

TEST_F(InstallTest, FirstLogonCopiesRegistersAndStarts) {
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(watch_, dir_ / "Orvane/Pemrose");
    EXPECT_EQ(std::filesystem::file_size(watch_), std::filesystem::file_size(module_));
    EXPECT_EQ(QueryVersionText(watch_), kVersion);
    EXPECT_EQ(::access(watch_.c_str(), X_OK), 0);
    EXPECT_EQ(ExecLine(), watch_ + " 127.0.0.1 9000 0 3 key");
    EXPECT_NE(Entry().find("[Desktop Entry]\nType=Application\n"), std::string::npos);
    struct stat st{};
    ASSERT_EQ(::stat((session_.autostartFolder + "/Orvane_RUN.desktop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the entry holds the share key";
    EXPECT_EQ(control_.stops, 0);
    ASSERT_EQ(control_.starts.size(), 1u);
    EXPECT_EQ(control_.starts[0], (std::vector<std::string>{watch_, "127.0.0.1", "9000", "0", "3", "key"}));
    EXPECT_EQ(control_.forks, 0);
    EXPECT_EQ(log.Text(), "");
}

// With the key on a descriptor nothing the user can read or replace is involved: no autostart
// entry, no program file in the home; a fork of the logon run replaces the watch copy each logon.
TEST_F(InstallTest, KeyOnADescriptorInstallsNothingAndEveryLogonForksANewCopy) {
    const char* four[] = {"127.0.0.1", "9000", "0", "3"};
    ASSERT_TRUE(ReadArgumentsWithKey(four, "Qz7-Kv9pLm2Xw4Rt", session_.args));
    // Left by the command-line form: the entry holds the key.
    ASSERT_EQ(WriteRunValue(session_.autostartFolder, ExecCommand(watch_, {"127.0.0.1", "9000", "0", "3", "old"})), 1);
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_FALSE(std::filesystem::exists(watch_)) << "no program file the user could replace";
    EXPECT_FALSE(std::filesystem::exists(session_.autostartFolder + "/Orvane_RUN.desktop"));
    EXPECT_EQ(control_.stops, 1);
    EXPECT_EQ(control_.forks, 1);
    EXPECT_TRUE(control_.starts.empty());
    EXPECT_EQ(log.Text(), "");

    // The next logon, a copy running (perhaps with an older key): stopped, forked again.
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(control_.stops, 2);
    EXPECT_EQ(control_.forks, 2);

    control_.startError = 11;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(log.Text(), "Create process failed! errorcode:11\n\n");
}

TEST_F(InstallTest, SameVersionAndArgumentsChangeNothingWhileTheCopyRuns) {
    ASSERT_EQ(InstallWatchCopy(session_, control_), 1);
    ino_t inode = InodeOf(watch_);
    std::string entry = Entry();
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(InodeOf(watch_), inode);
    EXPECT_EQ(Entry(), entry);
    EXPECT_EQ(control_.stops, 0);
    EXPECT_EQ(control_.starts.size(), 1u);
    EXPECT_EQ(log.Text(), "the current version is " + kVersion + ",the local version is " + kVersion + "\n");

    // Nothing runs it after a logon without a desktop (or after a logoff): started again.
    control_.running = false;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(InodeOf(watch_), inode);
    EXPECT_EQ(control_.stops, 0);
    EXPECT_EQ(control_.starts.size(), 2u);
}

TEST_F(InstallTest, AnotherVersionIsStoppedReplacedAndStarted) {
    ASSERT_EQ(InstallWatchCopy(session_, control_), 1);
    ASSERT_TRUE(platform::WriteFileVersion(watch_, (9u << 16) | 8u, (7u << 16) | 6u));
    ASSERT_EQ(QueryVersionText(watch_), "9.8.7.6");
    ino_t inode = InodeOf(watch_);
    std::string entry = Entry();
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_TRUE(log.Contains("the current version is " + kVersion + ",the local version is 9.8.7.6"));
    EXPECT_EQ(QueryVersionText(watch_), kVersion);
    EXPECT_NE(InodeOf(watch_), inode) << "replaced by a new file, never written into while it runs";
    EXPECT_EQ(Entry(), entry);
    EXPECT_EQ(control_.stops, 1);
    EXPECT_EQ(control_.starts.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(watch_ + ".new-" + std::to_string(::getpid())));
}

TEST_F(InstallTest, AnUnreadableVersionCountsAsEmptyAndIsReplaced) {
    testing::WriteFile(watch_, "not a program");
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_TRUE(log.Contains("the current version is " + kVersion + ",the local version is "));
    EXPECT_EQ(QueryVersionText(watch_), kVersion);
    EXPECT_EQ(control_.stops, 1);
    EXPECT_EQ(control_.starts.size(), 1u);
}

TEST_F(InstallTest, OtherArgumentsRewriteTheEntryAndRestartTheCopy) {
    ASSERT_EQ(InstallWatchCopy(session_, control_), 1);
    const char* five[] = {"127.0.0.1", "9001", "0", "3", "key"};
    ASSERT_TRUE(ReadArguments(five, session_.args));
    ino_t inode = InodeOf(watch_);
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_EQ(ExecLine(), watch_ + " 127.0.0.1 9001 0 3 key");
    EXPECT_EQ(InodeOf(watch_), inode);
    EXPECT_EQ(control_.stops, 1);
    ASSERT_EQ(control_.starts.size(), 2u);
    EXPECT_EQ(control_.starts[1][2], "9001");
}

TEST_F(InstallTest, AMissingEntryIsRegisteredAgain) {
    ASSERT_EQ(InstallWatchCopy(session_, control_), 1);
    std::filesystem::remove(session_.autostartFolder + "/Orvane_RUN.desktop");
    ScopedMemoryLog log;
    EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
    EXPECT_TRUE(log.Contains("Open reg key failed!"));
    EXPECT_TRUE(log.Contains("Read config info failed"));
    EXPECT_EQ(ExecLine(), watch_ + " 127.0.0.1 9000 0 3 key");
    EXPECT_EQ(control_.stops, 1);
    EXPECT_EQ(control_.starts.size(), 2u);
}

TEST_F(InstallTest, FailuresAreLoggedAndNothingIsStarted) {
    {
        ScopedMemoryLog log;
        session_.programFolder = dir_ / "missing";
        EXPECT_EQ(InstallWatchCopy(session_, control_), 0);
        EXPECT_EQ(log.Text(), "Copy file failed error:2\n");
        session_.programFolder = dir_ / "Orvane";
    }
    {
        ScopedMemoryLog log;
        testing::WriteFile(session_.autostartFolder, "a file where the folder should be");
        EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
        EXPECT_EQ(log.Text(), "Create reg key failed!\nSave auto running failed\n");
        EXPECT_TRUE(control_.starts.empty());
        EXPECT_TRUE(std::filesystem::exists(watch_));
    }
    {
        ScopedMemoryLog log;
        std::filesystem::remove(session_.autostartFolder);
        std::filesystem::remove(watch_);
        control_.startError = 2;
        EXPECT_EQ(InstallWatchCopy(session_, control_), 1);
        EXPECT_EQ(log.Text(), "Create process failed! errorcode:2\n\n");
    }
}

TEST(AutostartEntry, ArgumentsThatNeedItAreQuotedAndEscaped) {
    EXPECT_EQ(ExecArguments({"10.0.0.1", "9000", "0", "3", "plain"}), "10.0.0.1 9000 0 3 plain");
    // Exec quoting ("..." with \" \$), then the value escaping (\\), then %%.
    EXPECT_EQ(ExecArguments({"a b", "50%", "$x\"y"}), "\"a b\" 50%% \"\\\\$x\\\\\"y\"");
    EXPECT_EQ(ExecCommand("/home/ann smith/.local/share/Orvane/Pemrose", {"k"}),
              "\"/home/ann smith/.local/share/Orvane/Pemrose\" k");

    testing::TempDir dir;
    std::string command = ExecCommand("/p/Pemrose", {"10.0.0.1", "9000", "0", "3", "key with space"});
    ASSERT_EQ(WriteRunValue(dir / "autostart", command), 1);
    std::string read;
    ASSERT_EQ(ReadRunValue(dir / "autostart", read), 1);
    EXPECT_EQ(read, command);
    EXPECT_NE(read.find(ExecArguments({"10.0.0.1", "9000", "0", "3", "key with space"})), std::string::npos);

    ScopedMemoryLog log;
    testing::WriteFile(dir / "autostart/Orvane_RUN.desktop", "[Desktop Entry]\nName=x\n");
    EXPECT_EQ(ReadRunValue(dir / "autostart", read), 0);
    EXPECT_EQ(log.Text(), "Query value failed!\n");
}

TEST(WatchLock, OneWatchCopyPerUserAndTheSecondWaitsOnlyBriefly) {
    testing::TempDir dir;
    testing::FakeClock clock;
    testing::ScopedClock scoped(clock);
    int first = AcquireWatchLock(dir.path(), 10000);
    ASSERT_GE(first, 0);
    EXPECT_EQ(AcquireWatchLock(dir.path(), 10000), -1);
    EXPECT_EQ(clock.sleeps(), 100) << "100 ms steps up to 10 seconds";
    ::close(first);  // the holder ended
    int second = AcquireWatchLock(dir.path(), 0);
    EXPECT_GE(second, 0);
    ::close(second);
    EXPECT_EQ(AcquireWatchLock(dir / "missing", 0), -1);
}

// The real process control, on a program of another name so no watch copy of this user is hit.
TEST(WatchProcesses, StartsDetachedWithoutInheritedDescriptorsAndFindsItByName) {
    testing::TempDir dir;
    const std::string name = "orvane-watch-test-" + std::to_string(::getpid());
    const std::string program = dir / name;
    std::filesystem::copy_file("/bin/sleep", program);
    SystemWatchControl control;
    int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC: must not reach the child anyway
    ASSERT_GE(leaked, 0);
    int err = 0;
    ASSERT_TRUE(control.StartWatchCommand(program, {"30"}, err)) << err;
    ::close(leaked);

    std::vector<int> pids;
    ASSERT_EQ(FindUserProcesses(name, pids, err), ProcessScan::Ok);
    ASSERT_EQ(pids.size(), 1u);
    const int pid = pids[0];
    std::string stat = testing::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name: state, ppid, pgrp, session.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    fields >> state >> ppid >> pgrp >> session;
    EXPECT_EQ(session, pgrp) << "leads a session of its own";
    EXPECT_NE(session, static_cast<long>(::getsid(0)));
    EXPECT_NE(ppid, static_cast<long>(::getpid()));
    // The program's loader may hold a file open for a moment while it starts; a descriptor
    // inherited from here would stay.
    auto fdsOf = [pid] {
        std::vector<std::string> fds;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            fds.push_back(e.path().filename().string() + "->" + std::filesystem::read_symlink(e.path(), ec).string());
        }
        std::sort(fds.begin(), fds.end());
        return fds;
    };
    const std::vector<std::string> expected{"0->/dev/null", "1->/dev/null", "2->/dev/null"};
    auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fdsOf() != expected && std::chrono::steady_clock::now() < settle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(fdsOf(), expected);

    // A program file replaced while it runs is still recognised by its name.
    std::filesystem::remove(program);
    ASSERT_EQ(FindUserProcesses(name, pids, err), ProcessScan::Ok);
    EXPECT_EQ(pids, std::vector<int>{pid});
    ::kill(pid, SIGKILL);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(FindUserProcesses(name, pids, err), ProcessScan::Ok);
        if (pids.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(pids.empty());

    EXPECT_FALSE(control.StartWatchCommand(dir / "missing", {}, err));
    EXPECT_EQ(err, ENOENT);
}

}  // namespace
}  // namespace orvane
