// Worker supervision against a fake process table and clock: what is started with which command
// line, when ended workers come back, and how a failed start in log-query mode ends the others.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "platform/crash_handler.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "service/worker_supervisor.h"
#include "test_util.h"

namespace orvane {
namespace {

using platform::ServiceState;
using testing::ScopedMemoryLog;

constexpr std::uint32_t S(ServiceState s) { return static_cast<std::uint32_t>(s); }

// Milliseconds pass only through the code's own sleeps.
class StepClock final : public platform::Clock {
public:
    std::int64_t Now() override { return ms / 1000; }
    bool LocalNow(platform::LocalTime&) override { return false; }
    struct Stop {};
    void SleepMs(unsigned n) override {
        ms += n;
        if (onSleep) onSleep();
        if (stopAt >= 0 && ms >= stopAt) throw Stop{};
    }
    std::int64_t ms = 0;
    std::int64_t stopAt = -1;
    std::function<void()> onSleep;
};

class FakeProcesses final : public platform::ProcessControl {
public:
    explicit FakeProcesses(StepClock& clock) : clock_(clock) {}

    struct Proc {
        std::vector<std::string> argv;
        std::string image;
        bool alive = true;
        bool child = false;
        std::int64_t startedMs = 0;
    };

    bool Spawn(const std::vector<std::string>& argv, int& pid, int& err) override {
        ++spawnCalls;
        if (failSpawnAt == spawnCalls || failAll) {
            err = 2;
            return false;
        }
        pid = next_++;
        procs[pid] = {argv, "Orvane", true, true, clock_.ms};
        started.push_back(pid);
        return true;
    }
    bool HasEnded(int pid) override { return pid == 0 || !procs.count(pid) || !procs[pid].alive; }
    bool TerminateChild(int pid, int&) override {
        procs[pid].alive = false;
        terminated.push_back(pid);
        return true;
    }
    bool ListProcesses(std::vector<platform::ProcessEntry>& out, int& err) override {
        if (listFails) {
            err = 13;
            return false;
        }
        out.clear();
        for (auto& [pid, p] : procs)
            if (p.alive) out.push_back({pid, p.image});
        return true;
    }
    bool Kill(int pid, int& err) override {
        if (auto it = killErrors.find(pid); it != killErrors.end()) {
            err = it->second;
            return false;
        }
        procs[pid].alive = false;
        killed.push_back(pid);
        return true;
    }

    int AddStray(const std::string& image) {
        int pid = next_++;
        procs[pid] = {{image}, image, true, false, 0};
        return pid;
    }
    std::vector<int> Alive() const {
        std::vector<int> v;
        for (auto& [pid, p] : procs)
            if (p.alive) v.push_back(pid);
        return v;
    }

    std::map<int, Proc> procs;
    std::vector<int> started, terminated, killed;
    std::map<int, int> killErrors;
    int spawnCalls = 0;
    int failSpawnAt = 0;
    bool failAll = false;
    bool listFails = false;

private:
    StepClock& clock_;
    int next_ = 100;
};

class SupervisorTest : public ::testing::Test {
protected:
    void Configure(std::uint16_t mode, std::vector<std::string> servers, int count = -1) {
        ServiceSettings s;
        s.modelType = mode;
        s.serverCount = static_cast<std::uint16_t>(count < 0 ? servers.size() : count);
        s.serverAddresses = std::move(servers);
        sup.Configure("/opt/Orvane/Orvane", s);
    }

    StepClock clock;
    FakeProcesses procs{clock};
    std::atomic<std::uint32_t> state{S(ServiceState::Running)};
    WorkerSupervisor sup{procs, clock, state};
    ScopedMemoryLog log;
};

TEST_F(SupervisorTest, ClientReportStartsOneHeartbeatWorkerWhateverTheServerCount) {
    Configure(0, {"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    state = S(ServiceState::StartPending);
    EXPECT_EQ(sup.StartWorkers(), 0);
    ASSERT_EQ(procs.started.size(), 1u);
    EXPECT_EQ(procs.procs[procs.started[0]].argv, (std::vector<std::string>{"/opt/Orvane/Orvane/Orvane", ".", "0"}));
    EXPECT_EQ(sup.Slot(0).commandLine, "/opt/Orvane/Orvane/Orvane . 0");
    EXPECT_EQ(state, S(ServiceState::Running));
}

TEST_F(SupervisorTest, NoServerStartsNothingInEitherMode) {
    for (std::uint16_t mode : {0, 1}) {
        Configure(mode, {}, 0);
        EXPECT_EQ(sup.StartWorkers(), -1);
        sup.MonitorCycle();
    }
    EXPECT_TRUE(procs.started.empty());
    EXPECT_EQ(procs.spawnCalls, 0);
    EXPECT_TRUE(log.Contains("[ERR]Nothing AD service to stop!"));
}

TEST_F(SupervisorTest, LogQueryStartsOneWorkerPerServer100MsApartOnlyTheFirstWithHeartbeats) {
    Configure(1, {"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    EXPECT_EQ(sup.StartWorkers(), 0);
    ASSERT_EQ(procs.started.size(), 3u);
    const std::string exe = "/opt/Orvane/Orvane/Orvane";
    EXPECT_EQ(procs.procs[procs.started[0]].argv, (std::vector<std::string>{exe, "10.0.0.1", "0"}));
    EXPECT_EQ(procs.procs[procs.started[1]].argv, (std::vector<std::string>{exe, "10.0.0.2"}));
    EXPECT_EQ(procs.procs[procs.started[2]].argv, (std::vector<std::string>{exe, "10.0.0.3"}));
    EXPECT_EQ(sup.Slot(1).commandLine, exe + " 10.0.0.2");
    EXPECT_EQ(procs.procs[procs.started[1]].startedMs - procs.procs[procs.started[0]].startedMs, 100);
    EXPECT_EQ(procs.procs[procs.started[2]].startedMs - procs.procs[procs.started[1]].startedMs, 100);
}

TEST_F(SupervisorTest, LogQueryFailedStartEndsTheStartedOnesAndLeavesTheServiceStoppedUntilNextStart) {
    Configure(1, {"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    int stray = procs.AddStray("Orvane");
    procs.failSpawnAt = 2;
    EXPECT_EQ(sup.StartWorkers(), -1);
    EXPECT_TRUE(log.Contains("[ERR]QueryLogModule:Create the process of IP's 10.0.0.2 failed! ErrorNum:2"));
    ASSERT_EQ(procs.started.size(), 1u);
    EXPECT_EQ(procs.terminated, std::vector<int>{procs.started[0]});
    EXPECT_FALSE(procs.procs[stray].alive);
    EXPECT_TRUE(procs.Alive().empty());
    EXPECT_EQ(state, S(ServiceState::Stopped));
    // The third server was never tried, and the monitor starts nothing in the stopped state.
    EXPECT_EQ(procs.spawnCalls, 2);
    for (int i = 0; i < 3; ++i) sup.MonitorCycle();
    EXPECT_EQ(procs.spawnCalls, 2);
}

// What the service publishes instead of "RUNNING" while nothing runs, and only then.
TEST_F(SupervisorTest, IdleReasonNamesWhatLeftNothingRunningAndClearsOnASuccessfulStart) {
    Configure(1, {}, 0);
    EXPECT_EQ(sup.StartWorkers(), -1);
    EXPECT_EQ(sup.IdleReason(), "idle: no directory server configured");
    Configure(0, {}, 0);
    EXPECT_EQ(sup.StartWorkers(), -1);
    EXPECT_EQ(sup.IdleReason(), "idle: no directory server configured");

    Configure(1, {"10.0.0.1", "10.0.0.5"});
    procs.failSpawnAt = procs.spawnCalls + 2;
    EXPECT_EQ(sup.StartWorkers(), -1);
    EXPECT_EQ(sup.IdleReason(), "idle: the worker for 10.0.0.5 could not start: No such file or directory");

    state = S(ServiceState::StartPending);
    EXPECT_EQ(sup.StartWorkers(), 0);
    EXPECT_EQ(sup.IdleReason(), "");
    // A client-report worker that cannot start is tried again by the monitor: not idle.
    sup.StopWorkers();
    Configure(0, {"10.0.0.1"});
    procs.failAll = true;
    EXPECT_EQ(sup.StartWorkers(), -1);
    EXPECT_EQ(sup.IdleReason(), "");
}

TEST_F(SupervisorTest, MonitorRestartsEndedWorkersOnlyWhileRunning) {
    Configure(1, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(sup.StartWorkers(), 0);
    const int first = procs.started[0], second = procs.started[1];

    sup.MonitorCycle();
    EXPECT_EQ(procs.started.size(), 2u) << "running workers are left alone";

    procs.procs[second].alive = false;
    state = S(ServiceState::Paused);
    sup.MonitorCycle();
    EXPECT_EQ(procs.started.size(), 2u) << "no restart during a pause";
    EXPECT_TRUE(procs.procs[first].alive) << "a pause leaves running workers alone";

    state = S(ServiceState::Running);
    sup.MonitorCycle();
    ASSERT_EQ(procs.started.size(), 3u);
    EXPECT_EQ(procs.procs[procs.started[2]].argv, procs.procs[second].argv) << "same command line on restart";
    EXPECT_EQ(sup.Slot(1).pid, procs.started[2]);

    state = S(ServiceState::Stopped);
    procs.procs[first].alive = false;
    sup.MonitorCycle();
    EXPECT_EQ(procs.started.size(), 3u);
}

TEST_F(SupervisorTest, FailedRestartsAreLoggedAndTriedAgainAtEveryCycle) {
    Configure(0, {"10.0.0.1"});
    ASSERT_EQ(sup.StartWorkers(), 0);
    procs.procs[procs.started[0]].alive = false;
    procs.failAll = true;
    sup.MonitorCycle();
    sup.MonitorCycle();
    EXPECT_EQ(procs.spawnCalls, 3);
    EXPECT_EQ(sup.Slot(0).pid, 0);
    EXPECT_NE(log.Text().find("[ERR]RecvMessageModule:Create process failed! ErrorNum:2"), std::string::npos);
    procs.failAll = false;
    sup.MonitorCycle();
    EXPECT_EQ(procs.started.size(), 2u) << "a slot with no process counts as ended";

}

TEST_F(SupervisorTest, MonitorLoopBringsAKilledWorkerBackWithinOneCycle) {
    Configure(1, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(sup.StartWorkers(), 0);
    const std::int64_t start = clock.ms;
    procs.procs[sup.Slot(1).pid].alive = false;
    // The loop never returns; the clock ends it after two cycles.
    clock.stopAt = start + 2 * (5000 + 200);
    try {
        sup.MonitorLoop();
    } catch (const StepClock::Stop&) {
    }
    ASSERT_EQ(procs.started.size(), 3u) << "restarted once, then left running";
    // First look at slot 0 at once, slot 1 100 ms later.
    EXPECT_EQ(procs.procs[procs.started[2]].startedMs - start, 100);
    // Nothing else happens between the looks: each cycle is two slots 100 ms apart and 5 s.
    EXPECT_EQ(clock.ms - start, 2 * 5200);
}

TEST_F(SupervisorTest, StopEndsWorkersAndEveryProcessNamedLikeTheWorkerOnly) {
    Configure(1, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(sup.StartWorkers(), 0);
    const int stray = procs.AddStray("Orvane");
    const int lower = procs.AddStray("orvane");
    const int longer = procs.AddStray("Orvane2");
    EXPECT_EQ(sup.StopWorkers(), 0);
    EXPECT_EQ(procs.terminated, (std::vector<int>{procs.started[0], procs.started[1]}));
    EXPECT_EQ(sup.Slot(0).pid, 0);
    EXPECT_EQ(sup.Slot(0).commandLine, "/opt/Orvane/Orvane/Orvane 10.0.0.1 0") << "command line kept";
    EXPECT_FALSE(procs.procs[stray].alive);
    EXPECT_TRUE(procs.procs[lower].alive);
    EXPECT_TRUE(procs.procs[longer].alive);
    EXPECT_EQ(state, S(ServiceState::Stopped));
}

TEST_F(SupervisorTest, LeftoverKillingLogsWhatItCannotEnd) {
    const int denied = procs.AddStray("Orvane");
    const int gone = procs.AddStray("Orvane");
    procs.killErrors[denied] = EPERM;
    procs.killErrors[gone] = ESRCH;
    EXPECT_EQ(sup.KillLeftoverWorkers(), 0);
    EXPECT_EQ(log.Text(), "[ERR]Open the process of Orvane failed! ErrorNum:1\n");
    procs.listFails = true;
    EXPECT_EQ(sup.KillLeftoverWorkers(), -1);
    EXPECT_TRUE(log.Contains("[ERR]Get a snapshot of the process failed! ErrorNum:13"));
}

// The real process layer: started children are seen, ended and reaped.
TEST(SystemProcesses, SpawnSeeTerminateAndReap) {
    platform::ProcessControl& p = platform::SystemProcesses();
    int pid = 0, err = 0;
    ASSERT_TRUE(p.Spawn({"/bin/sleep", "30"}, pid, err)) << err;
    EXPECT_FALSE(p.HasEnded(pid));
    std::vector<platform::ProcessEntry> list;
    ASSERT_TRUE(p.ListProcesses(list, err));
    bool seen = false;
    for (const auto& e : list) seen = seen || (e.pid == pid && e.imageName == "sleep");
    EXPECT_TRUE(seen);
    ASSERT_TRUE(p.TerminateChild(pid, err));
    struct stat st {};
    EXPECT_NE(::stat(("/proc/" + std::to_string(pid)).c_str(), &st), 0) << "no zombie left";

    ASSERT_TRUE(p.Spawn({"/bin/true"}, pid, err));
    for (int i = 0; i < 500 && !p.HasEnded(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(p.HasEnded(pid));
    EXPECT_NE(::stat(("/proc/" + std::to_string(pid)).c_str(), &st), 0) << "an ended child is reaped";

    EXPECT_FALSE(p.Spawn({"/nonexistent/Orvane", "."}, pid, err));
    EXPECT_EQ(err, ENOENT);
}

TEST(SystemProcesses, ChildrenGetDefaultSignalsAndNoNotifySocket) {
    // The service blocks its control signals; a worker must not inherit that.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    testing::ScopedEnv notify("NOTIFY_SOCKET", "/run/systemd/notify");
    testing::TempDir dir;
    const std::string out = dir / "out";
    int pid = 0, err = 0;
    platform::ProcessControl& p = platform::SystemProcesses();
    ASSERT_TRUE(p.Spawn({"/bin/sh", "-c", "grep SigBlk /proc/self/status > " + out + "; echo \"N=$NOTIFY_SOCKET\" >> " + out},
                        pid, err));
    for (int i = 0; i < 500 && !p.HasEnded(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    const std::string text = testing::ReadFile(out);
    EXPECT_NE(text.find("SigBlk:\t0000000000000000"), std::string::npos) << text;
    EXPECT_NE(text.find("N=\n"), std::string::npos) << text;
}

TEST(ServiceState, PublishedTextsRoundTrip) {
    for (auto s : {ServiceState::Stopped, ServiceState::StartPending, ServiceState::StopPending, ServiceState::Running,
                   ServiceState::Paused}) {
        ServiceState back = ServiceState::ContinuePending;
        ASSERT_TRUE(platform::ServiceStateFromText(platform::ServiceStateText(s), back));
        EXPECT_EQ(back, s);
    }
    ServiceState unchanged = ServiceState::Running;
    EXPECT_FALSE(platform::ServiceStateFromText("", unchanged));
    EXPECT_EQ(unchanged, ServiceState::Running);
    EXPECT_STREQ(platform::ServiceStateText(ServiceState::Paused), "PAUSED");
}

TEST(ServiceUnit, ExecPathIsTakenLiterallyBySystemd) {
    EXPECT_EQ(platform::QuoteExecPath("/opt/Orvane/Orvane/OrvaneSRV"), "\"/opt/Orvane/Orvane/OrvaneSRV\"");
    EXPECT_EQ(platform::QuoteExecPath("/opt/My Orvane/100%/$HOME/a\"b\\c/OrvaneSRV"),
              "\"/opt/My Orvane/100%%/$$HOME/a\\\"b\\\\c/OrvaneSRV\"");
}

TEST(ServiceUnit, CarriesTheSandboxWithTheWritableFoldersTakenLiterally) {
    platform::ServiceDefinition def;
    def.name = def.displayName = "OrvaneSRV";
    def.programPath = "/opt/My Orvane/100%/$HOME/OrvaneSRV";
    def.writableFolders = {"/opt/My Orvane/100%/$HOME/log", "/opt/My Orvane/100%/$HOME/run"};
    def.runtimeFolderName = def.stateFolderName = "orvane";
    def.capabilities = {"CAP_KILL", "CAP_NET_BIND_SERVICE"};
    const std::string text = platform::UnitText(def);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
    }
    auto has = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line) == 1; };
    // What the service has always had, then the sandbox, all in [Service].
    const auto service = std::find(lines.begin(), lines.end(), "[Service]");
    const auto install = std::find(lines.begin(), lines.end(), "[Install]");
    ASSERT_LT(service, install);
    EXPECT_TRUE(has("Type=notify") && has("NotifyAccess=main") && has("WantedBy=multi-user.target"));
    EXPECT_TRUE(has("ExecStart=\"/opt/My Orvane/100%%/$$HOME/OrvaneSRV\""));
    // ReadWritePaths expands specifiers but not variables.
    EXPECT_TRUE(has("ReadWritePaths=\"/opt/My Orvane/100%%/$HOME/log\" \"/opt/My Orvane/100%%/$HOME/run\""));
    for (const char* line :
         {"NoNewPrivileges=yes", "PrivateTmp=yes", "ProtectSystem=strict", "ProtectHome=yes",
          "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK", "SystemCallFilter=@system-service",
          "SystemCallArchitectures=native", "CapabilityBoundingSet=CAP_KILL CAP_NET_BIND_SERVICE", "UMask=0027",
          "RuntimeDirectory=orvane", "RuntimeDirectoryMode=0700", "RuntimeDirectoryPreserve=yes",
          "StateDirectory=orvane", "StateDirectoryMode=0700"}) {
        const auto at = std::find(lines.begin(), lines.end(), line);
        EXPECT_TRUE(at > service && at < install) << line << " missing from [Service]:\n" << text;
    }
}

TEST_F(SupervisorTest, AStopDuringAMonitorCycleIsNotUndoneByTheRestOfTheCycle) {
    Configure(1, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(sup.StartWorkers(), 0);
    procs.procs[sup.Slot(0).pid].alive = false;
    procs.procs[sup.Slot(1).pid].alive = false;
    // The stop lands while the monitor waits between slot 0 and slot 1.
    clock.onSleep = [&] {
        if (state == S(ServiceState::Running) && procs.started.size() == 3) sup.StopWorkers();
    };
    sup.MonitorCycle();
    clock.onSleep = nullptr;
    EXPECT_EQ(procs.started.size(), 3u) << "slot 1 was started again after the stop";
    EXPECT_TRUE(procs.Alive().empty());
}

TEST(ServiceCrashDump, NameCarriesTheProgramNameAndABlankBeforeTheExtension) {
    EXPECT_EQ(platform::CrashDumpName(std::string("OrvaneSRV"), 2019, 11, 6, 6, 19, 21), "OrvaneSRV-2019-11-06 061921 .dmp");
}

}  // namespace
}  // namespace orvane
