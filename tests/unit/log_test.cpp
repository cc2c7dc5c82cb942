#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "common/log.h"
#include "common/log_repeat.h"
#include "common/text.h"
#include "platform/named_lock.h"
#include "test_util.h"

namespace orvane {
namespace {

using testing::FakeClock;
using testing::ReadFile;
using testing::ScopedClock;
using testing::TempDir;

// 2019-11-06 06:19:21 in the local time zone of the test run.
std::int64_t LocalInstant() {
    std::tm tm{};
    tm.tm_year = 119;
    tm.tm_mon = 10;
    tm.tm_mday = 6;
    tm.tm_hour = 6;
    tm.tm_min = 19;
    tm.tm_sec = 21;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

std::vector<std::string> LogFiles(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// The file's text after its byte-order mark, as UTF-8.
std::string Decoded(const std::string& path) {
    std::string raw = ReadFile(path);
    if (raw.size() < 2 || raw[0] != '\xFF' || raw[1] != '\xFE') return "<no BOM>";
    return Utf16LeBytesToUtf8(raw.substr(2));
}

class WorkerLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ORVANE_LOCK_DIR", dir.path().c_str(), 1);
        std::filesystem::create_directory(dir / "log");
        clock.Set(LocalInstant());
    }
    void TearDown() override { unsetenv("ORVANE_LOCK_DIR"); }
    TempDir dir;
    FakeClock clock;
    ScopedClock scoped{clock};
};

TEST_F(WorkerLogTest, FileNameEncodingAndLineForm) {
    WorkerLog log(dir.path(), "10.0.0.5");
    log.Write(LogSeverity::Info, "[INF]hello \xE4\xB8\xAD");
    const std::string expectedName = "LOG10.0.0.5_" + std::to_string(getpid()) + "_20191106061921_0.txt";
    ASSERT_EQ(LogFiles(dir / "log"), std::vector<std::string>{expectedName});
    std::string raw = ReadFile(dir / ("log/" + expectedName));
    EXPECT_EQ(raw.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(raw.substr(2), Utf8ToUtf16LeBytes("[2019-11-06 06-19-21][INF]hello \xE4\xB8\xAD\r\n"));
}

TEST_F(WorkerLogTest, ClientReportNameHasEmptyServerPart) {
    WorkerLog log(dir.path(), "");
    log.Write(LogSeverity::Error, "[ERR]x");
    EXPECT_EQ(LogFiles(dir / "log"),
              std::vector<std::string>{"LOG_" + std::to_string(getpid()) + "_20191106061921_0.txt"});
}

TEST_F(WorkerLogTest, ServerArgumentCannotLeaveTheLogFolder) {
    WorkerLog log(dir.path(), "../../x");
    log.Write(LogSeverity::Info, "[INF]x");
    ASSERT_EQ(LogFiles(dir / "log").size(), 1u);
    EXPECT_EQ(LogFiles(dir / "log")[0].rfind("LOG.._.._x_", 0), 0u);
}

TEST_F(WorkerLogTest, LevelsDecideByOperationNotByPrefix) {
    WorkerLog log(dir.path(), "");
    log.SetLevel(2);
    log.Write(LogSeverity::Info, "[ERR]info with an error prefix");
    log.Write(LogSeverity::Error, "[INF]error with an info prefix");
    log.SetLevel(4);
    log.Write(LogSeverity::Error, "[ERR]dropped at level 4");
    log.SetLevel(1);
    log.Write(LogSeverity::Info, "[INF]level 1 writes info");
    std::string text = Decoded(log.CurrentPath());
    EXPECT_EQ(text.find("info with an error prefix"), std::string::npos);
    EXPECT_NE(text.find("error with an info prefix"), std::string::npos);
    EXPECT_EQ(text.find("dropped at level 4"), std::string::npos);
    EXPECT_NE(text.find("level 1 writes info"), std::string::npos);
}

TEST_F(WorkerLogTest, BatchingInLogQueryModeAndRequestedFlush) {
    WorkerLog log(dir.path(), "10.0.0.5");
    log.SetImmediateFlush(false);
    for (int i = 1; i <= 10; ++i) log.Write(LogSeverity::Info, "[INF]line " + std::to_string(i));
    EXPECT_EQ(ReadFile(log.CurrentPath()), "\xFF\xFE") << "ten lines stay pending";
    log.Write(LogSeverity::Info, "[INF]line 11");
    std::string text = Decoded(log.CurrentPath());
    EXPECT_NE(text.find("line 1\r\n"), std::string::npos);
    EXPECT_NE(text.find("line 11\r\n"), std::string::npos);

    log.Write(LogSeverity::Info, "[INF]pending a");
    log.Write(LogSeverity::Info, "[INF]pending b");
    EXPECT_EQ(Decoded(log.CurrentPath()).find("pending a"), std::string::npos);
    log.RequestFlush();
    log.Write(LogSeverity::Info, "[INF]urgent");
    text = Decoded(log.CurrentPath());
    EXPECT_NE(text.find("pending a"), std::string::npos);
    EXPECT_NE(text.find("urgent"), std::string::npos);
}

TEST_F(WorkerLogTest, LongPendingTextFlushesEarlyAndHugeLinesAreKept) {
    WorkerLog log(dir.path(), "s");
    log.SetImmediateFlush(false);
    log.Write(LogSeverity::Info, "[INF]" + std::string(2100, 'a'));
    EXPECT_NE(Decoded(log.CurrentPath()).find(std::string(2100, 'a')), std::string::npos);
    // Longer than the whole pending buffer: written, not overflowed or lost.
    log.Write(LogSeverity::Info, "[INF]" + std::string(9000, 'b'));
    EXPECT_NE(Decoded(log.CurrentPath()).find(std::string(9000, 'b')), std::string::npos);
}

TEST_F(WorkerLogTest, RotatesToNextIndexAtSizeLimit) {
    WorkerLog log(dir.path(), "10.0.0.5");
    log.SetSizeLimit(200);
    log.Write(LogSeverity::Info, "[INF]" + std::string(100, 'x'));  // file now over 200 bytes
    const std::string first = log.CurrentPath();
    clock.Advance(1);
    log.Write(LogSeverity::Info, "[INF]next");
    EXPECT_NE(log.CurrentPath(), first);
    EXPECT_EQ(LogFiles(dir / "log").size(), 2u);
    EXPECT_NE(log.CurrentPath().find("_20191106061922_1.txt"), std::string::npos) << log.CurrentPath();
    EXPECT_EQ(Decoded(log.CurrentPath()), "[2019-11-06 06-19-22][INF]next\r\n");
}

TEST_F(WorkerLogTest, MissingLogFolderDropsLinesWithoutStalling) {
    std::filesystem::remove(dir / "log");
    WorkerLog log(dir.path(), "");
    for (int i = 0; i < 100; ++i) log.Write(LogSeverity::Error, "[ERR]nowhere to go");
    EXPECT_EQ(log.CurrentPath(), "");
}

TEST_F(WorkerLogTest, MessagesGoThroughTheInstalledSinkAndAreLimited) {
    WorkerLog log(dir.path(), "");
    LogSink* previous = SetLogSink(&log);
    LogError("[ERR]Send notify to device failed. ErrorCode:%ld.", 10054L);
    LogInfo("[INF]%s", std::string(9000, 'c').c_str());
    SetLogSink(previous);
    std::string text = Decoded(log.CurrentPath());
    EXPECT_NE(text.find("[ERR]Send notify to device failed. ErrorCode:10054.\r\n"), std::string::npos);
    auto pos = text.find("[INF]c");
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(text.find("\r\n", pos) - pos, 8191u);
}

TEST_F(WorkerLogTest, NamedLockIsHeldAcrossProcessesAndReleasedByADeadHolder) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        platform::NamedLock lock("Log RoVezerar");
        bool got = lock.Acquire(1000);
        char c = got ? '1' : '0';
        (void)!write(ready[1], &c, 1);
        for (;;) pause();  // hold the lock until the parent kills this process
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    platform::NamedLock lock("Log RoVezerar");
    EXPECT_FALSE(lock.Acquire(50));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    EXPECT_TRUE(lock.Acquire(2000)) << "a dead holder must not keep the lock";
    lock.Release();
    close(ready[0]);
    close(ready[1]);
}

TEST(FixedFileLogTest, TruncatesAtFirstLineAndStartsOverAtLimit) {
    TempDir dir;
    setenv("ORVANE_LOCK_DIR", dir.path().c_str(), 1);
    FakeClock clock(LocalInstant());
    ScopedClock scoped(clock);
    const std::string path = dir / "LOG_UI.txt";
    testing::WriteFile(path, "old contents of an earlier run");
    {
        FixedFileLog log(path);
        EXPECT_EQ(ReadFile(path), "old contents of an earlier run") << "opened only at the first line";
        log.Write(LogSeverity::Info, "[INF]first");
        EXPECT_EQ(Decoded(path), "[2019-11-06 06-19-21][INF]first\r\n");
        log.SetSizeLimit(100);
        log.Write(LogSeverity::Info, "[INF]" + std::string(60, 'y'));
        log.Write(LogSeverity::Error, "[ERR]after the limit");
        EXPECT_EQ(Decoded(path), "[2019-11-06 06-19-21][ERR]after the limit\r\n");
        log.SetLevel(2);
        log.Write(LogSeverity::Info, "[INF]filtered");
        EXPECT_EQ(Decoded(path).find("filtered"), std::string::npos);
    }
    unsetenv("ORVANE_LOCK_DIR");
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(WorkerLogTest, AFileIsNewAndForRootAndItsGroupOnlyAndALinkInItsPlaceIsLeftAlone) {
    const std::string target = dir / "target";
    testing::WriteFile(target, "keep");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string taken = dir / ("log/LOG_" + std::to_string(getpid()) + "_20191106061921_0.txt");
    ASSERT_EQ(::symlink(target.c_str(), taken.c_str()), 0);
    const mode_t oldMask = ::umask(0);
    WorkerLog log(dir.path(), "");
    log.Write(LogSeverity::Info, "[INF]x");
    ::umask(oldMask);
    EXPECT_EQ(ReadFile(target), "keep");
    EXPECT_EQ(ModeOf(target), 0600u);
    // The taken name is passed over for the next index.
    EXPECT_EQ(log.CurrentPath(), dir / ("log/LOG_" + std::to_string(getpid()) + "_20191106061921_1.txt"));
    EXPECT_EQ(ModeOf(log.CurrentPath()), 0640u);
}

TEST(FixedFileLogTest, ALinkOrASecondNameOrAnotherUsersFileIsReplacedNotWrittenAndAnOldFileClosedToOthers) {
    TempDir dir;
    testing::ScopedEnv locks("ORVANE_LOCK_DIR", dir.path());
    FakeClock clock(LocalInstant());
    ScopedClock scoped(clock);
    const std::string path = dir / "LOG_OrvaneSRV.txt";
    const std::string target = dir / "target";
    testing::WriteFile(target, "keep");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string line = "[2019-11-06 06-19-21][INF]new run\r\n";
    auto expectNewFile = [&](const char* what) {
        FixedFileLog(path).Write(LogSeverity::Info, "[INF]new run");
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << what;
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid()) << what;
        EXPECT_EQ(Decoded(path), line) << what;
        EXPECT_EQ(ReadFile(target), "keep") << what;
        EXPECT_EQ(ModeOf(target), 0600u) << what;
    };

    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    expectNewFile("a link");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);
    expectNewFile("a second name");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        expectNewFile("another user's file");
    }

    // A file of an earlier version, readable by everyone: emptied, and no longer readable by all.
    testing::WriteFile(path, "old run");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    FixedFileLog(path).Write(LogSeverity::Info, "[INF]new run");
    EXPECT_EQ(Decoded(path), line);
    EXPECT_EQ(ModeOf(path), 0640u);
}

// Makes a worker log file of `bytes` bytes last modified `age` seconds ago.
void MakeLogFile(const std::string& path, std::size_t bytes, int age) {
    testing::WriteFile(path, std::string(bytes, 'x'));
    const timespec when[2] = {{::time(nullptr) - age, 0}, {::time(nullptr) - age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), when, 0), 0);
}

TEST(LogFolderLimitTest, TheOldestFinishedWorkerFilesGoFirstAndNoFileBeingWritten) {
    TempDir dir;
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string d = std::to_string(dead), live = std::to_string(getppid());
    const std::string stamp = "_20191106061921_";
    MakeLogFile(dir / ("LOG_" + d + stamp + "0.txt"), 1000, 500);
    MakeLogFile(dir / ("LOG10.0.0.5_" + d + stamp + "1.txt"), 1000, 400);
    MakeLogFile(dir / ("LOG_" + live + stamp + "0.txt"), 1000, 450);  // a running worker's finished file
    MakeLogFile(dir / ("LOG_" + live + stamp + "1.txt"), 1000, 900);  // ... and the one it still writes
    MakeLogFile(dir / "LOG_OrvaneSRV.txt", 1000, 1000);
    MakeLogFile(dir / "LOG_UI.txt", 1000, 1000);
    MakeLogFile(dir / ("LOG_" + d + stamp + "2.txt"), 1000, 300);
    const std::string current = dir / ("LOG_" + std::to_string(getpid()) + stamp + "0.txt");
    MakeLogFile(current, 1000, 2000);

    EXPECT_EQ(TrimLogFolder(dir.path(), 8000, current), 0) << "within the limit";
    EXPECT_EQ(TrimLogFolder(dir.path(), 5000, current), 3);
    std::vector<std::string> kept{"LOG_" + d + stamp + "2.txt", "LOG_" + std::to_string(getpid()) + stamp + "0.txt",
                                  "LOG_" + live + stamp + "1.txt", "LOG_OrvaneSRV.txt", "LOG_UI.txt"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(LogFiles(dir.path()), kept);
    // Below what can go: everything that may go is gone, the rest stays.
    EXPECT_EQ(TrimLogFolder(dir.path(), 0, current), 1);
    EXPECT_EQ(LogFiles(dir.path()).size(), 4u);
}

TEST_F(WorkerLogTest, AWorkerKeepsItsFolderWithinTheLimitAsItsFilesRoll) {
    WorkerLog log(dir.path(), "");
    log.SetSizeLimit(1000);
    log.SetFolderLimit(3000);
    for (int i = 0; i < 200; ++i) {
        clock.Advance(1);
        log.Write(LogSeverity::Info, "[INF]" + std::string(100, 'z'));
    }
    std::uint64_t total = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir / "log")) total += e.file_size();
    // The limit, plus the file being written (one roll size and a line).
    EXPECT_LE(total, 3000u + 1000u + 300u);
    EXPECT_GE(LogFiles(dir / "log").size(), 3u);
    EXPECT_TRUE(std::filesystem::exists(log.CurrentPath()));
}

TEST(FormatSystemErrorTest, HexCodeAndSystemText) {
    std::string s = FormatSystemError(2);
    EXPECT_EQ(s.rfind("error 0x2: ", 0), 0u) << s;
    EXPECT_GT(s.size(), std::string("error 0x2: ").size());
    EXPECT_LE(Utf16Length(FormatSystemError(0x7FFFFFFF)), 259u);
}

TEST(LogRepeatLimiterTest, WritesFirstCountsRepeatsAndReportsThemWithTheNextWrittenLine) {
    LogRepeatLimiter limiter(60);
    const std::uint64_t before = LogRepeatLimiter::TotalSuppressed();
    std::uint64_t suppressed = 99;
    EXPECT_TRUE(limiter.AllowAt(1000, suppressed));
    EXPECT_EQ(suppressed, 0u);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(limiter.AllowAt(1000 + i * 10, suppressed));
    EXPECT_EQ(LogRepeatLimiter::TotalSuppressed() - before, 5u);
    EXPECT_TRUE(limiter.AllowAt(1060, suppressed));
    EXPECT_EQ(suppressed, 5u);
    EXPECT_FALSE(limiter.AllowAt(1061, suppressed));
    // A clock set back does not silence the line for good.
    EXPECT_TRUE(limiter.AllowAt(500, suppressed));
    EXPECT_EQ(suppressed, 1u);

    MemoryLog log;
    LogSink* previous = SetLogSink(&log);
    LogRepeatLimiter macroLimiter(3600);
    for (int i = 0; i < 3; ++i) ORVANE_LOG_LIMITED(macroLimiter, LogError, "[ERR]Garbage %d.", i);
    SetLogSink(previous);
    EXPECT_EQ(log.Text(), "[ERR]Garbage 0.\n");
}

}  // namespace
}  // namespace orvane
