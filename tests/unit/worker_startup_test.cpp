#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <filesystem>

#include "common/file_version_text.h"
#include "platform/crash_handler.h"
#include "platform/file_version.h"
#include "platform/process.h"
#include "test_util.h"
#include "worker/startup/clean_overdue_log.h"
#include "worker/startup/command_line.h"

namespace orvane {
namespace {

using testing::FakeClock;
using testing::ScopedClock;
using testing::ScopedMemoryLog;
using testing::TempDir;

WorkerCommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "Orvane");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ArgumentCountDecidesServerAndHeartbeat) {
    auto a = Parse({".", "0"});
    EXPECT_EQ(a.serverArgument, "");
    EXPECT_TRUE(a.heartbeat);
    auto b = Parse({"10.0.0.5", "0"});
    EXPECT_EQ(b.serverArgument, "10.0.0.5");
    EXPECT_TRUE(b.heartbeat);
    auto c = Parse({"10.0.0.6"});
    EXPECT_EQ(c.serverArgument, "10.0.0.6");
    EXPECT_FALSE(c.heartbeat);
    auto d = Parse({});
    EXPECT_EQ(d.serverArgument, "");
    EXPECT_FALSE(d.heartbeat);
    auto e = Parse({"10.0.0.5", "0", "x"});
    EXPECT_EQ(e.serverArgument, "");
    EXPECT_FALSE(e.heartbeat);
    // A single "." is an address like any other; only the two-argument form maps it to none.
    EXPECT_EQ(Parse({"."}).serverArgument, ".");
    EXPECT_EQ(Parse({std::string(200, '9').c_str()}).serverArgument.size(), 95u);
}

// Creation time of a file, as the clean-up reads it.
std::int64_t CreatedAt(const std::string& path) {
    struct statx sx {};
    EXPECT_EQ(statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx), 0);
    return (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
}

TEST(CleanOverdueLog, DeletesFromSevenDaysOnKeepsYoungerFutureAndFolders) {
    TempDir dir;
    testing::WriteFile(dir / "a.txt", "x");
    std::filesystem::create_directory(dir / "sub");
    const std::int64_t created = CreatedAt(dir / "a.txt");
    FakeClock clock(created + 604799);
    ScopedClock scoped(clock);
    EXPECT_EQ(CleanOverdueLogPass(dir.path()), 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "a.txt"));

    clock.Set(created - 3600);  // the file lies in the future
    EXPECT_EQ(CleanOverdueLogPass(dir.path()), 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "a.txt"));

    clock.Set(created + 604800);
    EXPECT_EQ(CleanOverdueLogPass(dir.path()), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));
    EXPECT_EQ(CleanOverdueLogPass(dir / "missing"), 0);
}

TEST(CleanOverdueLog, RunsOnlyDuringEvenHours) {
    TempDir dir;
    setenv("ORVANE_PROGRAM_FILES", dir.path().c_str(), 1);
    std::filesystem::create_directories(dir / "Orvane/Orvane/log");
    EXPECT_EQ(OverdueLogFolder(), dir / "Orvane/Orvane/log");
    testing::WriteFile(dir / "Orvane/Orvane/log/old.txt", "x");
    const std::int64_t created = CreatedAt(dir / "Orvane/Orvane/log/old.txt");

    // Find an instant more than 7 days later at 13:59 local time; the thread's first pass
    // then happens at 13:59 (odd: none) and its next one at 14:00.
    std::int64_t t = created + 8 * 86400;
    platform::LocalTime lt;
    for (int i = 0; i < 48 * 60; ++i, t += 60) {
        ASSERT_TRUE(platform::ToLocalTime(t, lt));
        if (lt.hour == 13 && lt.minute == 59) break;
    }
    ASSERT_EQ(lt.hour, 13);

    // A clock whose sleeps end the thread once it has slept twice.
    struct StoppingClock final : platform::Clock {
        FakeClock inner;
        std::atomic<bool>* stop = nullptr;
        bool sawFileAfterFirst = false;
        std::string file;
        int sleeps = 0;
        std::int64_t Now() override { return inner.Now(); }
        bool LocalNow(platform::LocalTime& o) override { return inner.LocalNow(o); }
        void SleepMs(unsigned ms) override {
            if (++sleeps == 1) sawFileAfterFirst = std::filesystem::exists(file);
            if (sleeps == 2) *stop = true;
            inner.SleepMs(ms);
        }
    } c;
    std::atomic<bool> stop{false};
    c.inner.Set(t - lt.second);
    c.stop = &stop;
    c.file = dir / "Orvane/Orvane/log/old.txt";
    ScopedClock scoped(c);
    CleanOverdueLog(&stop);
    EXPECT_TRUE(c.sawFileAfterFirst) << "no pass at 13:59";
    EXPECT_FALSE(std::filesystem::exists(c.file)) << "a pass at 14:00";
    unsetenv("ORVANE_PROGRAM_FILES");
}

TEST(CrashDump, NameIsPidTimeWithTrailingBlank) {
    EXPECT_EQ(platform::CrashDumpName(1234, 2019, 11, 6, 6, 19, 21), "1234-2019-11-06 061921 .dmp");
}

TEST(CrashDump, ALinkPlantedUnderTheDumpsNameIsNotFollowed) {
    TempDir dir;
    const std::string target = dir / "target";
    testing::WriteFile(target, "keep");
    pid_t child = fork();
    if (child == 0) {
        platform::InstallCrashHandler();
        platform::SetCrashDumpFolder(dir.path());
        // Every name the dump can have in the next seconds.
        const std::time_t now = std::time(nullptr);
        for (std::time_t t = now; t < now + 3; ++t) {
            std::tm tm{};
            localtime_r(&t, &tm);
            const std::string name = platform::CrashDumpName(static_cast<unsigned>(getpid()), tm.tm_year + 1900,
                                                             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            if (::symlink(target.c_str(), (dir / name).c_str()) != 0) _exit(2);
        }
        ::raise(SIGABRT);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // No dump could be written: the signal ends the process as if no handler were installed.
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_EQ(testing::ReadFile(target), "keep");
}

TEST(FileVersion, ReadsTheStampedVersionAndLogsEveryFailure) {
    ScopedMemoryLog log;
    std::string modulePath;
    int err;
    ASSERT_EQ(platform::GetModulePath(modulePath, 520, err), platform::ModulePathResult::Ok);
    std::string text;
    ASSERT_EQ(GetFileVersionText(modulePath.c_str(), &text, 260), 1);
    EXPECT_EQ(text, ORVANE_TEST_FILE_VERSION);

    // Capacity counts twice the text length: "1.0.0.1" (7) needs more than 14.
    std::string small = "unchanged";
    EXPECT_EQ(GetFileVersionText(modulePath.c_str(), &small, 2 * text.size()), 0);
    EXPECT_EQ(small, "unchanged");
    EXPECT_TRUE(log.Contains("[ERR]The version number buffer too small"));
    EXPECT_EQ(GetFileVersionText(modulePath.c_str(), &small, 2 * text.size() + 1), 1);

    EXPECT_EQ(GetFileVersionText(nullptr, &text, 260), 0);
    EXPECT_TRUE(log.Contains("[ERR]The parameter pszAppPath is null"));
    EXPECT_EQ(GetFileVersionText(modulePath.c_str(), nullptr, 260), 0);
    EXPECT_TRUE(log.Contains("[ERR]The parameter pszVersionNumber is null"));
    EXPECT_EQ(GetFileVersionText("/nonexistent/Orvane", &text, 260), 0);
    EXPECT_TRUE(log.Contains("[ERR]Get size of file version info failed! errorcode:2"));
    EXPECT_EQ(GetFileVersionText("/bin/sh", &text, 260), 0);  // an executable without our note
    EXPECT_TRUE(log.Contains("[ERR]Query Value failed!"));
}

TEST(FileVersion, StampingACopyChangesWhatIsRead) {
    TempDir dir;
    std::string modulePath;
    int err;
    ASSERT_EQ(platform::GetModulePath(modulePath, 520, err), platform::ModulePathResult::Ok);
    std::filesystem::copy_file(modulePath, dir / "copy");
    ASSERT_TRUE(platform::WriteFileVersion(dir / "copy", (3u << 16) | 1u, (10u << 16) | 3u));
    std::string text;
    ASSERT_EQ(GetFileVersionText((dir / "copy").c_str(), &text, 260), 1);
    EXPECT_EQ(text, "3.1.10.3");
}

}  // namespace
}  // namespace orvane
