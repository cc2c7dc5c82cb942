#pragma once
// COrvaneAgentApp: the console's start-up in its documented order, and what lives for the whole run
// (texts, single-instance guard, core, main window).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "console/app/main_window.h"
#include "console/app/message_boxes.h"
#include "console/app/small_dialogs.h"
#include "console/core/console_core.h"
#include "console/core/console_start.h"
#include "console/core/single_instance.h"

namespace orvane::console {

struct AgentStartOptions {
    std::string programFolder;
    bool startHidden = false;
    // Whether a notification area exists; unset asks the desktop.
    std::optional<bool> trayHost;
    // The service manager; null uses this build's own.
    ServiceControl* service = nullptr;
};

class COrvaneAgentApp {
public:
    COrvaneAgentApp() = default;
    ~COrvaneAgentApp();
    COrvaneAgentApp(const COrvaneAgentApp&) = delete;
    COrvaneAgentApp& operator=(const COrvaneAgentApp&) = delete;

    // Runs the start-up up to the shown (or hidden) main window. An exit code when the console
    // must end instead (the reason is logged or shown); nothing when the event loop should run.
    std::optional<int> Start(const AgentStartOptions& options);
    COrvaneAgentDlg* Window() const { return window_.get(); }
    ConsoleCore* Core() const { return core_.get(); }

private:
    ConsoleStart start_;
    SingleInstance guard_;
    std::unique_ptr<ServiceControl> ownService_;
    QtMessages messages_;
    OptionState options_;
    std::unique_ptr<ConsoleCore> core_;
    std::unique_ptr<COrvaneAgentDlg> window_;
};

// The whole run of the console over options.programFolder: its log, the Qt application, the
// start-up and the event loop until Exit. `running`, when given, sees the started console just
// before the loop (the test driver hooks in there). The process's exit code.
int RunAgent(int& argc, char** argv, const AgentStartOptions& options,
             const std::function<void(COrvaneAgentApp&)>& running = {});

// The help text of OrvaneAgent.
const char* AgentUsage();

}  // namespace orvane::console
