// OrvaneAgent: the administrator's console.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "console/app/agent_app.h"

int main(int argc, char** argv) {
    using namespace orvane::console;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(AgentUsage(), stdout);
            return 0;
        }
    }
    const bool hide = HasHideFlag(argc, argv);
    std::string folder;
    if (!ExecutableFolder(folder)) return 1;
    auto log = OpenConsoleLog(folder);
    orvane::SetLogSink(log.get());

    QApplication app(argc, argv);
    // The window hides instead of closing; only Exit ends the console.
    QApplication::setQuitOnLastWindowClosed(false);
    int status = 0;
    {
        COrvaneAgentApp agent;
        AgentStartOptions options;
        options.programFolder = folder;
        options.startHidden = hide;
        if (auto code = agent.Start(options)) {
            status = *code;
        } else {
            QObject::connect(agent.Window(), &COrvaneAgentDlg::Exited, &app, [] { QApplication::exit(0); });
            status = QApplication::exec();
        }
    }
    orvane::SetLogSink(nullptr);
    return status;
}
