#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/profile.h"
#include "common/text.h"
#include "tests/unit/test_util.h"

namespace orvane {
namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        dir_ = tmp_.path();
        path_ = dir_ + "/config.ini";
    }
    void TearDown() override {
        // Some tests take the folder's permissions away; TempDir must be able to remove it.
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    }
    void Write(const std::string& bytes) { testing::WriteFile(path_, bytes); }
    std::string Read() const { return testing::ReadFile(path_); }
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testing::TempDir tmp_;
    std::string dir_;
    std::string path_;
};

TEST_F(ProfileTest, NamesIgnoreCaseAndTheFirstMatchWins) {
    Write("[modeltype]\n"
          "VALUE=1\n"
          "value=2\n"
          "[Other]\n"
          "Key=x\n"
          "[MODELTYPE]\n"
          "Value=3\n"
          "Extra=later section\n");
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    EXPECT_EQ(f.GetInt("ModelType", "Value", -1), 1);
    // A key found only in a later section of the same name is still found.
    ASSERT_NE(f.Find("modelType", "extra"), nullptr);
    EXPECT_EQ(*f.Find("modelType", "extra"), "later section");
    EXPECT_EQ(f.KeyNames("ModelType"), (std::vector<std::string>{"VALUE", "Extra"}));
    EXPECT_EQ(f.Find("Other", "Value"), nullptr);
    EXPECT_EQ(f.Find("Missing", "Value"), nullptr);
}

TEST_F(ProfileTest, ValuesAreTrimmedUnquotedAndCutToTheReadSize) {
    Write("[S]\n"
          "  Spaced  =   12 34  \r\n"
          "Quoted=\"  padded  \"\n"
          "HalfQuote=\"open\n"
          "Empty=\n"
          "Wide=\xE4\xB8\xAD\xE6\x96\x87xyz\n");
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    EXPECT_EQ(f.GetString("S", "Spaced", "ERROR", 100), "12 34");
    EXPECT_EQ(f.GetString("S", "Quoted", "ERROR", 100), "  padded  ");
    EXPECT_EQ(f.GetString("S", "HalfQuote", "ERROR", 100), "\"open");
    EXPECT_EQ(f.GetString("S", "Empty", "ERROR", 100), "");
    EXPECT_EQ(f.GetString("S", "Nothing", "ERROR", 100), "ERROR");
    // The size counts UTF-16 units with the terminator: 4 keeps three characters.
    EXPECT_EQ(f.GetString("S", "Wide", "ERROR", 4), "\xE4\xB8\xAD\xE6\x96\x87x");
    EXPECT_EQ(f.GetString("S", "Nothing", "ERROR", 3), "ER");
    EXPECT_EQ(f.GetString("S", "Wide", "ERROR", 0), "");
}

TEST_F(ProfileTest, IntegersAreTheLeadingDecimalNumber) {
    Write("[N]\n"
          "a=12abc\n"
          "b=abc\n"
          "c=-5\n"
          "d=+7\n"
          "e=\n"
          "f=4294967295\n"
          "g=\"42\"\n"
          "h\n"
          "i=  0x1F\n");
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    EXPECT_EQ(f.GetInt("N", "a", -1), 12);
    EXPECT_EQ(f.GetInt("N", "b", -1), 0);
    EXPECT_EQ(f.GetInt("N", "c", -1), -5);
    EXPECT_EQ(f.GetInt("N", "d", -1), 7);
    EXPECT_EQ(f.GetInt("N", "e", 99), 99);  // empty reads as missing
    EXPECT_EQ(f.GetInt("N", "f", 0), -1);   // 32-bit result
    EXPECT_EQ(f.GetInt("N", "g", -1), 42);
    EXPECT_EQ(f.GetInt("N", "h", 255), 255);  // a key line without "=" has no value
    EXPECT_EQ(f.GetInt("N", "i", -1), 0);
    EXPECT_EQ(f.GetInt("N", "missing", 255), 255);
}

TEST_F(ProfileTest, CommentsStrayLinesAndKeysBeforeAnySectionAreNotKeys) {
    Write("Value=7\n"
          "[Section]\n"
          ";Value=1\n"
          "# Value=2\n"
          "[Broken\n"
          "Value=3\n");
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    // "[Broken" is no header, so Value=3 still belongs to Section.
    EXPECT_EQ(f.GetInt("Section", "Value", -1), 3);
    EXPECT_EQ(f.KeyNames("Section"), (std::vector<std::string>{"Value"}));
    EXPECT_FALSE(f.HasSection("Broken"));
}

TEST_F(ProfileTest, WritesChangeOnlyTheirOwnLines) {
    const std::string original =
        "; head comment\r\n"
        "\r\n"
        "[ModelType]\r\n"
        "; what the mode means\r\n"
        "  Value = 0\r\n"
        "\r\n"
        "garbage line without meaning\r\n"
        "[ListenPort]\r\n"
        "Value=6789\r\n"
        "; gateways follow\r\n"
        "[Firewall0]\r\n"
        "Ip=10.0.0.1";  // no line end at the end of the file
    Write(original);

    ASSERT_TRUE(WriteProfileString(path_, "modeltype", "value", "1"));
    std::string expected = original;
    expected.replace(expected.find("  Value = 0"), 11, "  Value = 1");
    EXPECT_EQ(Read(), expected);

    // A new key goes after the section's last entry, before the comment that leads on.
    ASSERT_TRUE(WriteProfileString(path_, "ListenPort", "Extra", "x"));
    expected.replace(expected.find("Value=6789\r\n") + 12, 0, "Extra=x\r\n");
    EXPECT_EQ(Read(), expected);

    // A key added to the last section, which lacked a line end, and a new section at the end.
    ASSERT_TRUE(WriteProfileString(path_, "Firewall0", "Port", "6001"));
    expected += "\r\nPort=6001\r\n";
    EXPECT_EQ(Read(), expected);
    ASSERT_TRUE(WriteProfileString(path_, "Firewall1", "Ip", "10.0.0.2"));
    expected += "\r\n[Firewall1]\r\nIp=10.0.0.2\r\n";
    EXPECT_EQ(Read(), expected);

    // A value that trimming or unquoting would change is stored so that it reads back as written.
    ASSERT_TRUE(WriteProfileString(path_, "Firewall1", "Note", " padded "));
    ASSERT_TRUE(WriteProfileString(path_, "Firewall1", "Quote", "\"q\""));
    EXPECT_EQ(ReadProfileString(path_, "Firewall1", "Note", "ERROR", 64), " padded ");
    EXPECT_EQ(ReadProfileString(path_, "Firewall1", "Quote", "ERROR", 64), "\"q\"");
}

TEST_F(ProfileTest, RemovingKeysAndSectionsKeepsTheRest) {
    const std::string original =
        "[AdServerNum]\n"
        "Value=3\n"
        "\n"
        "[AdServer1]\n"
        "; the second server\n"
        "Ip=10.0.0.6\n"
        "UserName=CORP\\admin\n"
        "\n"
        "; the third server\n"
        "[AdServer2]\n"
        "Ip=10.0.0.7\n"
        "[adserver1]\n"
        "Ip=duplicate\n"
        "\n"
        "[Tail]\n"
        "Value=1\n";
    Write(original);

    ASSERT_TRUE(WriteProfileString(path_, "AdServer2", "Ip", nullptr));
    EXPECT_TRUE(ReadProfileKeyNames(path_, "AdServer2").empty());
    std::string expected = original;
    expected.erase(expected.find("Ip=10.0.0.7\n"), 12);
    EXPECT_EQ(Read(), expected);

    // Every section of the name goes, with its entries; the comment leading to the next one stays.
    ASSERT_TRUE(WriteProfileString(path_, "ADSERVER1", nullptr, nullptr));
    EXPECT_EQ(Read(),
              "[AdServerNum]\n"
              "Value=3\n"
              "\n"
              "; the third server\n"
              "[AdServer2]\n"
              "\n"
              "[Tail]\n"
              "Value=1\n");
    EXPECT_EQ(ReadProfileString(path_, "AdServer1", "Ip", "ERROR", 64), "ERROR");

    // Adding and removing a section at the end leaves the file exactly as it was.
    std::string before = Read();
    ASSERT_TRUE(WriteProfileString(path_, "Firewall3", "Ip", "10.0.0.9"));
    ASSERT_TRUE(WriteProfileString(path_, "Firewall3", nullptr, nullptr));
    EXPECT_EQ(Read(), before);

    // Removing what is not there succeeds and writes nothing.
    ASSERT_TRUE(WriteProfileString(path_, "Nowhere", nullptr, nullptr));
    ASSERT_TRUE(WriteProfileString(path_, "Tail", "Nothing", nullptr));
    EXPECT_EQ(Read(), before);
}

TEST_F(ProfileTest, RefusesWhatCouldNotBeReadBack) {
    const std::string original = "[S]\nValue=1\n";
    Write(original);
    EXPECT_FALSE(WriteProfileString(path_, "S", "Value", "1\n[Injected]\nValue=2"));
    EXPECT_FALSE(WriteProfileString(path_, "S", "Va=lue", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "S]x", "Value", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "S", ";Value", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "S", " Value", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "", "Value", "1"));
    EXPECT_EQ(Read(), original);
}

TEST_F(ProfileTest, AWriteCreatesAMissingFileAndARemovalDoesNot) {
    ASSERT_TRUE(WriteProfileString(path_, "Gone", nullptr, nullptr));
    EXPECT_FALSE(std::filesystem::exists(path_));
    ASSERT_TRUE(WriteProfileString(path_, "ModelType", "Value", "0"));
    EXPECT_EQ(Read(), "[ModelType]\nValue=0\n");
    // Settings are for root and an administrator's group only, whatever the umask.
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);
    // A folder that does not exist cannot take the file.
    EXPECT_FALSE(WriteProfileString(dir_ + "/missing/config.ini", "S", "K", "v"));

    // The group an administrator gave the file stays, and so does a narrower mode.
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file another group needs root";
    ASSERT_EQ(::chown(path_.c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    ASSERT_TRUE(WriteProfileString(path_, "ModelType", "Value", "1"));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ProfileTest, Utf16AndBomFilesAreReadAndWrittenInTheirOwnEncoding) {
    // "[S]\r\nName=中文\r\n" in UTF-16LE after FF FE.
    std::string body = Utf8ToUtf16LeBytes("[S]\r\nName=\xE4\xB8\xAD\xE6\x96\x87\r\n");
    Write("\xFF\xFE" + body);
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    EXPECT_EQ(f.encoding(), ProfileFile::Encoding::Utf16Le);
    EXPECT_EQ(f.GetString("S", "Name", "ERROR", 64), "\xE4\xB8\xAD\xE6\x96\x87");

    ASSERT_TRUE(WriteProfileString(path_, "S", "Port", "6001"));
    EXPECT_EQ(Read(), "\xFF\xFE" + Utf8ToUtf16LeBytes("[S]\r\nName=\xE4\xB8\xAD\xE6\x96\x87\r\nPort=6001\r\n"));

    Write("\xEF\xBB\xBF[S]\nValue=1\n");
    ASSERT_TRUE(WriteProfileString(path_, "S", "Value", "2"));
    EXPECT_EQ(Read(), "\xEF\xBB\xBF[S]\nValue=2\n");
    EXPECT_EQ(ReadProfileInt(path_, "s", "value", -1), 2);
}

// Found by fuzzing (config_ini): a zero unit ended the text of a UTF-16LE file, so the first write
// dropped every line after it; lone surrogates and an odd last byte were lost the same way.
TEST_F(ProfileTest, AWriteToAUtf16FileKeepsZeroUnitsLoneSurrogatesAndAnOddLastByte) {
    // A zero unit after "Value", a lone high and a lone low surrogate, and a stray last byte.
    const std::string file = "\xFF\xFE" + Utf8ToUtf16LeBytes("[ModelType]\r\nValue") + std::string(2, '\0') +
                             Utf8ToUtf16LeBytes("=1\r\n[Firewall0]\r\nIp=10.0.0.1\r\nNote=") +
                             std::string("\x00\xD8\x41\x00\x00\xDC", 6) + Utf8ToUtf16LeBytes("\r\n") + "\x7F";
    Write(file);
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    EXPECT_EQ(f.Serialize(), file) << "reading changes nothing";
    ASSERT_NE(f.Find("Firewall0", "Ip"), nullptr) << "the lines after the zero unit are read";
    EXPECT_EQ(*f.Find("Firewall0", "Ip"), "10.0.0.1");

    ASSERT_TRUE(WriteProfileString(path_, "Firewall0", "Port", "2345"));
    const std::string written = Read();
    const std::string added = Utf8ToUtf16LeBytes("Port=2345\r\n");
    ASSERT_GE(written.size(), file.size() + added.size());
    EXPECT_EQ(written, file.substr(0, file.size() - 1) + added + "\x7F") << "only the new line is added";
    EXPECT_EQ(ReadProfileInt(path_, "Firewall0", "Port", -1), 2345);
}

TEST_F(ProfileTest, AFailedWriteLeavesTheOldFileAndNoLeftovers) {
    const std::string original = "[S]\nValue=1\n";
    Write(original);
    ::chmod(path_.c_str(), 0640);

    // A file-size limit makes the write of the new content fail even for root.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = WriteProfileString(path_, "S", "Value", std::string(200, 'x').c_str());
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(written);
    EXPECT_EQ(Read(), original);
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"config.ini", "config.ini.lock"}));

    // A lock that cannot be taken refuses the write as well.
    std::filesystem::remove(path_ + ".lock");
    std::filesystem::create_directory(path_ + ".lock");
    EXPECT_FALSE(WriteProfileString(path_, "S", "Value", "2"));
    EXPECT_EQ(Read(), original);
    std::filesystem::remove(path_ + ".lock");

    // A successful write keeps the file's mode.
    ASSERT_TRUE(WriteProfileString(path_, "S", "Value", "2"));
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);
}

TEST_F(ProfileTest, ASaveRemovesTheTemporaryFilesOfKilledWritersOnly) {
    Write("[S]\nValue=1\n");
    // A process that has ended: the writer killed before its rename.
    pid_t dead = ::fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const std::string deadTmp = "config.ini.tmp." + std::to_string(dead) + ".0";
    // A writer still running (this process's parent), and names that are not temporaries.
    const std::string liveTmp = "config.ini.tmp." + std::to_string(::getppid()) + ".3";
    for (const std::string& name : {deadTmp, liveTmp, std::string("config.ini.tmp.x"), std::string("other.ini.tmp.1.0"),
                                    std::string("config.ini.tmp." + std::to_string(dead))}) {
        testing::WriteFile(dir_ + "/" + name, "[S]\nValue=old\n");
    }
    ASSERT_TRUE(WriteProfileString(path_, "S", "Value", "2"));
    std::vector<std::string> want{"config.ini", "config.ini.lock", liveTmp, "config.ini.tmp.x",
                                  "config.ini.tmp." + std::to_string(dead), "other.ini.tmp.1.0"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(FolderEntries(), want);
    EXPECT_EQ(Read(), "[S]\nValue=2\n");
}

TEST_F(ProfileTest, AWriteThroughASymbolicLinkReplacesTheTarget) {
    std::string real = dir_ + "/real.ini";
    testing::WriteFile(real, "[S]\nValue=1\n");
    std::filesystem::create_symlink(real, path_);
    ASSERT_TRUE(WriteProfileString(path_, "S", "Value", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(ReadProfileInt(real, "S", "Value", -1), 2);
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoChange) {
    Write("[Start]\nValue=0\n");
    constexpr int kThreads = 4, kWrites = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kWrites; ++i) {
                std::string section = testing::Numbered(testing::Numbered("T", t) + "_", i);
                EXPECT_TRUE(WriteProfileString(path_, section, "Value", std::to_string(i).c_str()));
            }
        });
    }
    for (auto& th : threads) th.join();
    ProfileFile f;
    ASSERT_TRUE(f.Load(path_));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_EQ(f.GetInt(testing::Numbered(testing::Numbered("T", t) + "_", i), "Value", -1), i);
        }
    }
    EXPECT_EQ(f.GetInt("Start", "Value", -1), 0);
}

TEST_F(ProfileTest, AnEditChangesSeveralKeysInOneReplacement) {
    Write("[Count]\nValue=1\n");
    {
        ProfileEdit edit(path_);
        ASSERT_TRUE(edit.Open());
        edit.File().Set("Count", "Value", "2");
        edit.File().Set("Entry1", "Ip", "10.0.0.1");
        // Nothing is on disk before the commit.
        EXPECT_EQ(ReadProfileInt(path_, "Count", "Value", -1), 1);
        ASSERT_TRUE(edit.Commit());
    }
    EXPECT_EQ(Read(), "[Count]\nValue=2\n\n[Entry1]\nIp=10.0.0.1\n");
    {
        // Dropped without a commit: the file stays.
        ProfileEdit edit(path_);
        ASSERT_TRUE(edit.Open());
        edit.File().RemoveSection("Entry1");
    }
    EXPECT_EQ(ReadProfileString(path_, "Entry1", "Ip", "ERROR", 64), "10.0.0.1");
}

}  // namespace
}  // namespace orvane
