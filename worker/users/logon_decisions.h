#pragma once
// The logon and logoff decisions: verify the user in the directory, keep the user/address pair
// in the online-user table and notify every gateway.
#include <cstdint>
#include <functional>
#include <string_view>

#include "worker/users/online_users.h"

namespace orvane {

// True exactly when lastLogon <= now <= lastLogon + window, with now the current UTC time on
// the logon-time scale (the scale lastLogon is read on).
bool LogonTimeIsRecent(std::int64_t lastLogon, std::uint32_t window);

// What the decisions act through; the worker's are the directory lookup and the gateway
// notifier, tests put doubles in.
struct LogonServices {
    // 0 when a directory server vouches for the user; fills the record's AD path and last
    // logon time.
    std::function<long(std::string_view userName, std::string_view domain, OnlineUserRecord& record)> verifyUser;
    // Sends the record's state to every gateway; called with the user-table lock held.
    std::function<void(OnlineUserRecord& record)> notifyAllGateways;
    // Waits `ms` milliseconds before a lookup that found no directory server reachable is tried
    // again; false stops the waiting. Without it such a lookup is a refusal at once.
    std::function<bool(unsigned ms)> waitForDirectory;
    // The lookup of a logoff (no member-group refusal; the record's withheldMask tells which
    // gateways' groups she is in none of). verifyUser when not set.
    std::function<long(std::string_view userName, std::string_view domain, OnlineUserRecord& record)> verifyLogoff;
    // Starts the lookup a later verifyUser (verifyLogoff when logoff) of userName makes, so
    // that lookups of waiting reports overlap. Optional.
    std::function<void(std::string_view userName, bool logoff)> prefetch;
};

class LogonDecisions {
public:
    LogonDecisions(OnlineUserTable& table, LogonServices services, std::uint32_t antiReplayTime)
        : table_(table), services_(std::move(services)), antiReplayTime_(antiReplayTime) {}

    // Client-report mode. 0 notified, -1 refused or failed.
    int UserLogon(std::string_view address, std::string_view userName, std::string_view domain,
                  std::string_view computer);
    // 0 notified, -1 nothing done.
    int UserLogoff(std::string_view address, std::string_view userName, std::string_view domain,
                   std::string_view computer);
    // A report of userName waits to be decided: its lookup may start.
    void LookAhead(std::string_view userName, bool logoff) {
        if (services_.prefetch) services_.prefetch(userName, logoff);
    }

    // Log-query mode: notifies every gateway of a logon found in a Security log, for a record
    // filled by the directory lookup; the caller releases the record. No table, no lock.
    int ReportServerLogon(std::string_view address, std::string_view userName, OnlineUserRecord& record);

    // An acknowledged report is not refused because no directory server can be reached: its
    // lookup is tried again, with growing pauses, until a server answers, for at most the
    // anti-replay window (a logon older than that cannot pass anyway), 30 minutes when it is off.
    static constexpr unsigned kFirstDirectoryPauseMs = 500;
    static constexpr unsigned kLongestDirectoryPauseMs = 4000;
    static constexpr std::int64_t kDirectoryHoldWithoutWindow = 1800;

private:
    long VerifyHeld(std::string_view userName, std::string_view domain, OnlineUserRecord& record,
                    bool logoff = false);

    OnlineUserTable& table_;
    LogonServices services_;
    std::uint32_t antiReplayTime_;
};

}  // namespace orvane
