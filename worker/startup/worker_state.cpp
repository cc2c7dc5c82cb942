#include "worker/startup/worker_state.h"


#include <cerrno>
#include <memory>

#include "common/log.h"
#include "platform/clock.h"
#include "worker/directory/member_groups.h"

namespace orvane {

void OnlineUsersInStore::Changed(const OnlineUserRecord& record) {
    StoredOnlineUser u;
    u.user = record.UserName();
    u.domain = record.Domain();
    u.address = record.Address();
    u.computer = record.computer;
    u.adPath = record.AdPath();
    u.logonTime = record.lastLogonTime;
    u.state = record.state;
    u.since = record.stateSince;
    store_.SaveOnlineUser(u);
}

void OnlineUsersInStore::Removed(const OnlineUserRecord& record) {
    store_.ForgetOnlineUser(record.UserName(), record.Domain(), record.Address());
}

std::size_t RestoreOnlineUsers(StateStore& store, OnlineUserTable& table, std::uint32_t maxAge, std::int64_t now) {
    std::size_t restored = 0, dropped = 0;
    std::lock_guard<std::mutex> lock(table.Mutex());
    for (const StoredOnlineUser& u : store.LoadOnlineUsers()) {
        const bool tooOld = maxAge != 0 && (u.since <= 0 || now - u.since >= static_cast<std::int64_t>(maxAge));
        if (u.state != kUserOnline || tooOld || table.FindOnlineUser(u.user, u.address, u.domain)) {
            store.ForgetOnlineUser(u.user, u.domain, u.address);
            ++dropped;
            continue;
        }
        auto record = std::make_unique<OnlineUserRecord>();
        record->state = kUserOnline;
        record->status.fill(kDeliveryConfirmed);
        // Whether a gateway with groups of its own was told is not kept: its logoff goes where
        // she is a member then.
        record->withheldMask = GetMemberGroups().GatewayMask();
        record->computer = u.computer;
        record->organisation[0] = u.adPath;
        record->lastLogonTime = u.logonTime;
        record->stateSince = u.since;
        record->SetUserName(u.user);
        record->SetDomain(u.domain);
        record->SetAddress(u.address);
        table.Add(std::move(record));
        ++restored;
    }
    if (restored != 0 || dropped != 0)
        LogInfo("[INF]%zu online users are taken back from the state store (the gateways already know them); %zu "
                "offline or older than OnlineRecordMaxAge are dropped.",
                restored, dropped);
    store.Commit();
    return restored;
}

bool StartStateFlushThread(StateStore& store, StoppableThread& thread) {
    int err = 0;
    const bool started = thread.Start(
        [&store](const std::atomic<bool>& stop) {
            store.Checkpoint();
            while (SleepUnlessStopped(kStateFlushIntervalMs, stop)) {
                if (store.HasQueuedChanges()) store.Commit();
                store.Tidy(platform::GetClock().Now());
                store.Checkpoint();
            }
            if (store.HasQueuedChanges()) store.Commit();
        },
        err);
    if (!started) errno = err;
    return started;
}

}  // namespace orvane
