#include "service/service_main.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/config.h"
#include "common/log.h"
#include "common/text.h"
#include "common/worker_snapshot.h"
#include "platform/clock.h"
#include "platform/crash_handler.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/thread.h"
#include "service/worker_supervisor.h"

namespace orvane {
namespace {

using platform::ServiceResult;
using platform::ServiceState;

constexpr const char* kServiceName = "OrvaneSRV";
constexpr std::size_t kModulePathCapacity = 520;
// The longest a removal waits for the service to stop (it stops in well under a second).
constexpr unsigned kStopWaitMs = 60000;
constexpr unsigned kStopPollMs = 10;
constexpr unsigned kRemoveFileDelayMs = 1500;
// log/ and run/ when -install has to make them (as the worker makes run/).
constexpr unsigned kPrivateFolderMode = 0750;

// The documented control codes.
constexpr int kControlStop = 1;
constexpr int kControlPause = 2;
constexpr int kControlContinue = 3;

struct Service {
    std::string folder;
    std::string configPath;
    std::atomic<std::uint32_t> state{static_cast<std::uint32_t>(ServiceState::StartPending)};
    ServiceSettings settings;
    // Why the service, though running, runs no worker ("idle: ..."), shown instead of "RUNNING";
    // empty otherwise. Read by the control handler, so under the lock.
    std::mutex idleLock;
    std::string idleReason;
    // A continue lets the monitor restart the workers that failed: the reason ends there.
    bool idleEndsOnContinue = false;
    WorkerSupervisor supervisor{platform::SystemProcesses(), platform::GetClock(), state};
};

Service& TheService() {
    static Service s;
    return s;
}

void PrintUsage() {
    std::printf(
        "Usage: OrvaneSRV [-install | -remove]\n"
        "The Orvane service: started by systemd, it starts the Orvane workers of the program folder\n"
        "and starts again any that ends.\n"
        "  -install   register the service OrvaneSRV with systemd (started with the machine, not now)\n"
        "  -remove    stop the service, unregister it and delete this program file\n"
        "  (none)     run as the service; does nothing unless systemd started it\n"
        "Control: systemctl start|stop|status OrvaneSRV; pause and continue:\n"
        "  systemctl kill --kill-whom=main -s SIGUSR1 OrvaneSRV   (pause: ended workers stay ended)\n"
        "  systemctl kill --kill-whom=main -s SIGUSR2 OrvaneSRV   (continue)\n"
        "SIGTERM and SIGINT stop it; any other signal (SIGHUP included) is ignored.\n"
        "Everything is logged to log/LOG_OrvaneSRV.txt in the program folder (UTF-16LE).\n");
}

std::string ProgramPath(const Service& s) { return platform::JoinPath(s.folder, kServiceName); }

void InstallService(Service& s) {
    ServiceResult r;
    std::string why;
    auto scm = platform::OpenServiceManager(platform::ServiceManagerAccess::Full, r, why);
    if (!scm) {
        LogError("[ERR]Open the service control manager database failure!");
        return;
    }
    int err = 0;
    platform::ServiceDefinition def;
    def.name = kServiceName;
    def.displayName = kServiceName;
    def.programPath = ProgramPath(s);
    def.notes =
        "# Pause (ended workers are not started again) and continue:\n"
        "#   systemctl kill --kill-whom=main -s SIGUSR1 OrvaneSRV\n"
        "#   systemctl kill --kill-whom=main -s SIGUSR2 OrvaneSRV\n"
        "# No Restart=: the service restarts its workers itself.\n";
    // What the service and its workers write: logs and crash dumps, status sockets, the lock
    // folder and the machine key. Ending workers started by another user takes CAP_KILL; a
    // listening port below 1024, CAP_NET_BIND_SERVICE.
    const std::string logFolder = platform::JoinPath(s.folder, "log");
    const std::string runFolder = StatusSocketFolder(s.folder);
    for (const std::string& folder : {logFolder, runFolder}) {
        if (!platform::EnsureSocketFolder(folder, kPrivateFolderMode, err))
            LogError("[ERR]Create folder %s fail! ErrorCode:%ld", folder.c_str(), static_cast<long>(err));
    }
    def.writableFolders = {logFolder, runFolder};
    def.runtimeFolderName = "orvane";
    def.stateFolderName = "orvane";
    def.capabilities = {"CAP_KILL", "CAP_NET_BIND_SERVICE"};
    r = scm->Create(def);
    if (r == ServiceResult::Ok) {
        LogInfo("[INF]Create the service success!");
    } else if (r == ServiceResult::ServiceExists) {
        LogError("[ERR]The service already exists!");
        if (scm->Exists(kServiceName) != ServiceResult::Ok) LogError("[ERR]Open the service failure!");
    } else {
        LogError("[ERR]Create the service failure!");
        std::fprintf(stderr, "OrvaneSRV: %s\n", scm->LastErrorText().c_str());
    }
}

// True when path names the very file this process runs from.
bool IsOwnExecutable(const std::string& path) {
    struct stat a {}, b {};
    return ::stat(path.c_str(), &a) == 0 && ::stat("/proc/self/exe", &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

void RemoveService(Service& s) {
    const std::string program = ProgramPath(s);
    ServiceResult r;
    std::string why;
    auto scm = platform::OpenServiceManager(platform::ServiceManagerAccess::Full, r, why);
    if (!scm) {
        if (r == ServiceResult::AccessDenied)
            LogError("[ERR]Access the service control manager database is denied!");
        else
            LogError("[ERR]Open the service control manager database failure!");
        return;
    }
    r = scm->Exists(kServiceName);
    if (r != ServiceResult::Ok) {
        LogError(r == ServiceResult::ServiceDoesNotExist ? "[ERR]The service not exists!" : "[ERR]Open the service failure!");
    } else {
        ServiceState state = ServiceState::Stopped;
        if (scm->Query(kServiceName, state) != ServiceResult::Ok) {
            LogError("[ERR]Query the service failure!");
        } else if (state == ServiceState::Stopped) {
            LogError("[ERR]The service already stopped!");
        } else if (scm->Stop(kServiceName) != ServiceResult::Ok) {
            LogError("[ERR]Stop the service failure!");
            std::fprintf(stderr, "OrvaneSRV: %s\n", scm->LastErrorText().c_str());
        } else {
            platform::Clock& clock = platform::GetClock();
            ServiceResult queried = ServiceResult::Ok;
            for (unsigned waited = 0; waited < kStopWaitMs; waited += kStopPollMs) {
                queried = scm->Query(kServiceName, state);
                if (queried != ServiceResult::Ok || state != ServiceState::StopPending) break;
                clock.SleepMs(kStopPollMs);
            }
            if (state == ServiceState::Stopped) {
                LogInfo("[INF]Stop the service success!");
            } else {
                LogError("[ERR]Stop the service failure!");
                // Say what was seen instead of stopped, for whoever has to find out why.
                std::fprintf(stderr, "OrvaneSRV: after the stop request the service is %s%s%s\n",
                             ServiceStateText(state), queried != ServiceResult::Ok ? "; asking failed: " : "",
                             queried != ServiceResult::Ok ? scm->LastErrorText().c_str() : "");
            }
        }
        if (scm->Delete(kServiceName) == ServiceResult::Ok)
            LogInfo("[INF]Delete the service success!");
        else
            LogError("[ERR]Delete the service failure!");
    }
    scm.reset();

    platform::GetClock().SleepMs(kRemoveFileDelayMs);
    struct stat st {};
    if (::stat(program.c_str(), &st) != 0) {
        LogError("[ERR]Service file no exists!");
        return;
    }
    // A running program cannot delete its own file on the system this was made for; keep that
    // outcome, so the file a removal runs from is never pulled from under it.
    if (!IsOwnExecutable(program) && ::unlink(program.c_str()) == 0)
        LogInfo("[INF]Delete file success!");
    else
        LogError("[ERR]Delete file failure!");
}

bool Report(Service& s, int& err) {
    const auto state = static_cast<ServiceState>(s.state.load());
    std::string idle;
    {
        std::lock_guard<std::mutex> guard(s.idleLock);
        idle = s.idleReason;
    }
    if (state == ServiceState::Running && !idle.empty()) return platform::ReportServiceStatusText(idle, err);
    return platform::ReportServiceState(state, err);
}

// The workers are ended and nothing restarts them: the manager keeps the service active (the
// state machine says running), but its status line says why nothing runs.
void ReportIdle(Service& s, const std::string& reason, bool endsOnContinue) {
    {
        std::lock_guard<std::mutex> guard(s.idleLock);
        s.idleReason = reason;
        s.idleEndsOnContinue = endsOnContinue;
    }
    // A pause that came meanwhile keeps "PAUSED"; the continue shows the reason.
    if (s.state == static_cast<std::uint32_t>(ServiceState::Paused)) return;
    int err = 0;
    if (!platform::ReportServiceStatusText(reason, err))
        LogError("[ERR]Set the service status failed! ErrorNum:%d", err);
}

void ControlHandler(Service& s, int control) {
    switch (control) {
        case kControlStop:
            // State first, so the monitor restarts nothing while the workers are ended.
            s.state = static_cast<std::uint32_t>(ServiceState::Stopped);
            s.supervisor.StopWorkers();
            break;
        case kControlPause: s.state = static_cast<std::uint32_t>(ServiceState::Paused); break;
        case kControlContinue: {
            std::lock_guard<std::mutex> guard(s.idleLock);
            if (s.idleEndsOnContinue) s.idleReason.clear();
            s.state = static_cast<std::uint32_t>(ServiceState::Running);
            break;
        }
        default: break;
    }
    int err = 0;
    if (!Report(s, err)) LogError("[ERR]Set the service status failed! ErrorNum:%d", err);
}

void ServiceMainRoutine(Service& s) {
    // Reported running before the configuration is read: systemctl start returns here.
    s.state = static_cast<std::uint32_t>(ServiceState::Running);
    int err = 0;
    if (!Report(s, err)) {
        LogError("[ERR]Set the service status failed!");
        return;
    }
    if (ReadServiceConfig(s.configPath, s.settings) != 1) {
        LogError("[ERR]Read config info failed!");
        ReportIdle(s, "idle: config.ini cannot be read: " + s.configPath, false);
        return;
    }
    s.supervisor.Configure(s.folder, s.settings);
    s.supervisor.KillLeftoverWorkers();
    s.supervisor.RemoveStaleStatusSockets();
    if (s.supervisor.StartWorkers() != 0) {
        const std::string reason = s.supervisor.IdleReason();
        if (!reason.empty()) ReportIdle(s, reason, s.settings.serverCount != 0);
    }
    if (!platform::StartThread([&s] { s.supervisor.MonitorLoop(); }, err))
        LogError("[ERR]Create monitor service thread failed!");
}

// Stands in for the service dispatcher: the service main routine on a thread of its own, the
// control requests (signals from systemd) handled on this thread until the service stopped.
void RunDispatcher(Service& s, const sigset_t& controls) {
    int err = 0;
    if (!platform::StartThread([&s] { ServiceMainRoutine(s); }, err)) {
        LogError("[ERR]Register the service failed!");
        return;
    }
    for (;;) {
        int sig = ::sigwaitinfo(&controls, nullptr);
        if (sig < 0) continue;
        int control = sig == platform::PauseSignal()      ? kControlPause
                      : sig == platform::ContinueSignal() ? kControlContinue
                                                          : kControlStop;
        ControlHandler(s, control);
        if (control == kControlStop) return;
    }
}

// Any other signal whose default would end the service (SIGHUP, SIGPIPE, SIGALRM, the real-time
// ones, ...) changes nothing: ending here would orphan the workers. Faults keep their default so
// the crash handler still sees them; workers start with every signal back at its default.
void IgnoreOtherSignals(const sigset_t& controls) {
    for (int sig = 1; sig < NSIG; ++sig) {
        switch (sig) {
            case SIGKILL: case SIGSTOP: case SIGCHLD: case SIGCONT:
            case SIGSEGV: case SIGBUS: case SIGILL: case SIGFPE: case SIGABRT: case SIGTRAP: case SIGSYS:
                continue;
            default:
                break;
        }
        if (sigismember(&controls, sig) == 1) continue;
        // The C library keeps a few real-time signals for itself and refuses them; nothing to do.
        (void)std::signal(sig, SIG_IGN);
    }
}

}  // namespace

int ServiceMain(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage();
        return 0;
    }
    // Control requests arrive as signals; every thread started from here on keeps them blocked
    // so that only the dispatcher takes them.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, platform::PauseSignal());
    sigaddset(&controls, platform::ContinueSignal());
    pthread_sigmask(SIG_BLOCK, &controls, nullptr);
    IgnoreOtherSignals(controls);

    Service& s = TheService();
    std::string modulePath;
    int err = 0;
    const platform::ModulePathResult pathResult = platform::GetModulePath(modulePath, kModulePathCapacity, err);
    const std::string logFolder = pathResult == platform::ModulePathResult::Ok ? platform::FolderOf(modulePath)
                                                                               : platform::AbsolutePath(".");
    // The workers inherit the current folder: "/" holds nothing that could weaken them.
    const bool leftCallerFolder = platform::LeaveCallerFolder();
    const int leaveError = errno;
    static FixedFileLog log(platform::JoinPath(logFolder, "log/LOG_OrvaneSRV.txt"));
    log.SetLevel(0);
    SetLogSink(&log);

    LogInfo("[INF]Start the AD service...!");
    platform::SetCrashDumpPrefix(kServiceName);
    platform::SetCrashDumpFolder(platform::CrashDumpFolderOf(logFolder));
    platform::InstallCrashHandler();
    if (!leftCallerFolder)
        LogError("[ERR]Change to the root folder fail! ErrorCode:%ld", static_cast<long>(leaveError));
    if (pathResult == platform::ModulePathResult::Failed) {
        LogError("[ERR]Get module file name path fail!");
        return 0;
    }
    if (pathResult == platform::ModulePathResult::Truncated) {
        LogError("[ERR]Module path is invalid!");
        return 0;
    }
    s.folder = platform::FolderOf(modulePath);
    s.configPath = platform::JoinPath(s.folder, "config.ini");

    if (argc == 2) {
        if (EqualsNoCase(argv[1], "-install"))
            InstallService(s);
        else if (EqualsNoCase(argv[1], "-remove"))
            RemoveService(s);
        return 0;
    }

    if (platform::StartedAsService())
        RunDispatcher(s, controls);
    else
        std::fprintf(stderr, "OrvaneSRV: not started by systemd; use 'systemctl start OrvaneSRV' (see --help)\n");
    s.settings.serverAddresses.clear();
    LogInfo("[INF]Quit the AD service...!");
    // The monitor thread still runs; end without destroying what it uses.
    std::fflush(nullptr);
    ::_exit(0);
}

}  // namespace orvane
