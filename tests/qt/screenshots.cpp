// Draws the console's main window in both modes and each of its dialogs, in English and in
// Simplified Chinese, into PNG files (run by scripts/screenshots under Xvfb).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "common/config.h"
#include "common/profile.h"
#include "console/app/agent_app.h"
#include "console/app/entry_dialogs.h"
#include "console/app/filters_dialog.h"
#include "console/app/small_dialogs.h"
#include "console/app/users_dialog.h"
#include "console/core/language.h"
#include "tests/qt/fake_worker.h"

namespace {

using namespace orvane;
using namespace orvane::console;

bool Save(QWidget* w, const QString& path) {
    w->show();
    w->activateWindow();
    (void)QTest::qWaitForWindowExposed(w);
    QApplication::processEvents();
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.toStdString().c_str());
        return false;
    }
    std::printf("%s\n", path.toStdString().c_str());
    return true;
}

void Set(const std::string& ini, const std::string& section, const char* key, const char* value) {
    WriteProfileString(ini, section, key, value);
}

// A program folder with two servers, two devices and stored keys, in `language`.
bool MakeFolder(const QString& folder, const QString& packaging, std::uint32_t language) {
    for (const char* f : {"config.ini", "language.ini"})
        if (!QFile::copy(packaging + "/" + f, folder + "/" + f)) return false;
    const std::string ini = (folder + "/config.ini").toStdString();
    Set(ini, "CurLanguageId", "Value", std::to_string(language).c_str());
    Set(ini, "ClientShareKey", "Value", "50AA");
    Set(ini, "FirewallShareKey", "Value", "50BB");
    const char* servers[2] = {"10.20.0.10", "10.20.0.11"};
    for (int i = 0; i < 2; ++i) {
        const std::string s = "AdServer" + std::to_string(i);
        Set(ini, s, "Ip", servers[i]);
        Set(ini, s, "UserName", "CORP\\orvane-svc");
        Set(ini, s, "Password", "50AA");
        Set(ini, s, "FilterGroups", "");
    }
    Set(ini, "AdServerNum", "Value", "2");
    const char* devices[2] = {"192.168.10.1", "192.168.20.1"};
    for (int i = 0; i < 2; ++i) {
        const std::string s = "Firewall" + std::to_string(i);
        Set(ini, s, "Ip", devices[i]);
        Set(ini, s, "Port", "6001");
    }
    Set(ini, "FirewallNum", "Value", "2");
    return true;
}

// A client-report worker with a few users in each delivery state.
WorkerSnapshot SampleSnapshot() {
    WorkerSnapshot s;
    s.server = ".";
    s.mode = "client-report";
    s.pid = 2417;
    s.now = 1'800'000'000;
    s.started = s.now - 3 * 3600 - 12 * 60;
    s.gateways = {{"192.168.10.1", 6001, s.now - 20, s.now - 20}, {"192.168.20.1", 6001, s.now - 20, s.now - 900}};
    struct Sample {
        const char* user;
        const char* address;
        std::int64_t age;
        bool online;
        SnapshotDelivery first, second;
    };
    const Sample samples[] = {
        {"alice.wong", "10.30.1.15", 3 * 3600 + 5 * 60, true, {true, true, 0}, {true, true, 0}},
        {"bruno.keller", "10.30.1.22", 47 * 60 + 12, true, {true, true, 0}, {true, false, 2}},
        {"chen.li", "10.30.2.7", 95, true, {true, true, 0}, {true, false, 0}},
        {"dana.ortiz", "10.30.2.41", 12, false, {true, false, 3}, {true, false, 3}},
    };
    for (const Sample& x : samples)
        s.users.push_back(testing::SampleUser(x.user, x.address, s.now - x.age, x.online, {x.first, x.second}));
    return s;
}

// The service as the pictures show it: installed, stopped, and ours to start, or (`refuse`)
// refused by polkit as for a user without the rights.
class PictureService final : public ServiceControl {
public:
    explicit PictureService(bool refuse) : refuse_(refuse) {}
    std::unique_ptr<ServiceConnection> OpenManager(ServiceResult& result, int& error, std::string&) override {
        result = ServiceResult::Ok;
        error = 0;
        return std::make_unique<Connection>(refuse_);
    }

private:
    class Connection final : public ServiceConnection {
    public:
        explicit Connection(bool refuse) : refuse_(refuse) {}
        ServiceResult OpenService() override { return ServiceResult::Ok; }
        ServiceResult Query(std::uint32_t& state) override {
            state = kServiceStopped;
            return ServiceResult::Ok;
        }
        ServiceResult MayControl(bool& allowed) override {
            allowed = !refuse_;
            return ServiceResult::Ok;
        }
        ServiceResult Start() override { return ServiceResult::AccessDenied; }
        ServiceResult Stop() override { return ServiceResult::AccessDenied; }
        int ErrorCode() const override { return 5; }
        std::string ErrorText() const override {
            return "polkit asks for an administrator's password to start or stop services";
        }

    private:
        bool refuse_;
    };
    bool refuse_;
};

// The window of a user without the rights: the line under the settings says what and how.
bool ShootReadOnly(const QString& packaging, const QString& out) {
    QTemporaryDir folder;
    if (!folder.isValid() || !MakeFolder(folder.path(), packaging, kEnglish)) return false;
    qputenv("ORVANE_LOCK_DIR", folder.path().toUtf8());
    PictureService refusing(true);
    COrvaneAgentApp app;
    AgentStartOptions o;
    o.programFolder = folder.path().toStdString();
    o.trayHost = false;
    o.service = &refusing;
    if (app.Start(o)) return false;
    // The message at start says the same; it is closed unseen.
    int closed = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&closed] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            QMetaObject::invokeMethod(box, "reject");
            ++closed;
        }
    });
    closer.start(10);
    if (!QTest::qWaitFor([&closed] { return closed > 0 && !QApplication::activeModalWidget(); }, 5000)) return false;
    const bool ok = Save(app.Window(), out + "/main-readonly-1033.png");
    app.Window()->hide();
    return ok;
}

bool Shoot(const QString& packaging, const QString& out, std::uint32_t language) {
    QTemporaryDir folder;
    if (!folder.isValid() || !MakeFolder(folder.path(), packaging, language)) return false;
    qputenv("ORVANE_LOCK_DIR", folder.path().toUtf8());
    const QString lang = QString::number(language);
    COrvaneAgentApp app;
    AgentStartOptions o;
    o.programFolder = folder.path().toStdString();
    o.trayHost = false;
    PictureService service(false);
    o.service = &service;
    if (app.Start(o)) return false;
    COrvaneAgentDlg* w = app.Window();
    bool ok = Save(w, out + "/main-reports-" + lang + ".png");
    w->findChild<QRadioButton*>("1003")->click();
    ok = Save(w, out + "/main-query-" + lang + ".png") && ok;

    const LanguageTable& texts = app.Core()->Texts();
    const ConsoleConfig& c = app.Core()->Config();
    CADServerDlg server(texts, &c.servers[0], w);
    ok = Save(&server, out + "/server-" + lang + ".png") && ok;
    server.close();
    CFireWallDlg device(texts, &c.devices[0], w);
    ok = Save(&device, out + "/device-" + lang + ".png") && ok;
    device.close();
    CAboutDlg about(texts, w);
    ok = Save(&about, out + "/about-" + lang + ".png") && ok;
    about.close();
    OptionState options{o.programFolder, folder.path().toStdString() + "/autostart", language, 1};
    COptionDlg dlg(options, w);
    ok = Save(&dlg, out + "/options-" + lang + ".png") && ok;
    dlg.close();
    // The lists of a typical site: service accounts and a scanner, the server network kept out
    // of the user networks, and a VPN group.
    const std::string ini = c.configPath;
    const char* lists[][3] = {{"IgnoredAccounts", "Account", "svc-*"},
                              {"IgnoredAccounts", "Account", "CORP\\scanner"},
                              {"AddressRules", "Rule", "exclude 10.30.9.0/24"},
                              {"AddressRules", "Rule", "include 10.30.0.0/16"},
                              {"MemberGroups", "Group", "VPN-Users"},
                              {"MemberGroups", "Group", "CN=Sales-VPN,OU=Groups,DC=corp,DC=example,DC=com"}};
    for (std::size_t i = 0; i < std::size(lists); ++i) {
        const std::string key = lists[i][1] + std::to_string(i % 2 + 1);
        Set(ini, lists[i][0], key.c_str(), lists[i][2]);
        Set(ini, lists[i][0], "Num", "2");
    }
    CFiltersDlg filters(o.programFolder, ini, language, {c.servers[0].userName}, w);
    ok = Save(&filters, out + "/filters-" + lang + ".png") && ok;
    filters.close();
    testing::FakeWorker worker(o.programFolder, ".", SampleSnapshot());
    COnlineUsersDlg users(o.programFolder, language, w);
    QSignalSpy shown(&users, &COnlineUsersDlg::Refreshed);  // the workers are read off the UI thread
    ok = worker.Ok() && shown.wait(5000) && Save(&users, out + "/users-" + lang + ".png") && ok;
    users.close();
    w->hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "Usage: orvane_agent_screenshots PACKAGING_FOLDER OUTPUT_FOLDER\n"
                     "Draws the console's windows, in English and Simplified Chinese, into PNG files.\n");
        return 2;
    }
    QApplication qapp(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QString packaging = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(out);
    bool ok = Shoot(packaging, out, kEnglish);
    ok = Shoot(packaging, out, kSimplifiedChinese) && ok;
    ok = ShootReadOnly(packaging, out) && ok;
    return ok ? 0 : 1;
}
