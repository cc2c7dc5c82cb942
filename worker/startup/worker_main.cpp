#include "worker/startup/worker_main.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/crash_handler.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "worker/startup/clean_overdue_log.h"
#include "worker/startup/command_line.h"
#include "worker/startup/worker_runtime.h"

namespace orvane {
namespace {

constexpr std::size_t kModulePathCapacity = 520;

void PrintUsage() {
    std::printf(
        "Usage: Orvane [SERVER [FLAG]]\n"
        "The Orvane worker, normally started by the OrvaneSRV service from the program folder.\n"
        "  (no argument)   client-report worker without heartbeats\n"
        "  SERVER          the worker for one directory server (log-query mode)\n"
        "  SERVER FLAG     as above, and this worker sends the heartbeats; SERVER \".\" means none\n"
        "                  (the service starts \"Orvane . 0\" in client-report mode)\n"
        "Settings come from config.ini beside the executable; the log is written to its log folder.\n");
}

}  // namespace

int WorkerMain(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage();
        return 0;
    }
    WorkerRuntime& rt = Runtime();
    WorkerSettings& s = rt.settings;

    const WorkerCommandLine cl = ParseCommandLine(argc, argv);
    s.serverArgument = cl.serverArgument;
    s.heartbeat = cl.heartbeat;

    // The log needs the module folder for its file; a failure to get it is itself logged
    // (into the current folder's log, if any).
    std::string modulePath;
    int err = 0;
    const platform::ModulePathResult pathResult = platform::GetModulePath(modulePath, kModulePathCapacity, err);
    const std::string folder = pathResult == platform::ModulePathResult::Ok ? platform::FolderOf(modulePath)
                                                                            : platform::AbsolutePath(".");
    // Nothing in the folder the worker was started from (an ldaprc weakening TLS) may count.
    const bool leftCallerFolder = platform::LeaveCallerFolder();
    const int leaveError = errno;

    static WorkerLog log(folder, s.serverArgument);
    log.SetLevel(0);
    log.SetImmediateFlush(true);
    SetLogSink(&log);

    // A peer that closes a connection (a directory server restarting) must not end the worker.
    std::signal(SIGPIPE, SIG_IGN);
    platform::InstallCrashHandler();
    platform::SetCrashDumpFolder(platform::CrashDumpFolderOf(folder));
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
    s.moduleFolder = folder;
    s.configPath = platform::JoinPath(folder, "config.ini");

    if (!platform::StartThread([] { CleanOverdueLog(); }, err)) {
        LogError("[ERR]CleanOverdueLog:CreateThread Error !");
    }

    InitialiseWorker(rt, log);

    for (;;) platform::GetClock().SleepMs(1000);
}

}  // namespace orvane
