// Draws the console's main window in both modes and each of its dialogs, in English and in
// Simplified Chinese, into PNG files (run by scripts/screenshots under Xvfb).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "common/config.h"
#include "common/profile.h"
#include "console/app/agent_app.h"
#include "console/app/entry_dialogs.h"
#include "console/app/small_dialogs.h"
#include "console/core/language.h"

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

bool Shoot(const QString& packaging, const QString& out, std::uint32_t language) {
    QTemporaryDir folder;
    if (!folder.isValid() || !MakeFolder(folder.path(), packaging, language)) return false;
    qputenv("ORVANE_LOCK_DIR", folder.path().toUtf8());
    const QString lang = QString::number(language);
    COrvaneAgentApp app;
    AgentStartOptions o;
    o.programFolder = folder.path().toStdString();
    o.trayHost = false;
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
    return ok ? 0 : 1;
}
