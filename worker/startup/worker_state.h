#pragma once
// The worker's state store at start and while it runs: the online users taken back, the table's
// changes queued for the store, and the thread that writes what nothing else writes soon
// (records the retransmission thread removes).
#include <cstdint>

#include "worker/gateway/stoppable_thread.h"
#include "worker/state/state_store.h"
#include "worker/users/online_users.h"

namespace orvane {

class OnlineUsersInStore final : public OnlineUserObserver {
public:
    explicit OnlineUsersInStore(StateStore& store) : store_(store) {}
    void Changed(const OnlineUserRecord& record) override;
    void Removed(const OnlineUserRecord& record) override;

private:
    StateStore& store_;
};

// Puts the online users of the last run back into the table. Only online records are taken,
// and only those whose last logon was decided less than maxAge seconds ago (0: no limit); the
// others are deleted from the store. The gateways were told of the restored ones before the
// restart and are not told again: their positions count as confirmed. Returns how many came back.
std::size_t RestoreOnlineUsers(StateStore& store, OnlineUserTable& table, std::uint32_t maxAge, std::int64_t now);

// Every pass: writes the changes nothing else writes soon (records the retransmission thread
// removes), deletes expired digests, and moves the write-ahead log into the database, so the
// receiver's writes never wait for the disk. Often, because a busy receiver fills the log by
// tens of thousands of pages a second: a short log is copied quickly and stays in memory.
inline constexpr unsigned kStateFlushIntervalMs = 100;
bool StartStateFlushThread(StateStore& store, StoppableThread& thread);

}  // namespace orvane
