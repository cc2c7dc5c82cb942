// The console window driven as an administrator would: by control ids, on the offscreen platform,
// with a fake service manager.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QLabel>
#include <QRegularExpression>
#include <filesystem>
#include <set>

#include "console/app/agent_app.h"
#include "console/app/entry_dialogs.h"
#include "console/app/ipv4_edit.h"
#include "console/core/autostart.h"
#include "tests/qt/modal_driver.h"
#include "tests/unit/console_test_support.h"

extern char** environ;

namespace orvane::console {
namespace {

using testing::ConsoleFolder;
using testing::FakeProtect;
using testing::FakeServiceControl;
using testing::ModalDriver;

// An empty table of UDP endpoints: every port is free.
bool NoUdpEndpoints(std::string& table, int&) {
    table = "  sl  local_address rem_address   st\n";
    return true;
}

class ConsoleWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousSink_ = SetLogSink(&log_);
        previousProtection_ = SetProtectionFunctions({&FakeProtect, &testing::FakeUnprotect});
        SetMessageLanguage(kEnglish);
    }
    void TearDown() override {
        app_.reset();
        SetProtectionFunctions(previousProtection_);
        SetLogSink(previousSink_);
    }

    // Starts the console over the folder as it is now; the window is shown and active.
    COrvaneAgentDlg* Start(bool hidden = false, bool trayHost = false) {
        app_ = std::make_unique<COrvaneAgentApp>();
        AgentStartOptions o;
        o.programFolder = folder_.path();
        o.startHidden = hidden;
        o.trayHost = trayHost;
        o.service = &service_;
        EXPECT_FALSE(app_->Start(o).has_value());
        COrvaneAgentDlg* w = app_->Window();
        app_->Core()->SetUdpTableSource(&NoUdpEndpoints);
        if (!hidden) {
            w->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(w));
        }
        texts_.Load(folder_.path() + "/language.ini", kEnglish);
        return w;
    }
    // Both keys stored: the key edits show the mask and nothing demands a new key.
    void StoredKeys() {
        folder_.SetValue("ClientShareKey", "50AA");
        folder_.SetValue("FirewallShareKey", "50BB");
    }
    template <typename T = QWidget>
    T* Find(const char* id) const {
        T* w = app_->Window()->findChild<T*>(QString::fromLatin1(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    // Types into an edit as a user does: focus first (the key edits empty themselves), then keys.
    void Type(const char* id, const QString& text) {
        auto* e = Find<QLineEdit>(id);
        // The offscreen platform does not give the activation back after a message box.
        app_->Window()->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(app_->Window()));
        e->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        e->selectAll();
        QTest::keyClick(e, Qt::Key_Delete);
        QTest::keyClicks(e, text);
    }
    // A click, then the window settles: a service request it made has ended.
    void Click(const char* id) {
        QTest::mouseClick(Find<QAbstractButton>(id), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([this] { return !app_->Window()->ServiceRequestBusy(); }, 10000));
    }
    QString T(TextId id) const { return QString::fromStdString(texts_.Text(id)); }
    std::string Config(const char* section, const char* key = "Value") const { return folder_.Value(section, key); }

    ConsoleFolder folder_;
    orvane::testing::TempDir locks_;
    orvane::testing::ScopedEnv lockDir_{"ORVANE_LOCK_DIR", locks_.path()};
    orvane::testing::TempDir autostart_;
    orvane::testing::ScopedEnv autostartDir_{"ORVANE_AUTOSTART_DIR", autostart_.path()};
    FakeServiceControl service_;
    MemoryLog log_;
    LanguageTable texts_;
    std::unique_ptr<COrvaneAgentApp> app_;
    LogSink* previousSink_ = nullptr;
    ProtectionFunctions previousProtection_{};
};

TEST_F(ConsoleWindowTest, StartChecksWhatWasTypedThenSavesAndStartsTheService) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    Start();
    EXPECT_EQ(Find<QLineEdit>("1028")->maxLength(), 32767);
    EXPECT_EQ(Find<QLineEdit>("1029")->maxLength(), 16);
    EXPECT_EQ(Find<QLineEdit>("1037")->maxLength(), 23);

    // The digits-only edits take no letters.
    Type("1028", "1x0y2z3");
    EXPECT_EQ(Find<QLineEdit>("1028")->text(), "1023");
    {
        ModalDriver boxes;
        boxes.ExpectMessage();
        Click("1014");
        EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_PortInvalid));
        EXPECT_TRUE(boxes.AllHandled());
    }
    EXPECT_EQ(service_.starts, 0);
    EXPECT_EQ(Config("ModelType"), "0");  // written before the port was refused

    Type("1028", "65535");
    Type("1029", "secret-1");
    Type("1030", "secret-1");
    Type("1036", "86401");
    {
        ModalDriver boxes;
        boxes.ExpectMessage();
        Click("1014");
        EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_AntiTimetInvalid));
    }
    Type("1036", "86400");
    Type("1037", "dev?key");
    {
        ModalDriver boxes;
        boxes.ExpectMessage();
        Click("1014");
        EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_FirewallKeyInvalid));
    }
    Type("1037", "devkey");
    {
        ModalDriver boxes;
        Click("1014");
        EXPECT_TRUE(boxes.AllHandled()) << boxes.Unexpected().size();
    }
    EXPECT_EQ(service_.starts, 1);
    EXPECT_EQ(Config("ListenPort"), "65535");
    std::string protectedKey;
    FakeProtect("secret-1", protectedKey);
    EXPECT_EQ(Config("ClientShareKey"), protectedKey);
    FakeProtect("devkey", protectedKey);
    EXPECT_EQ(Config("FirewallShareKey"), protectedKey);
    EXPECT_EQ(Config("AntiReplayTime"), "86400");

    // Running: the settings are locked, only stop is offered, the tree says so.
    EXPECT_FALSE(Find<QWidget>("1028")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("1002")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("4")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("1014")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("1013")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("1012")->isEnabled());
    EXPECT_EQ(Find<QTreeWidget>("1001")->topLevelItem(0)->text(0), T(TextId::Agent_Running));
}

TEST_F(ConsoleWindowTest, AKeyTypedOnlyIntoTheConfirmationIsRefusedAndTheMaskIsKept) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    Start();
    Type("1028", "40000");
    Type("1036", "0");
    Type("1030", "only-here");
    Find<QLineEdit>("1037")->setFocus();  // leaving the confirmation keeps what was typed there
    QCoreApplication::processEvents();
    EXPECT_EQ(Find<QLineEdit>("1029")->text(), "******");
    EXPECT_EQ(Find<QLineEdit>("1030")->text(), "only-here");
    ModalDriver boxes;
    boxes.ExpectMessage();
    Click("1014");
    EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_CheckClientKey));
    // The device key edit was focused and left empty: its mask is back and nothing is written.
    EXPECT_EQ(Find<QLineEdit>("1037")->text(), "******");
    EXPECT_EQ(service_.starts, 0);
}

TEST_F(ConsoleWindowTest, TheQueryModeShowsItsOwnFieldAndChecksOnlyIt) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    Start();
    Type("1028", "1");  // invalid, but not checked in this mode
    Click("1003");
    EXPECT_TRUE(Find<QWidget>("1032")->isVisible());
    EXPECT_FALSE(Find<QWidget>("1028")->isVisible());
    EXPECT_FALSE(Find<QWidget>("1036")->isVisible());
    EXPECT_EQ(Find<QGroupBox>("1026")->title(), T(TextId::Agent_QueryServerLog));
    Type("1032", "301");
    {
        ModalDriver boxes;
        boxes.ExpectMessage();
        Click("1014");
        EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_QueryTimeInvalid));
    }
    EXPECT_EQ(Config("ModelType"), "1");
    Type("1032", "300");
    Click("1062");
    Click("1009");
    ModalDriver boxes;
    Click("1014");
    EXPECT_TRUE(boxes.AllHandled());
    EXPECT_EQ(Config("QueryTime"), "300");
    EXPECT_EQ(Config("EncryptType"), "1");
    EXPECT_EQ(Config("EncodeType"), "1");
    EXPECT_NE(Config("ListenPort"), "1");
    EXPECT_EQ(service_.starts, 1);
}

TEST_F(ConsoleWindowTest, StartWithoutAServerSavesFirstThenRefuses) {
    StoredKeys();
    folder_.AddDevices(1);
    Start();
    Type("1028", "40001");
    Type("1029", "k");
    Type("1030", "k");
    Type("1036", "5");
    ModalDriver boxes;
    boxes.ExpectMessage();
    Click("1014");
    EXPECT_EQ(boxes.LastMessage(), T(TextId::Agent_NoAdServer));
    EXPECT_EQ(Config("ListenPort"), "40001");
    EXPECT_EQ(service_.starts, 0);
    EXPECT_TRUE(Find<QWidget>("1014")->isEnabled());
}

// Fills the server dialog's fields.
void FillServer(QWidget* dialog, const QStringList& octets, const QString& account, const QString& password,
                const QString& confirm) {
    auto* ip = dialog->findChild<Ipv4Edit*>("1004");
    for (int i = 0; i < 4; ++i) ip->FieldEdit(i)->setText(i < octets.size() ? octets[i] : QString());
    dialog->findChild<QLineEdit*>("1000")->setText(account);
    dialog->findChild<QLineEdit*>("1078")->setText(password);
    dialog->findChild<QLineEdit*>("1079")->setText(confirm);
}

TEST_F(ConsoleWindowTest, ServersAreAddedThroughTheDialogAndDeletedAfterAQuestion) {
    Start();
    auto* tree = Find<QTreeWidget>("1001");
    QTreeWidgetItem* serverNode = tree->topLevelItem(0)->child(0);
    {
        ModalDriver modal;
        QWidget* dialog = nullptr;
        modal.Expect([&](QWidget* d) {
            dialog = d;
            EXPECT_EQ(d->objectName(), "CADServerDlg");
            EXPECT_EQ(d->windowTitle(), T(TextId::Server_GruopADServer));
            FillServer(d, {"10", "0", "0"}, "CORP\\svc", "pw", "pw");
            ModalDriver::Click(d->findChild<QPushButton*>("1050"));
        });
        // Three fields filled: refused; the dialog stays open and takes the fourth.
        modal.ExpectMessage(QMessageBox::Ok, [&] {
            dialog->findChild<Ipv4Edit*>("1004")->FieldEdit(3)->setText("9");
            ModalDriver::Click(dialog->findChild<QPushButton*>("1050"));
        });
        Click("4");
        ASSERT_FALSE(modal.Messages().empty());
        EXPECT_EQ(modal.Messages().front(), T(TextId::Server_IpEmpty));
        EXPECT_TRUE(modal.AllHandled());
    }
    ASSERT_EQ(serverNode->childCount(), 1);
    EXPECT_EQ(serverNode->child(0)->text(0), "10.0.0.9");
    EXPECT_EQ(Config("AdServer0", "Ip"), "10.0.0.9");
    EXPECT_EQ(Config("AdServer0", "UserName"), "CORP\\svc");
    EXPECT_EQ(Config("AdServerNum"), "1");

    // Delete asks with the address in the question; "no" keeps it, "yes" removes it.
    tree->setCurrentItem(serverNode->child(0));
    {
        ModalDriver modal;
        modal.Expect([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), T(TextId::Agent_DelADServer));
            EXPECT_TRUE(box->text().contains("10.0.0.9"));
            ModalDriver::Click(box->button(QMessageBox::No));
        });
        Click("3");
        EXPECT_TRUE(modal.AllHandled());
    }
    EXPECT_EQ(serverNode->childCount(), 1);
    {
        ModalDriver modal;
        modal.ExpectMessage(QMessageBox::Yes);
        Click("3");
    }
    EXPECT_EQ(serverNode->childCount(), 0);
    EXPECT_FALSE(folder_.HasSection("AdServer0"));
    EXPECT_EQ(Config("AdServerNum"), "0");
}

TEST_F(ConsoleWindowTest, ADoubleClickEditsAServerUntilTheServiceRuns) {
    StoredKeys();
    folder_.AddServers(2);
    folder_.AddDevices(1);
    Start();
    auto* tree = Find<QTreeWidget>("1001");
    QTreeWidgetItem* second = tree->topLevelItem(0)->child(0)->child(1);
    ASSERT_EQ(second->text(0), "10.0.0.2");
    {
        ModalDriver modal;
        modal.Expect([&](QWidget* d) {
            auto* ip = d->findChild<Ipv4Edit*>("1004");
            EXPECT_EQ(ip->FieldEdit(3)->text(), "2");
            EXPECT_EQ(d->findChild<QLineEdit*>("1000")->text(), "CORP\\svc");
            EXPECT_TRUE(d->findChild<QLineEdit*>("1078")->text().isEmpty());
            ip->FieldEdit(3)->setText("22");
            d->findChild<QLineEdit*>("1078")->setText("new-pw");
            d->findChild<QLineEdit*>("1079")->setText("new-pw");
            ModalDriver::Click(d->findChild<QPushButton*>("1050"));
        });
        emit tree->itemDoubleClicked(second, 0);
        EXPECT_TRUE(modal.AllHandled());
    }
    EXPECT_EQ(second->text(0), "10.0.0.22");
    EXPECT_EQ(Config("AdServer1", "Ip"), "10.0.0.22");
    EXPECT_EQ(Config("AdServer1", "FilterGroups"), "");
    std::string protectedPassword;
    FakeProtect("new-pw", protectedPassword);
    EXPECT_EQ(Config("AdServer1", "Password"), protectedPassword);
    EXPECT_EQ(Config("AdServerNum"), "2");

    // Double-clicking a node opens nothing; nor does an entry while the service runs.
    ModalDriver modal;
    emit tree->itemDoubleClicked(tree->topLevelItem(0)->child(0), 0);
    Click("1014");
    ASSERT_EQ(service_.starts, 1);
    emit tree->itemDoubleClicked(second, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(modal.AllHandled()) << modal.Unexpected().size();
}

TEST_F(ConsoleWindowTest, EscapeEnterAndF1LeaveTheWindowOpen) {
    COrvaneAgentDlg* w = Start();
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_F1}) {
        QTest::keyClick(Find<QWidget>("1028"), key);
        QTest::keyClick(w, key);
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(service_.starts, 0);
}

// Keyboard use: every button and labelled field of the window has its own Alt letter, in both
// languages (a text without a free letter of its own gets one appended).
TEST_F(ConsoleWindowTest, EveryControlHasItsOwnMnemonic) {
    for (std::uint32_t language : {kEnglish, kSimplifiedChinese}) {
        folder_.SetValue("CurLanguageId", std::to_string(language));
        COrvaneAgentDlg* w = Start();
        std::set<QChar> letters;
        int controls = 0;
        auto check = [&](const QString& text) {
            ++controls;
            const qsizetype at = text.indexOf(QRegularExpression(QStringLiteral("&[^&]")));
            ASSERT_GE(at, 0) << text.toStdString();
            EXPECT_TRUE(letters.insert(text[at + 1].toLower()).second) << text.toStdString();
        };
        for (QAbstractButton* b : w->findChildren<QAbstractButton*>()) check(b->text());
        for (QLabel* l : w->findChildren<QLabel*>())
            if (l->buddy()) check(l->text());
        // Radios, entry buttons and Filters, service and users buttons, labelled edits.
        EXPECT_EQ(controls, 6 + 7 + 4 + 6);
        app_.reset();
    }
}

TEST_F(ConsoleWindowTest, TheDeviceDialogProposesAPortAndRefusesOneOutOfRange) {
    Start();
    ModalDriver modal;
    modal.Expect([&](QWidget* d) {
        EXPECT_EQ(d->objectName(), "CFireWallDlg");
        auto* port = d->findChild<QLineEdit*>("1001");
        EXPECT_EQ(port->text(), "8000");
        auto* ip = d->findChild<Ipv4Edit*>("1019");
        const char* octets[4] = {"192", "168", "1", "1"};
        for (int i = 0; i < 4; ++i) ip->FieldEdit(i)->setText(octets[i]);
        port->setText("1024");
        ModalDriver::Click(d->findChild<QPushButton*>("6"));
    });
    // After the refusal, a port in range is accepted.
    modal.ExpectMessage(QMessageBox::Ok, [&] {
        auto* d = qobject_cast<CFireWallDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        d->findChild<QLineEdit*>("1001")->setText("1025");
        ModalDriver::Click(d->findChild<QPushButton*>("6"));
    });
    Click("6");
    EXPECT_EQ(modal.LastMessage(), T(TextId::Firewall_PortInvalid));
    EXPECT_EQ(Config("Firewall0", "Ip"), "192.168.1.1");
    EXPECT_EQ(Config("Firewall0", "Port"), "1025");
    EXPECT_EQ(Config("FirewallNum"), "1");
}

TEST_F(ConsoleWindowTest, EditAndDeleteWithoutASelectionSayWhatIsMissing) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    Start();
    Find<QTreeWidget>("1001")->setCurrentItem(Find<QTreeWidget>("1001")->topLevelItem(0));
    ModalDriver modal;
    modal.ExpectMessage();
    modal.ExpectMessage();
    Click("5");
    Click("7");
    ASSERT_EQ(modal.Messages().size(), 2u);
    EXPECT_EQ(modal.Messages()[0], T(TextId::Agent_NoAdServerItem));
    EXPECT_EQ(modal.Messages()[1], T(TextId::Agent_NoFirewallItem));
}

TEST_F(ConsoleWindowTest, ARunningServiceLocksTheWindowAndExitStopsIt) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    service_.state = kServiceRunning;
    COrvaneAgentDlg* w = Start();
    EXPECT_FALSE(Find<QWidget>("1029")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("6")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("FiltersButton")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("1013")->isEnabled());
    std::unique_ptr<QMenu> menu(w->BuildTrayMenu(nullptr));
    ASSERT_EQ(menu->actions().size(), 8);
    EXPECT_FALSE(menu->findChild<QAction*>("32776")->isEnabled());
    EXPECT_TRUE(menu->findChild<QAction*>("32777")->isEnabled());
    EXPECT_EQ(menu->findChild<QAction*>("32778")->text(), T(TextId::Agent_ExitMenu));

    // Closing the window only hides it; the service keeps running.
    w->close();
    EXPECT_EQ(service_.stops, 0);
    QSignalSpy exited(w, &COrvaneAgentDlg::Exited);
    w->RunCommand(kCmdExit);
    EXPECT_EQ(exited.count(), 1);
    EXPECT_EQ(service_.stops, 1);
    EXPECT_EQ(service_.state, kServiceStopped);
}

TEST_F(ConsoleWindowTest, WithoutADeviceARunningServiceIsStoppedAtStart) {
    folder_.AddServers(1);
    service_.state = kServiceRunning;
    Start();
    EXPECT_EQ(service_.stops, 1);
    EXPECT_TRUE(Find<QWidget>("1014")->isEnabled());
}

TEST_F(ConsoleWindowTest, HiddenStartStaysHiddenUntilShownFromTheTray) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start(/*hidden=*/true, /*trayHost=*/true);
    QCoreApplication::processEvents();
    EXPECT_FALSE(w->isVisible());
    // Anything that shows it while the flag is set hides it again.
    w->show();
    EXPECT_TRUE(QTest::qWaitFor([w] { return !w->isVisible(); }, 5000));
    w->RunCommand(kCmdShowWindow);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->StartHidden());
}

// A click reaches the console as Trigger on StatusNotifierItem trays and as DoubleClick on
// others: either shows the hidden window; a middle click does not.
TEST_F(ConsoleWindowTest, AClickOnTheTrayIconShowsTheWindow) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start(/*hidden=*/true, /*trayHost=*/true);
    auto* tray = w->findChild<QSystemTrayIcon*>("128");
    ASSERT_NE(tray, nullptr);
    QCoreApplication::processEvents();
    emit tray->activated(QSystemTrayIcon::MiddleClick);
    QCoreApplication::processEvents();
    EXPECT_FALSE(w->isVisible());
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(QTest::qWaitFor([w] { return w->isVisible(); }, 5000));
    EXPECT_FALSE(w->StartHidden());
    // Closed to the tray, a double click brings it back as before.
    w->close();
    EXPECT_TRUE(QTest::qWaitFor([w] { return !w->isVisible(); }, 5000));
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(QTest::qWaitFor([w] { return w->isVisible(); }, 5000));
}

TEST_F(ConsoleWindowTest, WithoutANotificationAreaTheWindowStaysReachable) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start(/*hidden=*/true, /*trayHost=*/false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isMinimized());
    w->RunCommand(kCmdShowWindow);
    w->close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
}

TEST_F(ConsoleWindowTest, OptionsWritesTheAutostartEntryAndOpensOnlyOnce) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start();
    const std::string entry = AutostartEntryPath(autostart_.path());
    ModalDriver modal;
    modal.Expect([&](QWidget* d) {
        EXPECT_EQ(d->objectName(), "COptionDlg");
        w->RunCommand(kCmdOptions);  // a second request while it is open is ignored
        d->findChild<QCheckBox*>("1009")->setChecked(true);
        ModalDriver::Click(d->findChild<QPushButton*>("32785"));
    });
    w->RunCommand(kCmdOptions);
    EXPECT_TRUE(modal.AllHandled());
    EXPECT_TRUE(std::filesystem::exists(entry));
    EXPECT_NE(orvane::testing::ReadFile(entry).find("OrvaneAgent\" -Hide"), std::string::npos);
}

TEST_F(ConsoleWindowTest, AConfigWithoutARequiredKeyEndsTheConsole) {
    folder_.Remove("RetranTimes");
    COrvaneAgentApp app;
    AgentStartOptions o;
    o.programFolder = folder_.path();
    o.trayHost = false;
    o.service = &service_;
    EXPECT_EQ(app.Start(o), std::optional<int>(0));
    EXPECT_TRUE(log_.Contains("[ERR] Read config file failed! exit process!"));
}

// The real program holds the machine-wide guard; a second console is refused with its message.
TEST_F(ConsoleWindowTest, ASecondConsoleIsRefused) {
#ifndef ORVANE_AGENT_PROGRAM
    GTEST_SKIP() << "OrvaneAgent is not built";
#else
    folder_.AddServers(1);
    folder_.AddDevices(1);
    const std::string program = folder_.path() + "/OrvaneAgent";
    std::filesystem::copy_file(ORVANE_AGENT_PROGRAM, program);
    std::filesystem::create_directory(folder_.path() + "/log");
    char arg0[] = "OrvaneAgent";
    char arg1[] = "-Hide";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t first = 0;
    ASSERT_EQ(::posix_spawn(&first, program.c_str(), nullptr, nullptr, argv, environ), 0);
    // Ended however the test ends.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{first};
    // It has the guard once its window's initialisation has logged the status query. (Probing the
    // guard from here could take it first and make the program the refused one.)
    const std::string logFile = folder_.path() + "/log/LOG_UI.txt";
    bool held = false;
    QElapsedTimer clock;
    clock.start();
    while (!held && clock.elapsed() < 20000) {
        std::error_code ec;
        held = std::filesystem::file_size(logFile, ec) > 2 && !ec;
        if (!held) QTest::qWait(20);
    }
    ASSERT_TRUE(held);

    COrvaneAgentApp second;
    AgentStartOptions o;
    o.programFolder = folder_.path();
    o.trayHost = false;
    o.service = &service_;
    ModalDriver modal;
    modal.ExpectMessage();
    EXPECT_EQ(second.Start(o), std::optional<int>(1));
    texts_.Load(folder_.path() + "/language.ini", kEnglish);
    EXPECT_EQ(modal.LastMessage(), T(TextId::Agent_OrvaneStarted));
    EXPECT_EQ(second.Window(), nullptr);
    // The first is untouched.
    int status = 0;
    EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0);
#endif
}

TEST_F(ConsoleWindowTest, OnlineUsersButtonOpensTheViewWhichSaysNoWorkerAnswers) {
    Start();
    EXPECT_EQ(Find<QPushButton>("UsersButton")->text().remove(QLatin1Char('&')), "Online users");
    ModalDriver boxes;
    QString message;
    boxes.Expect([&](QWidget* w) {
        EXPECT_EQ(w->objectName(), "COnlineUsersDlg");
        // The view reads the workers off the UI thread: its message comes with the first result.
        if (auto* label = w->findChild<QLabel*>("UsersMessage")) {
            EXPECT_TRUE(QTest::qWaitFor([label] { return !label->text().isEmpty(); }, 3000));
            message = label->text();
        }
        ModalDriver::Click(w->findChild<QPushButton*>("UsersClose"));
    });
    Click("UsersButton");
    EXPECT_TRUE(boxes.AllHandled());
    EXPECT_TRUE(message.startsWith("No worker answers: ")) << message.toStdString();
}


// systemd may keep a start pending for up to 90 s: the window stays live meanwhile, asks nothing
// more, and shows the state as it changes.
TEST_F(ConsoleWindowTest, AStartThatStaysPendingLeavesTheWindowLiveWithOneRequestInFlight) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start();
    Type("1028", "40002");
    Type("1036", "0");
    service_.HoldStart(4000);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    ModalDriver boxes;
    QTest::mouseClick(Find<QAbstractButton>("1014"), Qt::LeftButton);
    // The click came back while the manager still holds the start, and the event loop runs on.
    EXPECT_TRUE(QTest::qWaitFor([this] { return service_.starts == 1; }, 3000));
    const int before = ticks;
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= before + 5; }, 3000)) << ticks - before;
    EXPECT_FALSE(service_.startTimedOut) << "the window waited with the start";
    EXPECT_TRUE(w->ServiceRequestBusy());
    EXPECT_EQ(Find<QLabel>("ServiceLine")->text(), QStringLiteral("Starting the service OrvaneSRV\u2026"));
    EXPECT_TRUE(Find<QLabel>("ServiceLine")->isVisible());
    for (const char* id : {"1014", "1013", "1028", "4"}) EXPECT_FALSE(Find<QWidget>(id)->isEnabled()) << id;
    std::unique_ptr<QMenu> menu(w->BuildTrayMenu(nullptr));
    EXPECT_FALSE(menu->findChild<QAction*>("32776")->isEnabled());
    EXPECT_FALSE(menu->findChild<QAction*>("32777")->isEnabled());
    // Requests while one is in flight ask nothing.
    w->RunCommand(kCmdExternalStart);
    w->RunCommand(kCmdStopService);
    w->RunCommand(kCmdStartService);

    QSignalSpy finished(w, &COrvaneAgentDlg::ServiceRequestFinished);
    service_.ReleaseStart();
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5000));
    EXPECT_FALSE(w->ServiceRequestBusy());
    EXPECT_EQ(service_.starts, 1);
    EXPECT_EQ(service_.stops, 0);
    EXPECT_EQ(app_->Core()->ServiceState(), kServiceRunning);
    EXPECT_EQ(Find<QLabel>("ServiceLine")->text(), T(TextId::Agent_Running));
    EXPECT_EQ(Find<QTreeWidget>("1001")->topLevelItem(0)->text(0), T(TextId::Agent_Running));
    EXPECT_TRUE(Find<QWidget>("1013")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("1014")->isEnabled());
    EXPECT_TRUE(boxes.AllHandled()) << boxes.Unexpected().size();
}

// Exit asked while a start is in flight runs once the start has ended, and stops the service.
TEST_F(ConsoleWindowTest, ExitDuringAPendingStartWaitsForItThenStops) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    COrvaneAgentDlg* w = Start();
    Type("1028", "40003");
    Type("1036", "0");
    service_.HoldStart(4000);
    QTest::mouseClick(Find<QAbstractButton>("1014"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([this] { return service_.starts == 1; }, 3000));
    QSignalSpy exited(w, &COrvaneAgentDlg::Exited);
    w->RunCommand(kCmdExit);
    EXPECT_EQ(exited.count(), 0);
    service_.ReleaseStart();
    EXPECT_TRUE(QTest::qWaitFor([&] { return exited.count() == 1; }, 5000));
    EXPECT_EQ(service_.stops, 1);
    EXPECT_EQ(service_.state, kServiceStopped);
    EXPECT_FALSE(service_.startTimedOut);
}

// A request the manager refuses is shown and logged with the manager's reason; nothing changes.
TEST_F(ConsoleWindowTest, ARefusedStartIsShownAndLoggedWithItsReason) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    Start();
    Type("1028", "40004");
    Type("1036", "0");
    service_.startResult = ServiceResult::AccessDenied;
    ModalDriver boxes;
    boxes.ExpectMessage();
    Click("1014");
    EXPECT_TRUE(boxes.AllHandled()) << boxes.Unexpected().size();
    EXPECT_TRUE(boxes.LastMessage().startsWith("The service manager did not start OrvaneSRV: fake failure"))
        << boxes.LastMessage().toStdString();
    EXPECT_TRUE(boxes.LastMessage().contains("administrator's password"));
    EXPECT_TRUE(log_.Contains("[ERR]The service manager did not start OrvaneSRV: fake failure")) << log_.Text();
    EXPECT_EQ(Find<QLabel>("ServiceLine")->text(), "The service manager did not start OrvaneSRV: fake failure");
    EXPECT_EQ(app_->Core()->ServiceState(), kServiceStopped);
    EXPECT_TRUE(Find<QWidget>("1014")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("1028")->isEnabled());
}

// A running service that runs no worker says why in the window, for as long as it lasts.
TEST_F(ConsoleWindowTest, TheServiceLineNamesWhyTheServiceRunsNothing) {
    folder_.AddServers(1);
    folder_.AddDevices(1);
    service_.state = kServiceRunning;
    service_.SetStatusText("idle: the worker for 10.0.0.5 could not start: Permission denied");
    Start();
    auto* line = Find<QLabel>("ServiceLine");
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(line->text(), "OrvaneSRV: idle: the worker for 10.0.0.5 could not start: Permission denied");

    // Recovered: the next watchdog pass clears the reason and the line goes.
    app_->Core()->StopWatchdog();
    service_.SetStatusText("RUNNING");
    app_->Core()->StartWatchdog(20, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !line->isVisible(); }, 5000));
    service_.SetStatusText("idle: no directory server configured");
    EXPECT_TRUE(QTest::qWaitFor([&] { return line->isVisible(); }, 5000));
    EXPECT_EQ(line->text(), "OrvaneSRV: idle: no directory server configured");
}

// The rights of another user for the scope: effective ids only, so root can take them back.
class ScopedEffectiveUser {
public:
    explicit ScopedEffectiveUser(uid_t uid) : active_(::geteuid() == 0) {
        if (!active_) return;
        EXPECT_EQ(::setegid(uid), 0);
        EXPECT_EQ(::seteuid(uid), 0);
    }
    ~ScopedEffectiveUser() {
        if (!active_) return;
        EXPECT_EQ(::seteuid(0), 0);
        EXPECT_EQ(::setegid(0), 0);
    }

private:
    bool active_;
};

// Run by an ordinary user: config.ini read-only to it, the log folder root's, the service manager
// refusing. The console says why at start, in a message and in the window, and writes nothing.
TEST_F(ConsoleWindowTest, WithoutTheRightsTheWindowIsReadOnlyAndSaysWhy) {
    StoredKeys();
    folder_.AddServers(1);
    folder_.AddDevices(1);
    namespace fs = std::filesystem;
    fs::create_directory(folder_.path() + "/log");
    fs::permissions(folder_.path(), fs::perms(0755));
    fs::permissions(folder_.path() + "/log", fs::perms(0755));
    fs::permissions(folder_.ConfigPath(), fs::perms(0444));
    fs::permissions(folder_.path() + "/language.ini", fs::perms(0644));
    // The console's guard lives in a folder of the user's own.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(locks_.path().c_str(), 65534, 65534), 0);
    }
    const std::string before = orvane::testing::ReadFile(folder_.ConfigPath());
    service_.managerResult = ServiceResult::AccessDenied;

    ModalDriver boxes;
    boxes.ExpectMessage();
    {
        ScopedEffectiveUser nobody(65534);
        app_ = std::make_unique<COrvaneAgentApp>();
        AgentStartOptions o;
        o.programFolder = folder_.path();
        o.trayHost = false;
        o.service = &service_;
        ASSERT_FALSE(app_->Start(o).has_value());
    }
    COrvaneAgentDlg* w = app_->Window();
    EXPECT_TRUE(QTest::qWaitFor([&] { return boxes.AllHandled(); }, 5000)) << boxes.Unexpected().size();
    const QString message = boxes.LastMessage();
    EXPECT_TRUE(message.startsWith("Read-only: ")) << message.toStdString();
    EXPECT_TRUE(message.contains(QString::fromStdString("cannot write " + folder_.ConfigPath())));
    EXPECT_TRUE(message.contains("may not start or stop the service OrvaneSRV (refused by the fake)"));
    EXPECT_TRUE(message.contains("cannot write its log in " + QString::fromStdString(folder_.path()) + "/log"));
    EXPECT_TRUE(message.contains("pkexec " + QString::fromStdString(folder_.path()) + "/OrvaneAgent"));
    EXPECT_EQ(Find<QLabel>("RightsLine")->text(), message);
    EXPECT_TRUE(Find<QLabel>("RightsLine")->isVisible());
    EXPECT_TRUE(log_.Contains("[ERR]" + message.toStdString()));

    for (const char* id : {"1014", "1013", "1028", "1029", "1002", "1062", "4", "5", "6"})
        EXPECT_FALSE(Find<QWidget>(id)->isEnabled()) << id;
    EXPECT_TRUE(Find<QWidget>("1012")->isEnabled());
    std::unique_ptr<QMenu> menu(w->BuildTrayMenu(nullptr));
    EXPECT_FALSE(menu->findChild<QAction*>("32776")->isEnabled());
    EXPECT_FALSE(menu->findChild<QAction*>("32777")->isEnabled());
    // A double click on an entry opens no dialog that would write it.
    auto* tree = Find<QTreeWidget>("1001");
    {
        ModalDriver modal;
        emit tree->itemDoubleClicked(tree->topLevelItem(0)->child(0)->child(0), 0);
        QCoreApplication::processEvents();
        EXPECT_TRUE(modal.AllHandled()) << modal.Unexpected().size();
    }
    EXPECT_EQ(service_.starts, 0);
    EXPECT_EQ(orvane::testing::ReadFile(folder_.ConfigPath()), before);
}

}  // namespace
}  // namespace orvane::console
