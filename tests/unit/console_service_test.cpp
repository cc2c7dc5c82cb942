#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/profile.h"
#include "console/core/autostart.h"
#include "console/core/console_core.h"
#include "console/core/single_instance.h"
#include "tests/unit/console_test_support.h"

namespace orvane::console {
namespace {

using testing::ConsoleCoreFixture;

// Polls a condition until it holds or the deadline passes.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class ConsoleServiceTest : public ConsoleCoreFixture {
protected:
    void Configured() {
        folder_.AddServers(1);
        folder_.AddDevices(1);
        folder_.SetValue("ClientShareKey", "50AA");
        folder_.SetValue("FirewallShareKey", "50BB");
    }
};

TEST_F(ConsoleServiceTest, StartWithoutServerSavesFirstThenRefuses) {
    folder_.AddDevices(1);
    folder_.SetValue("ClientShareKey", "50AA");
    folder_.SetValue("FirewallShareKey", "50BB");
    ConsoleCore& core = Core();
    core.FieldText(Field::Port) = "7001";
    auto outcome = core.SaveAndStartService(true);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, ServiceOutcome::NoServer);
    EXPECT_EQ(LastShown(), T(TextId::Agent_NoAdServer));
    EXPECT_EQ(folder_.Value("ListenPort"), "7001") << "saved before the check";
    EXPECT_EQ(service_.managerOpens, 0) << "nothing asked of the manager";
    EXPECT_EQ(core.ServiceState(), kServiceStopped);
}

TEST_F(ConsoleServiceTest, StartWithoutDevice) {
    folder_.AddServers(1);
    ConsoleCore& core = Core();
    EXPECT_EQ(core.StartService(), ServiceOutcome::NoDevice);
    EXPECT_EQ(LastShown(), T(TextId::Agent_NoFirewall));
    EXPECT_EQ(service_.starts, 0);
}

TEST_F(ConsoleServiceTest, AFailedSaveLogsOnTheButtonPathOnly) {
    Configured();
    ConsoleCore& core = Core();
    core.FieldText(Field::Port) = "";
    EXPECT_FALSE(core.SaveAndStartService(false).has_value());
    EXPECT_FALSE(log_.Contains("[ERR]Save all config info fail!"));
    EXPECT_FALSE(core.SaveAndStartService(true).has_value());
    EXPECT_TRUE(log_.Contains("[ERR]Save all config info fail!"));
    EXPECT_EQ(service_.starts, 0);
}

TEST_F(ConsoleServiceTest, StartAndStopMoveTheStateAndTheLock) {
    Configured();
    ConsoleCore& core = Core();
    auto outcome = core.SaveAndStartService(true);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceState(), kServiceRunning);
    EXPECT_FALSE(EnablingFor(core.ServiceState()).settings);
    EXPECT_EQ(core.StartService(), ServiceOutcome::AlreadyRunning);
    EXPECT_TRUE(log_.Contains("[INF]The service is already running!"));
    EXPECT_EQ(service_.starts, 1);
    EXPECT_EQ(core.StopService(), ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceState(), kServiceStopped);
    EXPECT_EQ(core.StopService(), ServiceOutcome::AlreadyStopped);
    EXPECT_TRUE(log_.Contains("[INF]The service has stopped!"));
    EXPECT_EQ(service_.stops, 1);
}

TEST_F(ConsoleServiceTest, NotInstalledIsLoggedAndTheSettingsStayEditable) {
    Configured();
    service_.openResult = ServiceResult::ServiceDoesNotExist;
    ConsoleCore& core = Core();
    EXPECT_EQ(core.QueryService(), ServiceOutcome::NotInstalled);
    EXPECT_EQ(core.StartService(), ServiceOutcome::NotInstalled);
    EXPECT_TRUE(log_.Contains("[INF]Service does not exist!"));
    EXPECT_EQ(core.ServiceState(), kServiceStopped);
    EXPECT_TRUE(EnablingFor(core.ServiceState()).settings);
    service_.openResult = ServiceResult::Failed;
    EXPECT_EQ(core.StartService(), ServiceOutcome::OpenFailed);
    EXPECT_TRUE(log_.Contains("[ERR]Open the service failure!"));
}

TEST_F(ConsoleServiceTest, AccessDeniedIsInformationOnStartAndAnErrorOnStop) {
    Configured();
    service_.managerResult = ServiceResult::AccessDenied;
    ConsoleCore& core = Core();
    EXPECT_EQ(core.StartService(), ServiceOutcome::AccessDenied);
    EXPECT_TRUE(log_.Contains("[INF]Access the service control manager database is denied!"));
    EXPECT_FALSE(log_.Contains("[ERR]Access the service control manager database is denied!"));
    // The console believes it runs (as after a start from another session); the stop is refused too.
    service_.managerResult = ServiceResult::Ok;
    service_.state = kServiceRunning;
    ASSERT_EQ(core.QueryService(), ServiceOutcome::Done);
    service_.managerResult = ServiceResult::AccessDenied;
    EXPECT_EQ(core.StopService(), ServiceOutcome::AccessDenied);
    EXPECT_TRUE(log_.Contains("[ERR]Access the service control manager database is denied!"));
    EXPECT_EQ(core.ServiceState(), kServiceRunning);
    service_.managerResult = ServiceResult::Failed;
    EXPECT_EQ(core.StopService(), ServiceOutcome::ManagerFailed);
    EXPECT_TRUE(log_.Contains("[ERR]Open the service control manager database failure!"));
    EXPECT_EQ(core.LastServiceError(), "refused by the fake");
}

// Only a running service's "idle: ..." line is a reason; the state texts and a stopped unit's
// leftover text are not.
TEST_F(ConsoleServiceTest, IdleReasonComesFromTheStatusLineOfARunningServiceOnly) {
    Configured();
    ConsoleCore& core = Core();
    service_.state = kServiceRunning;
    service_.SetStatusText("idle: no directory server configured");
    ASSERT_EQ(core.QueryService(), ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceIdleReason(), "idle: no directory server configured");
    service_.SetStatusText("RUNNING");
    ASSERT_EQ(core.QueryService(), ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceIdleReason(), "");
    service_.SetStatusText("idle: config.ini cannot be read: /opt/Orvane/config.ini");
    service_.state = kServiceStopped;
    ASSERT_EQ(core.QueryService(), ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceIdleReason(), "");
}

TEST_F(ConsoleServiceTest, StopPendingLocksTheSettingsAndARefusedStopKeepsTheState) {
    Configured();
    service_.state = kServiceStopPending;
    ConsoleCore& core = Core();
    ASSERT_EQ(core.QueryService(), ServiceOutcome::Done);
    EXPECT_EQ(core.ServiceState(), kServiceStopPending);
    ControlEnabling e = EnablingFor(core.ServiceState());
    EXPECT_FALSE(e.settings);
    EXPECT_TRUE(e.stopService);
    service_.stopResult = ServiceResult::Failed;
    EXPECT_EQ(core.StopService(), ServiceOutcome::RequestFailed);
    EXPECT_EQ(core.ServiceState(), kServiceStopPending);
    service_.stopResult = ServiceResult::ServiceNotActive;
    EXPECT_EQ(core.StopService(), ServiceOutcome::NotActive);
    EXPECT_TRUE(log_.Contains("[ERR]The service has not been started!"));
}

TEST_F(ConsoleServiceTest, QueryAndStartFailuresWriteTheirLines) {
    Configured();
    ConsoleCore& core = Core();
    service_.queryResult = ServiceResult::Failed;
    EXPECT_EQ(core.QueryService(), ServiceOutcome::QueryFailed);
    EXPECT_TRUE(log_.Contains("[ERR]Query the service failure! ErrorNum:1234"));
    EXPECT_EQ(core.StartService(), ServiceOutcome::QueryFailed);
    EXPECT_TRUE(log_.Contains("[ERR]Query service status failure!"));
    service_.queryResult = ServiceResult::Ok;
    service_.startResult = ServiceResult::ServiceNotActive;
    EXPECT_EQ(core.StartService(), ServiceOutcome::NotActive);
    EXPECT_TRUE(log_.Contains("[INF]The service has not been started!"));
    EXPECT_EQ(core.ServiceState(), kServiceStopped);
}

TEST_F(ConsoleServiceTest, InitialisationStopsARunningServiceWithoutDevices) {
    folder_.AddServers(1);
    service_.state = kServiceRunning;
    ConsoleCore core(folder_.path(), texts_, service_, messages_);
    ASSERT_TRUE(core.Initialise());
    EXPECT_EQ(service_.stops, 1);
    EXPECT_EQ(core.ServiceState(), kServiceStopped);

    folder_.Remove("RetranTimes");
    ConsoleCore broken(folder_.path(), texts_, service_, messages_);
    EXPECT_FALSE(broken.Initialise());
}

TEST_F(ConsoleServiceTest, ExitStopsTheServiceOrOnlyLogsWhenItIsBelievedStopped) {
    Configured();
    ConsoleCore& core = Core();
    core.Exit();
    EXPECT_TRUE(log_.Contains("[INF]The service has stopped!"));
    EXPECT_EQ(service_.stops, 0);
    ASSERT_EQ(core.StartService(), ServiceOutcome::Done);
    core.StartWatchdog(20, 10);
    core.Exit();
    EXPECT_EQ(service_.stops, 1);
    EXPECT_EQ(service_.state, kServiceStopped);
}

TEST_F(ConsoleServiceTest, TheWatchdogStartsAStoppedServiceOnlyWhileTheStateIsRunning) {
    Configured();
    ConsoleCore& core = Core();
    core.StartWatchdog(10, 5);
    // Believed stopped: the watchdog leaves the manager alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(service_.managerOpens, 0);
    ASSERT_EQ(core.StartService(), ServiceOutcome::Done);
    service_.state = kServiceStopped;  // stopped with another tool
    EXPECT_TRUE(WaitFor([&] { return service_.state == kServiceRunning; }));
    EXPECT_EQ(service_.starts, 2);
    EXPECT_EQ(core.ServiceState(), kServiceRunning) << "the watchdog changes no state";
    core.StopWatchdog();
}

TEST_F(ConsoleServiceTest, AWatchdogFacingARefusingManagerStillEndsAtOnce) {
    Configured();
    ConsoleCore& core = Core();
    ASSERT_EQ(core.StartService(), ServiceOutcome::Done);
    service_.managerResult = ServiceResult::AccessDenied;
    core.StartWatchdog(5000, 1000);
    EXPECT_TRUE(WaitFor([&] { return service_.managerOpens >= 2; }));
    auto begin = std::chrono::steady_clock::now();
    core.StopWatchdog();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
}

// ---------------------------------------------------------------------------------------------

TEST(ConsoleAutostartTest, ApplyWritesOnceAndDeletesAndFailuresKeepTheFlag) {
    orvane::testing::TempDir dir;
    const std::string folder = dir / "autostart";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    int flag = ReadAutoStartFlag(folder);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ApplyAutoStart(true, flag, folder, "/opt/Orvane/Orvane"), 1);
    std::string text = orvane::testing::ReadFile(AutostartEntryPath(folder));
    EXPECT_NE(text.find("Exec=\"/opt/Orvane/Orvane/OrvaneAgent\" -Hide\n"), std::string::npos) << text;
    EXPECT_EQ(ReadProfileString(AutostartEntryPath(folder), "Desktop Entry", "Type", "", 64), "Application");
    struct stat st {};
    ASSERT_EQ(::stat(AutostartEntryPath(folder).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The second Apply with the box still checked does not touch the file.
    ASSERT_EQ(::unlink(AutostartEntryPath(folder).c_str()), 0);
    EXPECT_EQ(ApplyAutoStart(true, flag, folder, "/opt/Orvane/Orvane"), 1);
    EXPECT_EQ(ReadAutoStartFlag(folder), 0);
    // Deleted by another tool: unchecking fails silently and the flag stays.
    EXPECT_EQ(ApplyAutoStart(false, flag, folder, "/opt/Orvane/Orvane"), 1);
    flag = ReadAutoStartFlag(folder);
    EXPECT_EQ(ApplyAutoStart(true, flag, folder, "/opt/Orvane/Orvane"), 1);
    EXPECT_EQ(ApplyAutoStart(false, flag, folder, "/opt/Orvane/Orvane"), 0);
    EXPECT_EQ(ReadAutoStartFlag(folder), 0);

    // A folder that cannot be written: the flag keeps its value.
    flag = 0;
    EXPECT_EQ(ApplyAutoStart(true, flag, dir / "missing", "/opt/Orvane/Orvane"), 0);
}

TEST(ConsoleAutostartTest, ExecQuotesFoldersWithSpacesAndSpecialCharacters) {
    std::string text;
    ASSERT_TRUE(AutostartEntryText("/opt/My Apps/a$b\"c%d\\e", text));
    EXPECT_NE(text.find("Exec=\"/opt/My Apps/a\\\\$b\\\\\"c%%d\\\\\\\\e/OrvaneAgent\" -Hide\n"), std::string::npos)
        << text;
    EXPECT_FALSE(AutostartEntryText("/opt/bad\nExec=evil", text));
    orvane::testing::ScopedEnv env("ORVANE_AUTOSTART_DIR", "/tmp/x");
    EXPECT_EQ(AutostartFolder(), "/tmp/x");
}

// The child's verdict on the guard: 0 acquired, 1 running elsewhere, 2 cannot be set up.
int GuardInChild() {
    pid_t child = ::fork();
    if (child == 0) {
        SingleInstance guard;
        _exit(static_cast<int>(guard.Acquire()));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConsoleSingleInstanceTest, OneConsolePerMachineAndADeadHolderFreesIt) {
    orvane::testing::TempDir dir;
    orvane::testing::ScopedEnv env("ORVANE_LOCK_DIR", dir.path());
    {
        SingleInstance first;
        ASSERT_EQ(first.Acquire(), InstanceGuard::Acquired);
        EXPECT_EQ(GuardInChild(), static_cast<int>(InstanceGuard::AlreadyRunning));
    }
    EXPECT_EQ(GuardInChild(), static_cast<int>(InstanceGuard::Acquired));

    // A holder killed while holding it passes it on.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        SingleInstance guard;
        char c = guard.Acquire() == InstanceGuard::Acquired ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(GuardInChild(), static_cast<int>(InstanceGuard::AlreadyRunning));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(GuardInChild(), static_cast<int>(InstanceGuard::Acquired));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(ConsoleSingleInstanceTest, AGuardThatCannotBeSetUpIsReportedAsSuch) {
    orvane::testing::TempDir dir;
    orvane::testing::ScopedEnv env("ORVANE_LOCK_DIR", dir / "missing");
    SingleInstance guard;
    EXPECT_EQ(guard.Acquire(), InstanceGuard::CreateFailed);
}

}  // namespace
}  // namespace orvane::console
