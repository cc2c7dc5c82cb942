// Drives the real console (its window over the given program folder, with this build's own
// service control) from commands read on a FIFO, for the tests against a real systemd. Prints
// one line for what it sees after each command. Not installed; changes nothing in the console.
//
//   orvane_console_driver FOLDER FIFO
//   commands: click ID        press the window's push button with that control id (and wait
//                             for a service request it made to end)
//             state           print the service state and whether Start, Stop and the port
//                             edit are enabled
//             command N       run window command N (3526 start, 3527 stop) and wait for it
//             exit            choose Exit in the tray menu (stops the service, ends the console)
#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "console/app/agent_app.h"

namespace {

using orvane::console::COrvaneAgentApp;
using orvane::console::COrvaneAgentDlg;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Every message box the console opens is reported and closed, so a command never hangs.
void AnswerMessageBoxes() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("orvaneSeen").toBool()) return;
    box->setProperty("orvaneSeen", true);
    Say("message " + box->text().simplified().toStdString());
    QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
}

// Says `line` now, or once the service request the window has in flight has ended.
void SayWhenSettled(COrvaneAgentDlg* w, const std::string& line) {
    if (!w->ServiceRequestBusy()) {
        Say(line);
        return;
    }
    auto done = std::make_shared<QMetaObject::Connection>();
    *done = QObject::connect(w, &COrvaneAgentDlg::ServiceRequestFinished, [done, line] {
        QObject::disconnect(*done);
        Say(line);
    });
}

const char* Enabled(COrvaneAgentDlg* w, const char* id) {
    auto* control = w->findChild<QWidget*>(QString::fromLatin1(id));
    return control && control->isEnabled() ? "1" : "0";
}

void Run(COrvaneAgentApp& agent, const std::string& command) {
    COrvaneAgentDlg* w = agent.Window();
    if (command.rfind("click ", 0) == 0) {
        const QString id = QString::fromStdString(command.substr(6));
        auto* button = w->findChild<QPushButton*>(id);
        if (!button || !button->isEnabled()) {
            Say("cannot click " + id.toStdString());
            return;
        }
        button->click();
        // A start or stop runs off the window's thread: "clicked" once the window shows its end.
        SayWhenSettled(w, "clicked " + id.toStdString());
    } else if (command == "state") {
        // 1014 is Start, 1013 Stop, 1028 the listen port's edit.
        Say("state " + std::to_string(agent.Core()->ServiceState()) + " start=" + Enabled(w, "1014") +
            " stop=" + Enabled(w, "1013") + " port=" + Enabled(w, "1028"));
    } else if (command.rfind("command ", 0) == 0) {
        // A window command as another program would send it (3526 start, 3527 stop): not gated
        // by the window's buttons, so a refusal comes from the service manager itself.
        const unsigned id = static_cast<unsigned>(std::strtoul(command.c_str() + 8, nullptr, 10));
        w->RunCommand(id);
        SayWhenSettled(w, "ran " + std::to_string(id));
    } else if (command == "exit") {
        // The tray menu's own Exit action, as the administrator chooses it.
        std::unique_ptr<QMenu> menu(w->BuildTrayMenu(nullptr));
        auto* exitAction = menu->findChild<QAction*>(QString::number(orvane::console::kCmdExit));
        if (!exitAction || !exitAction->isEnabled()) {
            Say("cannot exit");
            return;
        }
        exitAction->trigger();
    } else {
        Say("unknown command " + command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvane::console;
    if (argc != 3) {
        std::fputs("usage: orvane_console_driver FOLDER FIFO\n", stderr);
        return 2;
    }
    // Read and write, so the FIFO never reads as ended between two writers.
    const int fifo = ::open(argv[2], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0) {
        std::perror(argv[2]);
        return 2;
    }
    AgentStartOptions options;
    options.programFolder = argv[1];
    options.trayHost = false;
    std::string pending;
    const int status = RunAgent(argc, argv, options, [&](COrvaneAgentApp& agent) {
        COrvaneAgentDlg* w = agent.Window();
        QObject::connect(w, &COrvaneAgentDlg::Exited, [] { Say("exited"); });
        auto* boxes = new QTimer(w);
        QObject::connect(boxes, &QTimer::timeout, &AnswerMessageBoxes);
        boxes->start(20);
        auto* notifier = new QSocketNotifier(fifo, QSocketNotifier::Read, w);
        QObject::connect(notifier, &QSocketNotifier::activated, [&agent, &pending, fifo] {
            char buffer[256];
            ssize_t n;
            while ((n = ::read(fifo, buffer, sizeof buffer)) > 0) pending.append(buffer, static_cast<size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty()) Run(agent, line);
            }
        });
        Say("ready");
    });
    if (status != 0) Say("console ended: " + std::to_string(status));
    ::close(fifo);
    return status;
}
