// The Filters dialog driven by its control names: each bad value refused with its reason as it
// is added, a good configuration saved as orvanectl writes it, and read back by orvanectl.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "console/app/agent_app.h"
#include "console/app/filters_dialog.h"
#include "console/app/message_boxes.h"
#include "tests/qt/modal_driver.h"
#include "tests/unit/console_test_support.h"

extern char** environ;

namespace orvane::console {
namespace {

using testing::ConsoleFolder;
using testing::ModalDriver;

class FiltersDialogTest : public ::testing::Test {
protected:
    void SetUp() override { SetMessageLanguage(kEnglish); }

    std::unique_ptr<CFiltersDlg> Open(std::vector<std::string> agentAccounts = {}) {
        auto dlg = std::make_unique<CFiltersDlg>(folder_.path(), folder_.ConfigPath(), kEnglish,
                                                 std::move(agentAccounts));
        dlg->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        return dlg;
    }
    template <typename T = QWidget>
    static T* Find(QWidget* dlg, const std::string& id) {
        T* w = dlg->findChild<T*>(QString::fromStdString(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    // Types a value into a list's edit and presses its Add button; the message box it opens, if
    // any, is answered and its text returned.
    static QString Add(QWidget* dlg, const std::string& list, const QString& value) {
        Find<QLineEdit>(dlg, list + "Edit")->setText(value);
        ModalDriver boxes;
        boxes.ExpectMessage();
        QTest::mouseClick(Find<QPushButton>(dlg, list + "Add"), Qt::LeftButton);
        return boxes.LastMessage();
    }
    static QStringList Items(QWidget* dlg, const std::string& list) {
        QStringList out;
        auto* view = Find<QListWidget>(dlg, list + "List");
        for (int i = 0; i < view->count(); ++i) out << view->item(i)->text();
        return out;
    }
    std::string Config(const char* section, const char* key) const { return folder_.Value(section, key); }

    ConsoleFolder folder_;
    orvane::testing::TempDir locks_;
    orvane::testing::ScopedEnv lockDir_{"ORVANE_LOCK_DIR", locks_.path()};
    orvane::testing::TempDir autostart_;
    orvane::testing::ScopedEnv autostartDir_{"ORVANE_AUTOSTART_DIR", autostart_.path()};
};

TEST_F(FiltersDialogTest, EveryBadValueIsRefusedWithItsReasonAndLeavesTheListAsItWas) {
    auto dlg = Open();
    const struct {
        const char* list;
        const char* value;
        const char* message;
    } bad[] = {
        {"FiltersAccount", "   ", "\"\" is refused: an empty name."},
        {"FiltersAccount", "svc*x", "\"svc*x\" is refused: a * is allowed only at the end of the name."},
        {"FiltersAccount", "CORP\\", "\"CORP\\\" is refused: an empty name."},
        {"FiltersAddress", "exclude 10.99.5.1/24",
         "\"exclude 10.99.5.1/24\" is refused: the address has bits set below its /24 (the network is "
         "10.99.5.0/24)."},
        {"FiltersAddress", "include 10.99.0.0/33", "\"include 10.99.0.0/33\" is refused: the prefix length after / "
                                                   "must be 0 to 32."},
        {"FiltersAddress", "10.99.0.0/16", "\"10.99.0.0/16\" is refused: a rule starts with include or exclude."},
        {"FiltersGroup", "VPN Users?", "\"VPN Users?\" is refused: a group name (sAMAccountName) cannot hold '?'; a "
                                       "distinguished name is written CN=...,DC=...."},
        {"FiltersGroup", "CN=VPN-Users,,DC=corp",
         "\"CN=VPN-Users,,DC=corp\" is refused: not a distinguished name: part 2 of the DN is empty (two commas, or "
         "one at an end)."},
        {"FiltersGroup", "CN=VPN-Users,DC=", "\"CN=VPN-Users,DC=\" is refused: not a distinguished name: part 2 of "
                                             "the DN (\"DC=\") is not attribute=value."},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(Add(dlg.get(), b.list, QString::fromUtf8(b.value)), QString::fromUtf8(b.message)) << b.value;
        EXPECT_TRUE(Items(dlg.get(), b.list).isEmpty()) << b.value;
        // What was typed stays for the correction.
        EXPECT_EQ(Find<QLineEdit>(dlg.get(), std::string(b.list) + "Edit")->text(), QString::fromUtf8(b.value));
    }
    // A good value goes in; the same one again (in another case) is refused as a duplicate.
    EXPECT_EQ(Add(dlg.get(), "FiltersAccount", "svc-*"), QString());
    EXPECT_EQ(Add(dlg.get(), "FiltersAccount", "SVC-*"), "\"SVC-*\" is already in the list.");
    EXPECT_EQ(Items(dlg.get(), "FiltersAccount"), QStringList{"1  svc-*"});
    dlg->reject();
    EXPECT_EQ(Config("IgnoredAccounts", "Num"), "<missing>") << "Cancel writes nothing";
}

TEST_F(FiltersDialogTest, AGoodConfigurationIsSavedRenumberedWithItsConsequenceShown) {
    folder_.AddServers(1);
    folder_.AddDevices(2);
    // A list left by hand: an entry missing in the middle and a stale key beyond the count.
    folder_.Set("AddressRules", "Num", "3");
    folder_.Set("AddressRules", "Rule1", "exclude 10.99.5.0/24");
    folder_.Set("AddressRules", "Rule3", "exclude 10.99.7.0/24");
    folder_.Set("AddressRules", "Rule9", "include 0.0.0.0/0");
    auto dlg = Open({"CORP\\svc"});
    EXPECT_EQ(Find<QLabel>(dlg.get(), "FiltersAgentAccounts")->text(),
              "Always ignored, the agent's own accounts: CORP\\svc");
    EXPECT_EQ(Items(dlg.get(), "FiltersAddress"), (QStringList{"1  exclude 10.99.5.0/24", "2  exclude 10.99.7.0/24"}));
    auto* consequence = Find<QLabel>(dlg.get(), "FiltersConsequence");
    EXPECT_EQ(consequence->text(), "An address no rule matches is reported.");

    // An include rule at the end, in the written form; the consequence turns at once.
    Find<QListWidget>(dlg.get(), "FiltersAddressList")->setCurrentRow(-1);
    EXPECT_EQ(Add(dlg.get(), "FiltersAddress", "  Include   10.99.0.0/16 "), QString());
    EXPECT_EQ(consequence->text(), "An address no rule matches is NOT reported (the list holds an include rule).");
    // The second exclusion moved below the include rule, where it can never match: the order is
    // the administrator's to set.
    Find<QListWidget>(dlg.get(), "FiltersAddressList")->setCurrentRow(1);
    QTest::mouseClick(Find<QPushButton>(dlg.get(), "FiltersAddressDown"), Qt::LeftButton);
    EXPECT_EQ(Items(dlg.get(), "FiltersAddress"),
              (QStringList{"1  exclude 10.99.5.0/24", "2  include 10.99.0.0/16", "3  exclude 10.99.7.0/24"}));
    QTest::mouseClick(Find<QPushButton>(dlg.get(), "FiltersAddressRemove"), Qt::LeftButton);
    EXPECT_EQ(Items(dlg.get(), "FiltersAddress").size(), 2);

    EXPECT_EQ(Add(dlg.get(), "FiltersAccount", "svc-*"), QString());
    EXPECT_EQ(Add(dlg.get(), "FiltersAccount", "scanner@corp.example.com"), QString());
    EXPECT_EQ(Add(dlg.get(), "FiltersGroup", "VPN-Users"), QString());
    // Gateway Firewall1's own groups.
    auto* groupsOf = Find<QComboBox>(dlg.get(), "FiltersGroupsOf");
    ASSERT_EQ(groupsOf->count(), 3);
    EXPECT_EQ(groupsOf->itemText(2), "Firewall1 only (10.1.0.2)");
    groupsOf->setCurrentIndex(2);
    EXPECT_TRUE(Items(dlg.get(), "FiltersGroup").isEmpty());
    EXPECT_EQ(Add(dlg.get(), "FiltersGroup", "CN=Sales\\, East,OU=Groups,DC=corp,DC=example,DC=com"), QString());
    groupsOf->setCurrentIndex(0);
    EXPECT_EQ(Items(dlg.get(), "FiltersGroup"), QStringList{"1  VPN-Users"});

    ModalDriver boxes;
    boxes.ExpectMessage();
    QTest::mouseClick(Find<QPushButton>(dlg.get(), "FiltersSave"), Qt::LeftButton);
    EXPECT_EQ(boxes.LastMessage(), "Saved. The service uses the lists from its next start.\n"
                                   "An address no rule matches is NOT reported (the list holds an include rule).");
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(Config("IgnoredAccounts", "Num"), "2");
    EXPECT_EQ(Config("IgnoredAccounts", "Account2"), "scanner@corp.example.com");
    EXPECT_EQ(Config("AddressRules", "Num"), "2");
    EXPECT_EQ(Config("AddressRules", "Rule1"), "exclude 10.99.5.0/24");
    EXPECT_EQ(Config("AddressRules", "Rule2"), "include 10.99.0.0/16");
    EXPECT_EQ(Config("AddressRules", "Rule3"), "<missing>");
    EXPECT_EQ(Config("AddressRules", "Rule9"), "<missing>") << "a stale key would come back with a longer list";
    EXPECT_EQ(Config("MemberGroups", "Group1"), "VPN-Users");
    EXPECT_EQ(Config("Firewall1", "GroupNum"), "1");
    EXPECT_EQ(Config("Firewall1", "Group1"), "CN=Sales\\, East,OU=Groups,DC=corp,DC=example,DC=com");
    EXPECT_EQ(Config("Firewall1", "Port"), "6001") << "the gateway itself is untouched";
    EXPECT_EQ(Config("Firewall0", "GroupNum"), "0");
}

// orvanectl reads what the window saved, entry for entry, and its edits show in the window.
TEST_F(FiltersDialogTest, TheWindowAndOrvanectlReadEachOthersLists) {
#ifndef ORVANE_CTL_PROGRAM
    GTEST_SKIP() << "orvanectl is not built";
#else
    folder_.AddDevices(1);
    auto ctl = [this](std::vector<std::string> args, std::string& out) {
        const std::string outPath = folder_.path() + "/ctl.out";
        args.insert(args.begin(), {"orvanectl", "--folder", folder_.path()});
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, ORVANE_CTL_PROGRAM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = -1;
        if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
        out = orvane::testing::ReadFile(outPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    ASSERT_EQ(ctl({"filter", "add", "addresses", "exclude 10.99.5.0/24"}, out), 0) << out;
    {
        auto dlg = Open();
        EXPECT_EQ(Items(dlg.get(), "FiltersAddress"), QStringList{"1  exclude 10.99.5.0/24"});
        EXPECT_EQ(Add(dlg.get(), "FiltersAddress", "include 10.99.0.0/16"), QString());
        EXPECT_EQ(Add(dlg.get(), "FiltersAccount", "svc-*"), QString());
        Find<QComboBox>(dlg.get(), "FiltersGroupsOf")->setCurrentIndex(1);
        EXPECT_EQ(Add(dlg.get(), "FiltersGroup", "VPN-Users"), QString());
        ModalDriver boxes;
        boxes.ExpectMessage();
        QTest::mouseClick(Find<QPushButton>(dlg.get(), "FiltersSave"), Qt::LeftButton);
        ASSERT_TRUE(boxes.AllHandled());
    }
    ASSERT_EQ(ctl({"filter", "show"}, out), 0) << out;
    EXPECT_NE(out.find("Ignored accounts [IgnoredAccounts]: 1\n    1  svc-*\n"), std::string::npos) << out;
    EXPECT_NE(out.find("    1  exclude 10.99.5.0/24\n    2  include 10.99.0.0/16\n"
                       "  => an address no rule matches is NOT reported (the list holds an include rule)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Gateway Firewall0 (10.1.0.1) groups [Firewall0 GroupNum]: 1\n    1  VPN-Users\n"),
              std::string::npos)
        << out;
    // And the decision orvanectl explains from the same lists.
    EXPECT_EQ(ctl({"explain", "svc-backup", "10.99.6.7"}, out), 1) << out;
    EXPECT_EQ(ctl({"explain", "ann", "10.99.6.7"}, out), 0) << out;
    EXPECT_NE(out.find("Firewall0 (10.1.0.1) hears of it only if a member of one of: VPN-Users."), std::string::npos)
        << out;
#endif
}

// The main window's button opens the dialog (it is locked with the other settings).
TEST_F(FiltersDialogTest, TheMainWindowsButtonOpensTheDialog) {
    testing::FakeServiceControl service;
    MemoryLog log;
    LogSink* previous = SetLogSink(&log);
    ProtectionFunctions protection = SetProtectionFunctions({&testing::FakeProtect, &testing::FakeUnprotect});
    {
        COrvaneAgentApp app;
        AgentStartOptions o;
        o.programFolder = folder_.path();
        o.service = &service;
        ASSERT_FALSE(app.Start(o).has_value());
        auto* button = app.Window()->findChild<QPushButton*>("FiltersButton");
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text().remove(QLatin1Char('&')), "Filters");
        EXPECT_TRUE(button->isEnabled());
        ModalDriver modal;
        QString title;
        modal.Expect([&](QWidget* w) {
            title = w->windowTitle();
            ModalDriver::Click(w->findChild<QPushButton*>("FiltersCancel"));
        });
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(modal.AllHandled());
        EXPECT_EQ(title, "Which logons become identities");
    }
    SetProtectionFunctions(protection);
    SetLogSink(previous);
}

}  // namespace
}  // namespace orvane::console
