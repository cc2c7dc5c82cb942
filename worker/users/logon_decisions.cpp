#include "worker/users/logon_decisions.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "common/log.h"
#include "platform/clock.h"
#include "worker/directory/directory_client.h"
#include "worker/directory/logon_time.h"
#include "worker/directory/member_groups.h"
#include "worker/users/identity_rules.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

std::string_view CutAtFirstDot(std::string_view domain) {
    auto dot = domain.find('.');
    return dot == std::string_view::npos ? domain : domain.substr(0, dot);
}

}  // namespace

bool LogonTimeIsRecent(std::int64_t lastLogon, std::uint32_t window) {
    const std::int64_t now = UtcToLogonTime(platform::GetClock().Now());
    return lastLogon <= now && now <= lastLogon + static_cast<std::int64_t>(window);
}

long LogonDecisions::VerifyHeld(std::string_view userName, std::string_view domain, OnlineUserRecord& record,
                                bool logoff) {
    const auto& verify = logoff && services_.verifyLogoff ? services_.verifyLogoff : services_.verifyUser;
    long result = verify(userName, domain, record);
    if (result != kEDirectoryUnreachable || !services_.waitForDirectory) return result;
    const std::string user(userName);
    LogError("[ERR]No directory server can be reached; the report of user (%s) waits until a directory server "
             "answers.",
             user.c_str());
    const std::int64_t limit = antiReplayTime_ != 0 ? antiReplayTime_ : kDirectoryHoldWithoutWindow;
    const std::int64_t start = platform::GetClock().Now();
    unsigned pause = kFirstDirectoryPauseMs;
    while (result == kEDirectoryUnreachable && platform::GetClock().Now() - start < limit &&
           services_.waitForDirectory(pause)) {
        result = verify(userName, domain, record);
        pause = std::min(pause * 2, kLongestDirectoryPauseMs);
    }
    if (result != kEDirectoryUnreachable)
        LogInfo("[INF]A directory server answers again; the report of user (%s) is decided.", user.c_str());
    return result;
}

int LogonDecisions::UserLogon(std::string_view address, std::string_view userName, std::string_view domainText,
                              std::string_view computer) {
    const std::string_view domain = CutAtFirstDot(domainText);
    auto fresh = std::make_unique<OnlineUserRecord>();
    const std::string user(userName);
    const long verified = VerifyHeld(userName, domain, *fresh);
    if (verified == kENotInGroups) {
        NotReportedForGroups(userName, address);
        return -1;
    }
    if (verified != 0) {
        LogError("[ERR]The user (%s) did not pass the AD server authentication and logon failed.", user.c_str());
        WorkerStatistics::Add(Statistics().refusedUnverified);
        return -1;
    }
    if (antiReplayTime_ != 0 && !LogonTimeIsRecent(fresh->lastLogonTime, antiReplayTime_)) {
        LogError("[ERR]Fake logon detected, because logon time too far!");
        WorkerStatistics::Add(Statistics().refusedReplay);
        return -1;
    }
    const std::string addr(address);
    LogInfo("[INF]The user (%s) logon from %s passed the AD server authentication.", user.c_str(), addr.c_str());

    std::unique_lock<std::mutex> lock(table_.Mutex());
    if (OnlineUserRecord* found = table_.FindOnlineUser(userName, address, domain)) {
        found->lastLogonTime = fresh->lastLogonTime;
        found->state = kUserOnline;
        found->stateSince = platform::GetClock().Now();
        if (found->Domain() != domain) found->SetDomain(std::string(domain));
        if (found->computer != computer) found->computer = std::string(computer);
        if (found->Address() != address) found->SetAddress(addr);
        if (found->UserName() != userName) found->SetUserName(user);
        found->withheldMask = fresh->withheldMask;
        table_.Changed(*found);
        services_.notifyAllGateways(*found);
        const std::string name = found->UserName();
        lock.unlock();
        WorkerStatistics::Add(Statistics().logons);
        LogInfo("[INF]*************User (%s) logon, but has except because has no offline process.", name.c_str());
        return 0;
    }
    lock.unlock();

    // The record's texts are filled outside the lock; only the append and the notifications
    // need it.
    fresh->state = kUserOnline;
    fresh->stateSince = platform::GetClock().Now();
    fresh->SetDomain(std::string(domain));
    fresh->computer = std::string(computer);
    fresh->SetAddress(addr);
    fresh->SetUserName(user);
    lock.lock();
    OnlineUserRecord& added = table_.Add(std::move(fresh));
    table_.Changed(added);
    services_.notifyAllGateways(added);
    const std::string name = added.UserName();
    lock.unlock();
    WorkerStatistics::Add(Statistics().logons);
    LogInfo("[INF]*************User (%s) logon.", name.c_str());
    return 0;
}

int LogonDecisions::UserLogoff(std::string_view address, std::string_view userName, std::string_view domainText,
                               std::string_view) {
    const std::string_view domain = CutAtFirstDot(domainText);
    const std::string user(userName);
    std::uint8_t withheld = 0;
    {
        // The record serves the lookup only.
        OnlineUserRecord lookup;
        if (VerifyHeld(userName, domain, lookup, true) != 0) {
            LogError("[ERR]The user (%s) did not pass the AD server authentication and logoff failed.",
                     user.c_str());
            WorkerStatistics::Add(Statistics().refusedUnverified);
            return -1;
        }
        withheld = lookup.withheldMask;
    }
    const std::string addr(address);
    LogInfo("[INF]The user (%s) logoff from %s passed the AD server authentication.", user.c_str(), addr.c_str());

    std::lock_guard<std::mutex> lock(table_.Mutex());
    OnlineUserRecord* found = table_.FindOnlineUser(userName, address, domain);
    if (!found || found->state != kUserOnline) {
        WorkerStatistics::Add(Statistics().refusedNotOnline);
        return -1;
    }
    LogInfo("[INF]*************User '%s' logoff.", found->UserName().c_str());
    // Told where she was announced, and where she is a member now.
    found->withheldMask = static_cast<std::uint8_t>(found->withheldMask & withheld);
    found->state = kUserOffline;
    found->stateSince = platform::GetClock().Now();
    table_.Changed(*found);
    services_.notifyAllGateways(*found);
    WorkerStatistics::Add(Statistics().logoffs);
    return 0;
}

int LogonDecisions::ReportServerLogon(std::string_view address, std::string_view userName,
                                      OnlineUserRecord& record) {
    const std::string user(userName);
    const std::string addr(address);
    if (!record.AdPath().empty()) {
        LogInfo("[INF]User-logon: UserName:%s, ADPath:%s, Ip: %s", user.c_str(), record.AdPath().c_str(),
                addr.c_str());
    } else {
        LogInfo("[INF]User-logon: UserName:%s, Ip: %s", user.c_str(), addr.c_str());
    }
    record.state = kUserOnline;
    record.SetAddress(addr);
    services_.notifyAllGateways(record);
    WorkerStatistics::Add(Statistics().logons);
    return 0;
}

}  // namespace orvane
