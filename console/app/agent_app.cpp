#include "console/app/agent_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstring>
#include <QSystemTrayIcon>
#include <QTimer>

#include "common/log.h"
#include "console/core/autostart.h"

namespace orvane::console {

COrvaneAgentApp::~COrvaneAgentApp() {
    // The window refers to the core; the core's watchdog ends with it.
    window_.reset();
    core_.reset();
}

std::optional<int> COrvaneAgentApp::Start(const AgentStartOptions& o) {
    switch (PrepareConsole(o.programFolder, start_)) {
        case StartCheck::Ok:
            break;
        default:
            return 1;  // logged by PrepareConsole (or nothing to log into)
    }
    SetMessageLanguage(start_.languageId);
    options_.programFolder = start_.programFolder;
    options_.autostartFolder = AutostartFolder();
    options_.languageId = start_.languageId;
    options_.autoStartFlag = ReadAutoStartFlag(options_.autostartFolder);

    switch (guard_.Acquire()) {
        case InstanceGuard::Acquired:
            break;
        case InstanceGuard::AlreadyRunning:
            ShowConsoleMessage(Q(start_.texts.Text(TextId::Agent_OrvaneStarted)));
            return 1;
        case InstanceGuard::CreateFailed:
            ShowConsoleMessage(Q(start_.texts.Text(TextId::Agent_MutexCreateErr)));
            return 1;
    }

    ServiceControl* service = o.service;
    if (!service) {
        ownService_ = MakeSystemServiceControl();
        service = ownService_.get();
    }
    core_ = std::make_unique<ConsoleCore>(start_.programFolder, start_.texts, *service, messages_);
    const bool trayHost = o.trayHost.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    window_ = std::make_unique<COrvaneAgentDlg>(*core_, options_, o.startHidden, trayHost);
    // A config.ini without a required key ends the console (the line is written), with code 0.
    if (!window_->Initialise()) {
        // Unreadable to this user (the package keeps it root's): say so, as the log may be root's too.
        if (::faccessat(AT_FDCWD, start_.configPath.c_str(), R_OK, AT_EACCESS) != 0) {
            const int error = errno;
            ShowConsoleMessage(QStringLiteral("Cannot read %1: %2. ")
                                   .arg(Q(start_.configPath), QString::fromLocal8Bit(std::strerror(error))) +
                               Q(RightsHint(start_.programFolder + "/OrvaneAgent")));
        }
        return 0;
    }
    // Run by a user without the rights, the console says so at once instead of failing later.
    const ConsoleRights rights = core_->CheckRights();
    const std::string problem = RightsProblem(rights, start_.configPath, start_.programFolder + "/log",
                                              start_.programFolder + "/OrvaneAgent");
    window_->ApplyRights(rights, problem);
    if (!o.startHidden)
        window_->show();
    else if (!trayHost)
        window_->showMinimized();  // no notification area to wait in: the task bar instead
    if (!problem.empty()) {
        LogError("[ERR]%s", problem.c_str());
        // Once the event loop runs, over the window that shows the same line.
        QTimer::singleShot(0, window_.get(), [text = Q(problem)] { ShowConsoleMessage(text); });
    }
    return std::nullopt;
}

int RunAgent(int& argc, char** argv, const AgentStartOptions& options,
             const std::function<void(COrvaneAgentApp&)>& running) {
    auto log = OpenConsoleLog(options.programFolder);
    SetLogSink(log.get());

    QApplication app(argc, argv);
    // The window hides instead of closing; only Exit ends the console.
    QApplication::setQuitOnLastWindowClosed(false);
    int status = 0;
    {
        COrvaneAgentApp agent;
        if (auto code = agent.Start(options)) {
            status = *code;
        } else {
            QObject::connect(agent.Window(), &COrvaneAgentDlg::Exited, &app, [] { QApplication::exit(0); });
            if (running) running(agent);
            status = QApplication::exec();
        }
    }
    SetLogSink(nullptr);
    return status;
}

const char* AgentUsage() {
    return "Usage: OrvaneAgent [-Hide]\n"
           "\n"
           "The configuration console of the Orvane single sign-on agent: edits config.ini in the\n"
           "program folder (the folder of OrvaneAgent), starts and stops the service OrvaneSRV, and\n"
           "keeps it running while the console is open. Leaving the console (Exit in its tray\n"
           "menu) stops the service.\n"
           "\n"
           "Options:\n"
           "  -Hide    start in the notification area without showing the window (where the\n"
           "           desktop has no notification area, the window starts minimised)\n"
           "  --help   show this help\n"
           "\n"
           "One console runs per user (root's consoles share one guard); a second one says so\n"
           "and ends. Interface texts come from language.ini, the language from CurLanguageId in\n"
           "config.ini. The console logs to log/LOG_UI.txt in the program folder.\n";
}

}  // namespace orvane::console
