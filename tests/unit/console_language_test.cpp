#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "common/profile.h"
#include "common/text.h"
#include "console/core/console_start.h"
#include "console/core/language.h"
#include "tests/unit/console_test_support.h"

namespace orvane::console {
namespace {

using orvane::testing::TempDir;
using orvane::testing::WriteFile;
using testing::DeliveredLanguageIni;

TEST(ConsoleLanguageTest, TheDeliveredFileFillsEverySlotOfBothLanguagesWithoutCutting) {
    TempDir dir;
    const std::string path = dir / "language.ini";
    WriteFile(path, DeliveredLanguageIni());
    ProfileFile raw;
    ASSERT_TRUE(raw.Load(path));
    for (std::uint32_t id : {kEnglish, kSimplifiedChinese}) {
        LanguageTable t;
        ASSERT_TRUE(t.Load(path, id)) << id << " fails at " << (t.FailedKey() ? t.FailedKey() : "?");
        for (std::size_t i = 0; i < kTextCount; ++i) {
            const TextSlot& slot = SlotOf(static_cast<TextId>(i));
            const std::string* stored = raw.Find(std::to_string(id), slot.key);
            ASSERT_NE(stored, nullptr) << slot.key;
            EXPECT_EQ(t.Text(static_cast<TextId>(i)), *stored) << id << " " << slot.key << " does not fit its slot";
        }
        EXPECT_NE(t.Text(TextId::Agent_AskDelADServer).find("%s"), std::string::npos);
        EXPECT_NE(t.Text(TextId::Agent_AskDelFirewall).find("%s"), std::string::npos);
        // The Options texts fit their buffers too.
        OptionTexts o = LoadOptionTexts(path, id);
        EXPECT_EQ(o.autoRun, *raw.Find(std::to_string(id), "Dlg_Option_AutoRun"));
        EXPECT_EQ(o.caption, *raw.Find(std::to_string(id), "Dlg_Option_Caption"));
    }
    LanguageTable en, zh;
    ASSERT_TRUE(en.Load(path, kEnglish));
    ASSERT_TRUE(zh.Load(path, kSimplifiedChinese));
    EXPECT_NE(en.Text(TextId::Server_CheckPW), zh.Text(TextId::Server_CheckPW));
}

TEST(ConsoleLanguageTest, TheTableHas106SlotsWithTheButtonKeysReadTwice) {
    std::multiset<std::string> keys;
    for (std::size_t i = 0; i < kTextCount; ++i) keys.insert(SlotOf(static_cast<TextId>(i)).key);
    EXPECT_EQ(keys.size(), 106u);
    for (const char* twice : {"Agent_Add", "Agent_Delete", "Agent_Edit"}) EXPECT_EQ(keys.count(twice), 2u) << twice;
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 103u);
    EXPECT_EQ(SlotOf(TextId::About_CopyRight).capacity, 260u);
    EXPECT_EQ(SlotOf(TextId::Agent_OrvaneStarted).capacity, 72u);
    EXPECT_EQ(SlotOf(TextId::Server_CheckPW).capacity, 56u);
    EXPECT_EQ(SlotOf(TextId::Firewall_PortInvalid).capacity, 48u);
    EXPECT_STREQ(SlotOf(TextId::Agent_AddDevice).key, "Agent_Add");
}

TEST(ConsoleLanguageTest, AKeyMissingInOneLanguageFailsThatLanguageOnly) {
    TempDir dir;
    const std::string path = dir / "language.ini";
    WriteFile(path, DeliveredLanguageIni());
    ASSERT_TRUE(WriteProfileString(path, "2052", "Server_CheckPW", nullptr));
    LanguageTable t;
    EXPECT_FALSE(t.Load(path, kSimplifiedChinese));
    EXPECT_STREQ(t.FailedKey(), "Server_CheckPW");
    EXPECT_FALSE(t.Loaded());
    EXPECT_TRUE(t.Text(TextId::About_Caption).empty()) << "a failed load leaves no half table";
    EXPECT_TRUE(t.Load(path, kEnglish));

    // The word ERROR counts as missing; a section of another language does not count at all.
    ASSERT_TRUE(WriteProfileString(path, "1033", "About_Ok", "ERROR"));
    EXPECT_FALSE(t.Load(path, kEnglish));
    EXPECT_STREQ(t.FailedKey(), "About_Ok");
    EXPECT_FALSE(t.Load(path, 1031));
    EXPECT_FALSE(t.Load(dir / "missing.ini", kEnglish));
}

TEST(ConsoleLanguageTest, OverLongTextsAreCutToTheirSlotInUtf16Units) {
    TempDir dir;
    const std::string path = dir / "language.ini";
    WriteFile(path, DeliveredLanguageIni());
    // 40 CJK characters into a 32-unit slot; 300 characters into the 260 read buffer.
    std::string caption;
    for (int i = 0; i < 40; ++i) caption += "关";
    ASSERT_TRUE(WriteProfileString(path, "1033", "About_Caption", caption.c_str()));
    ASSERT_TRUE(WriteProfileString(path, "1033", "About_CopyRight", std::string(300, 'c').c_str()));
    // A surrogate pair at the edge of a 48-unit slot is not split.
    std::string port = std::string(46, 'p') + "\xF0\x9F\x98\x80";
    ASSERT_TRUE(WriteProfileString(path, "1033", "Firewall_PortInvalid", port.c_str()));
    LanguageTable t;
    ASSERT_TRUE(t.Load(path, kEnglish));
    EXPECT_EQ(Utf16Length(t.Text(TextId::About_Caption)), 31u);
    EXPECT_EQ(t.Text(TextId::About_CopyRight), std::string(259, 'c'));
    EXPECT_EQ(t.Text(TextId::Firewall_PortInvalid), std::string(46, 'p'));
}

TEST(ConsoleLanguageTest, FormatTextsTakeTheAddressWithoutActingOnOtherPercentSigns) {
    EXPECT_EQ(FormatWithArgument("Delete the device %s?", "10.0.0.1"), "Delete the device 10.0.0.1?");
    EXPECT_EQ(FormatWithArgument("%n%d 100% %s %s", "a"), "%n%d 100% a %s");
    EXPECT_EQ(FormatWithArgument("no placeholder", "x"), "no placeholder");
    // Several values in turn; a placeholder with no value left stays empty, a spare value is dropped.
    EXPECT_EQ(FormatWithArguments("worker %s: running (%s), pid %s", {"a", "b%s", "7"}), "worker a: running (b%s), pid 7");
    EXPECT_EQ(FormatWithArguments("%s-%s 100%", {"x"}), "x- 100%");
    EXPECT_EQ(FormatWithArguments("%s", {"x", "y"}), "x");
}

TEST(ConsoleLanguageTest, OptionTextsFallBackToDefaultsAndAreCut) {
    TempDir dir;
    const std::string path = dir / "language.ini";
    WriteFile(path, "[1033]\nDlg_Option_Ok=Fine\nDlg_Option_AutoRun=" + std::string(50, 'a') + "\n");
    OptionTexts o = LoadOptionTexts(path, kEnglish);
    EXPECT_EQ(o.ok, "Fine");
    EXPECT_EQ(o.autoRun, std::string(35, 'a'));
    EXPECT_EQ(o.caption, "Options");
    EXPECT_EQ(o.language, "UI Language:");
    EXPECT_EQ(o.cancel, "Cancel");
    EXPECT_EQ(o.apply, "Apply");
    OptionTexts none = LoadOptionTexts(dir / "missing.ini", kSimplifiedChinese);
    EXPECT_EQ(none.autoRun, "Auto-start during system startup");
    EXPECT_EQ(LanguagePosition(kSimplifiedChinese), 1);
    EXPECT_EQ(LanguagePosition(1031), 0);
    EXPECT_EQ(LanguageAtPosition(1, kEnglish), kSimplifiedChinese);
    EXPECT_EQ(LanguageAtPosition(-1, kSimplifiedChinese), kSimplifiedChinese);
}

// The Filters dialog falls back to English for a missing key: in the Chinese section that would
// go unnoticed, so the delivered file must hold every key in both.
TEST(ConsoleLanguageTest, TheDeliveredFileTranslatesEveryFiltersText) {
    ProfileFile f;
    f.Parse(DeliveredLanguageIni());
    for (const char* key : FiltersTextKeys()) {
        for (const char* section : {"1033", "2052"}) EXPECT_NE(f.Find(section, key), nullptr) << section << " " << key;
        // A Chinese text equal to the English one is a key copied and never translated.
        const std::string* en = f.Find("1033", key);
        const std::string* zh = f.Find("2052", key);
        if (en && zh) {
            EXPECT_NE(*en, *zh) << key;
        }
    }
    TempDir dir;
    WriteFile(dir / "language.ini", DeliveredLanguageIni());
    const FiltersTexts zh = LoadFiltersTexts(dir / "language.ini", kSimplifiedChinese);
    EXPECT_EQ(zh.save, "保存");
    EXPECT_EQ(FormatWithArguments(zh.gateway, {"Firewall1", "10.0.0.2"}), "仅 Firewall1（10.0.0.2）");
    EXPECT_EQ(LoadFiltersTexts(dir / "missing.ini", kSimplifiedChinese).save, "Save");
}

TEST(ConsoleStartTest, ConfigAndLanguageAreCheckedInOrderWithTheirLines) {
    MemoryLog log;
    LogSink* previous = SetLogSink(&log);
    TempDir dir;
    ConsoleStart start;
    EXPECT_EQ(PrepareConsole(dir.path(), start), StartCheck::NoConfig);
    EXPECT_TRUE(log.Contains("[ERR] Config file is no exist!"));

    WriteFile(dir / "config.ini", "[CurLanguageId]\nValue=2052\n");
    WriteFile(dir / "language.ini", DeliveredLanguageIni());
    ASSERT_TRUE(WriteProfileString(dir / "language.ini", "2052", "Server_CheckPW", nullptr));
    EXPECT_EQ(PrepareConsole(dir.path(), start), StartCheck::NoLanguageText);
    EXPECT_TRUE(log.Contains("[ERR] Read config file of language failed!"));

    // Any other language id reads as English, whose section is complete.
    WriteFile(dir / "config.ini", "[CurLanguageId]\nValue=1031\n");
    EXPECT_EQ(PrepareConsole(dir.path(), start), StartCheck::Ok);
    EXPECT_EQ(start.languageId, kEnglish);
    EXPECT_EQ(start.configPath, dir / "config.ini");
    SetLogSink(previous);
}

TEST(ConsoleStartTest, HideIsFoundAnywhereAndCaseMatters) {
    char a0[] = "OrvaneAgent", a1[] = "--x", a2[] = "x-Hidey", a3[] = "-hide";
    char* withHide[] = {a0, a1, a2};
    char* lower[] = {a0, a3};
    EXPECT_TRUE(HasHideFlag(3, withHide));
    EXPECT_FALSE(HasHideFlag(2, lower));
    EXPECT_TRUE(HasHideFlag("OrvaneAgent -Hide"));
    EXPECT_EQ(ConsoleLogPath("/opt/o"), "/opt/o/log/LOG_UI.txt");
}

TEST(ConsoleStartTest, TheConsoleLogIsOneFixedFileStartedAfreshEachRun) {
    TempDir dir;
    orvane::testing::ScopedEnv locks("ORVANE_LOCK_DIR", dir.path());
    ASSERT_TRUE(std::filesystem::create_directory(dir / "log"));
    WriteFile(ConsoleLogPath(dir.path()), "old run");
    {
        auto log = OpenConsoleLog(dir.path());
        LogSink* previous = SetLogSink(log.get());
        LogInfo("[INF]Service does not exist!");
        LogError("[ERR]Open the service failure!");
        SetLogSink(previous);
    }
    std::string bytes = orvane::testing::ReadFile(ConsoleLogPath(dir.path()));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::string text = Utf16LeBytesToUtf8(bytes.substr(2));
    EXPECT_EQ(text.find("old run"), std::string::npos);
    EXPECT_NE(text.find("[INF]Service does not exist!\r\n"), std::string::npos) << "level 0 writes information";
    EXPECT_NE(text.find("[ERR]Open the service failure!\r\n"), std::string::npos);
}

}  // namespace
}  // namespace orvane::console
