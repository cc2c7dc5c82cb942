#include "worker/startup/worker_runtime.h"

#include <cerrno>
#include <memory>

#include "common/config.h"
#include "common/log.h"
#include "platform/clock.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/member_groups.h"
#include "worker/eventlog/security_log_poller.h"
#include "worker/gateway/heartbeat.h"
#include "worker/gateway/notification_sender.h"
#include "worker/gateway/stoppable_thread.h"
#include "worker/reports/client_report_receiver.h"
#include "worker/reports/logon_report_handler.h"
#include "worker/startup/worker_state.h"
#include "worker/state/state_store.h"
#include "worker/status/status_publisher.h"
#include "worker/status/worker_statistics.h"
#include "worker/users/excluded_accounts.h"
#include "worker/users/identity_rules.h"
#include "worker/users/logon_decisions.h"
#include "worker/users/online_users.h"

namespace orvane {

WorkerRuntime& Runtime() {
    static WorkerRuntime rt;
    return rt;
}

namespace {

// The live snapshot for orvanectl and the console. A worker without it still does its job, so a
// failure is only logged.
void StartStatusPublisher(const WorkerSettings& s) {
    static const std::int64_t started = platform::GetClock().Now();
    static StatusPublisher publisher([&s] {
        return TakeWorkerSnapshot(s, GetOnlineUserTable(), Statistics(), started, platform::GetClock().Now());
    });
    static StoppableThread statusThread;
    if (!publisher.Listen(s.moduleFolder, s.serverArgument)) return;
    if (!publisher.Start(statusThread))
        LogError("[ERR]Create status thread fail! ErrorCode:%ld", static_cast<long>(errno));
}

}  // namespace

void InitialiseWorker(WorkerRuntime& rt, WorkerLog& log) {
    WorkerSettings& s = rt.settings;
    rt.runState = kRunStateRunning;
    if (!ReadWorkerConfig(s)) {
        LogInfo("[INF]read config file failed.");
        return;
    }
    log.SetLevel(s.logLevel);
    // Log-query workers batch their lines; client-report workers write each line at once.
    log.SetImmediateFlush(s.modelType == 0);
    ExcludeAgentAccounts(s.agentAccounts);
    SetIdentityRules(s);
    SetMemberGroups(s);

    // Objects of the process's life: the worker never ends its threads.
    static GatewayNotifier notifier(s, GetOnlineUserTable());
    static StoppableThread recvResponseThread, retranThread, heartBeatThread;

    if (!notifier.OpenSocket()) return;  // the failure is logged
    SetGatewayNotifier(&notifier);
    LoadDirectoryServers(s);
    StartStatusPublisher(s);
    // What the last run left; a worker whose store cannot be had runs from memory (logged).
    static StateStore store;
    // "off" is for measuring what the store costs; nothing else turns it off.
    if (StateFolder() == "off")
        LogInfo("[INF]ORVANE_STATE_DIR is off: no state store, the state is kept in memory only.");
    else
        store.Open(StateFolder(), StateFileName(s.serverArgument));

    if (s.modelType == 0) {
        static LogonReportHandler handler;
        static std::unique_ptr<LogonDecisions> decisions;
        static ClientReportReceiver receiver(handler, [] { ConnectDirectoryServers(); });
        static OnlineUsersInStore usersInStore(store);
        static StoppableThread stateFlushThread;
        if (store.IsOpen()) {
            RestoreOnlineUsers(store, GetOnlineUserTable(), s.onlineRecordMaxAge, platform::GetClock().Now());
            GetOnlineUserTable().SetObserver(&usersInStore);
            receiver.AttachStore(&store);
            if (!StartStateFlushThread(store, stateFlushThread))
                LogError("[ERR]Create state flush thread fail! ErrorCode:%ld", static_cast<long>(errno));
        }
        StartClientReportReceiver(s, receiver, [](const WorkerSettings& settings) {
            LogonServices services;
            services.verifyUser = [](std::string_view user, std::string_view domain, OnlineUserRecord& record) {
                return static_cast<long>(VerifyUser(user, domain, record));
            };
            services.verifyLogoff = [](std::string_view user, std::string_view domain, OnlineUserRecord& record) {
                return static_cast<long>(VerifyLogoffUser(user, domain, record));
            };
            services.prefetch = [](std::string_view user, bool logoff) { PrefetchUser(user, logoff); };
            services.notifyAllGateways = [](OnlineUserRecord& record) { NotifyAllGateways(record); };
            services.waitForDirectory = [](unsigned ms) {
                platform::GetClock().SleepMs(ms);
                return true;
            };
            decisions = std::make_unique<LogonDecisions>(GetOnlineUserTable(), services, settings.antiReplayTime);
            handler.Attach(*decisions);
        });
        if (!StartRecvResponseThread(notifier, recvResponseThread)) {
            LogError("[ERR]Create recv response thread fail! ErrorCode:%ld", static_cast<long>(errno));
            return;
        }
        if (!StartRetranThread(notifier, retranThread)) {
            LogError("[ERR]Create retran thread fail! ErrorCode:%ld", static_cast<long>(errno));
            return;
        }
    }

    if (s.modelType == 1) StartEventLogPoller(s, &store);

    if (s.heartbeat && !StartHeartBeatThread(s, HeartbeatOptions{}, heartBeatThread)) {
        LogError("[ERR]Create hreat beat thread Error!");
    }
}

}  // namespace orvane
