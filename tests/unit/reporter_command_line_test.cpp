#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "reporter/reporter.h"
#include "reporter/reporter_log.h"
#include "test_util.h"

namespace orvane {
namespace {

using testing::ScopedMemoryLog;

TEST(ReporterCommandLine, OnlyFiveArgumentsRunAndHelpAloneShowsUsage) {
    const char* four[] = {"Quenby", "10.0.0.1", "9000", "0", "3"};
    const char* five[] = {"Quenby", "10.0.0.1", "9000", "0", "3", "key"};
    const char* six[] = {"Quenby", "10.0.0.1", "9000", "0", "3", "key", "x"};
    const char* help[] = {"Quenby", "--help"};
    const char* helpAmongFive[] = {"Quenby", "--help", "9000", "0", "3", "key"};
    EXPECT_EQ(ClassifyCommandLine(5, four), CommandLineUse::Nothing);
    EXPECT_EQ(ClassifyCommandLine(7, six), CommandLineUse::Nothing);
    EXPECT_EQ(ClassifyCommandLine(1, four), CommandLineUse::Nothing);
    EXPECT_EQ(ClassifyCommandLine(6, five), CommandLineUse::Run);
    EXPECT_EQ(ClassifyCommandLine(2, help), CommandLineUse::Help);
    EXPECT_EQ(ClassifyCommandLine(6, helpAmongFive), CommandLineUse::Run);
}

TEST(ReporterCommandLine, NumbersAreReadLikeAtoiInSixteenBitsAndRepetitionsStopAtThree) {
    ScopedMemoryLog log;
    ReporterArgs a;
    const char* five[] = {"192.0.2.10", "9000", "0", "9", "secret"};
    ASSERT_TRUE(ReadArguments(five, a));
    EXPECT_EQ(a.workerHostOrder, 0xC000020Au);
    EXPECT_EQ(a.port, 9000);
    EXPECT_EQ(a.kind, 0);
    EXPECT_EQ(a.repetitions, 3);
    EXPECT_EQ(a.argumentText, "192.0.2.10 9000 0 9 secret");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.key.data())), "secret");

    const char* odd[] = {"192.0.2.10", " 70000x", "abc", "2", "k"};
    ASSERT_TRUE(ReadArguments(odd, a));
    EXPECT_EQ(a.port, 70000 % 65536);
    EXPECT_EQ(a.kind, 0) << "no number reads as 0, a logon";
    EXPECT_EQ(a.repetitions, 2);

    const char* negative[] = {"192.0.2.10", "9000", "-1", "-1", "k"};
    ASSERT_TRUE(ReadArguments(negative, a));
    EXPECT_NE(a.kind, 0) << "any other number is a logoff";
    EXPECT_EQ(a.repetitions, 3) << "-1 is 65535 in 16 bits, above 3";
}

TEST(ReporterCommandLine, LongKeysKeepTheirFirst31Bytes) {
    ReporterArgs a;
    std::string key(40, 'k');
    const char* five[] = {"192.0.2.10", "9000", "0", "1", key.c_str()};
    ASSERT_TRUE(ReadArguments(five, a));
    EXPECT_EQ(a.key[30], 'k');
    EXPECT_EQ(a.key[31], 0);
}

TEST(ReporterCommandLine, BadAddressesAndOverlongArgumentTextsAreRefused) {
    ScopedMemoryLog log;
    ReporterArgs a;
    const char* name[] = {"worker.corp", "9000", "0", "1", "k"};
    EXPECT_FALSE(ReadArguments(name, a));
    EXPECT_TRUE(log.Contains("The worker address worker.corp is not a dotted IPv4 address"));

    // 259 characters are the most an argument text may have.
    std::string key(259 - std::string("192.0.2.10 9000 0 1 ").size(), 'k');
    const char* fits[] = {"192.0.2.10", "9000", "0", "1", key.c_str()};
    EXPECT_TRUE(ReadArguments(fits, a));
    key += 'k';
    const char* tooLong[] = {"192.0.2.10", "9000", "0", "1", key.c_str()};
    EXPECT_FALSE(ReadArguments(tooLong, a));
    EXPECT_TRUE(log.Contains("The command line is too long (at most 259 characters)"));
}

TEST(ReporterStart, AdministratorInAnyCaseIsRefusedWithTheTwoLines) {
    for (const char* name : {"administrator", "Administrator", "ADMINISTRATOR", "administrator@corp.example.com"}) {
        ScopedMemoryLog log;
        ProcessFacts facts;
        facts.haveUser = true;
        facts.loginName = name;
        facts.havePath = true;
        facts.modulePath = "/opt/orvane/Quenby";
        ReporterSession s;
        EXPECT_FALSE(InitCurrentProcess(facts, s)) << name;
        EXPECT_EQ(log.Text(), "Login user is ad server account!\nInit current process failed!\n") << name;
    }
}

TEST(ReporterStart, UserNamesLoseTheirDomainPartAndFailuresAreEachLogged) {
    {
        ScopedMemoryLog log;
        ProcessFacts facts{true, "ann@corp.example.com", 0, true, "/home/ann/.local/share/Orvane/Pemrose"};
        ReporterSession s;
        ASSERT_TRUE(InitCurrentProcess(facts, s));
        EXPECT_EQ(s.userName, "ann");
        EXPECT_EQ(s.loginName, "ann@corp.example.com");
        EXPECT_TRUE(IsWatchCopyPath(s.modulePath));
        EXPECT_EQ(log.Text(), "");
    }
    {
        ScopedMemoryLog log;
        ProcessFacts facts{false, "", 2, false, ""};
        ReporterSession s;
        EXPECT_FALSE(InitCurrentProcess(facts, s));
        EXPECT_EQ(log.Text(),
                  "get login name fail! errorcode:2\nGet current module path failed\nInit current process failed!\n");
    }
    EXPECT_FALSE(IsWatchCopyPath("/opt/orvane/Quenby"));
    EXPECT_FALSE(IsWatchCopyPath("/home/Pemrose/Quenby"));
    EXPECT_FALSE(IsWatchCopyPath("/home/ann/Pemrose.old"));
}

TEST(ReporterLogFile, NameCarriesKindStartTimeWithItsBlankAndProcessId) {
    platform::LocalTime t{2024, 3, 5, 8, 15, 2};
    EXPECT_EQ(ReporterLogName(0, t, 4321), "LOG_LOGON_20240305081502 _4321.txt");
    EXPECT_EQ(ReporterLogName(1, t, 4321), "LOG_LOGOFF_20240305081502 _4321.txt");
}

TEST(ReporterLogFile, EveryMessageHasItsOwnByteOrderMarkAndNoPrefix) {
    testing::TempDir dir;
    const std::string path = dir / "LOG_LOGON_x.txt";
    {
        ReporterLog log(path);
        ASSERT_TRUE(log.IsOpen());
        LogSink* previous = SetLogSink(&log);
        LogInfo("send request to AD, already sent %u times.", 1u);
        LogError("[ERR]Query Value failed!");
        LogError("WSA startup fail! errorcode:%d\n", 10091);
        SetLogSink(previous);
    }
    std::string expected = "\xFF\xFE" + Utf8ToUtf16LeBytes("send request to AD, already sent 1 times.\r\n") +
                           "\xFF\xFE" + Utf8ToUtf16LeBytes("Query Value failed!\r\n") + "\xFF\xFE" +
                           Utf8ToUtf16LeBytes("WSA startup fail! errorcode:10091\n\r\n");
    EXPECT_EQ(testing::ReadFile(path), expected);

    // A second run writing the same name appends instead of destroying the first.
    {
        ReporterLog again(path);
        again.Write(LogSeverity::Info, "x");
    }
    EXPECT_EQ(testing::ReadFile(path), expected + "\xFF\xFE" + Utf8ToUtf16LeBytes("x\r\n"));
}

TEST(ReporterLogFile, AnUnopenableFileSwallowsMessages) {
    ReporterLog log("/nonexistent-folder-for-orvane/LOG.txt");
    EXPECT_FALSE(log.IsOpen());
    log.Write(LogSeverity::Error, "nothing");  // must not crash
}

}  // namespace
}  // namespace orvane
