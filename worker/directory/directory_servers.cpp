#include "worker/directory/directory_servers.h"

#include <charconv>
#include <exception>
#include <optional>
#include <new>

#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"
#include "worker/directory/logon_time.h"
#include "worker/directory/member_groups.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

// Path texts, the filter and the AD path live in 260-character fields.
constexpr std::size_t kPathCapacity = 260;
constexpr std::string_view kFilterHead = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=";
constexpr std::string_view kFilterTail = "))";

// The documented filter text must fit its field; what is sent has the user name escaped, so a
// name such as "*" or "a)(x=*" can never widen the search to other accounts. `clause`, when
// given, is one more condition the account must meet (the member groups).
bool BuildUserFilter(std::string_view userName, std::string& filter, std::string_view clause = {}) {
    if (!FitsCapacity(userName, kPathCapacity - kFilterHead.size() - kFilterTail.size())) return false;
    filter.clear();
    filter.reserve(kFilterHead.size() + userName.size() + kFilterTail.size() + clause.size() + 8);
    filter.append(kFilterHead);
    AppendFilterValue(filter, userName);
    filter.push_back(')');
    filter.append(clause);
    filter.push_back(')');
    return true;
}

// "LDAP://<server>/<dn>"; false when it does not fit the 260-character path field (such an
// entry is refused rather than cut: a cut path would name another object).
bool BuildAdsPath(const DirectorySearch& handle, std::string_view dn, std::string& adsPath) {
    adsPath.assign("LDAP://");
    adsPath.append(handle.Server());
    adsPath.push_back('/');
    adsPath.append(dn);
    return FitsCapacity(adsPath, kPathCapacity);
}

bool HasPrefixNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

enum class BindContext { Initialization, Reconnection };

void LogBindFailure(BindContext context, const std::string& address, const DirectoryError& error) {
    const std::string text = FormatSystemError(error.code);
    const char* a = address.c_str();
    const char* t = text.c_str();
    if (context == BindContext::Initialization) {
        switch (error.stage) {
            case BindStage::RootDse: LogError("[ERR]Connect ad fail in initialization %s: %s", a, t); break;
            case BindStage::NamingContext: LogError("[ERR]get defaultname fail in initialization %s: %s", a, t); break;
            case BindStage::BindDomain: LogError("[ERR]Bind domain fail in initialization%s: %s", a, t); break;
            case BindStage::NoHandle: LogError("[ERR]Init AD (%s) handle failed in initialization", a); break;
        }
    } else {
        switch (error.stage) {
            case BindStage::RootDse: LogError("[ERR]Fail to connect ad (%s). %s", a, t); break;
            case BindStage::NamingContext: LogError("[ERR]Fail to get domain name (%s). %s", a, t); break;
            case BindStage::BindDomain: LogError("[ERR]fail to bind Domain %s: %s", a, t); break;
            case BindStage::NoHandle: LogError("[ERR]handle is null %s", a); break;
        }
    }
}

// The visitor of SearchUserOnServer: the first account under the reported domain wins.
class VerifyVisitor final : public AccountVisitor {
public:
    VerifyVisitor(const DirectorySearch& handle, std::string_view domain, OnlineUserRecord& record, int slot)
        : handle_(handle), domain_(domain), record_(record), slot_(slot) {}

    bool Visit(const DirectoryAccount& account) override {
        if (account.dn.empty() || !BuildAdsPath(handle_, account.dn, adsPath_)) {
            LogError("[ERR]Fail to get the data for this column,adserv count = %d.", slot_);
            return true;
        }
        std::size_t dc = adsPath_.find("DC=");
        if (dc == std::string::npos) return true;
        // Only the reported domain's length is compared: "dc=corp" matches DC=corp,DC=example,...
        if (!HasPrefixNoCase(std::string_view(adsPath_).substr(dc), domain_)) return true;
        try {
            record_.organisation[0].assign(AdPathOf(adsPath_));
        } catch (const std::bad_alloc&) {
            result_ = kEFail;
            return false;
        }
        if (GetUserLastLogon(account, record_) < 0) {
            LogError("[ERR]Fail to GetUserLastLogon,adserv count = %d.", slot_);
            result_ = kEFail;
            return false;
        }
        userDn_.assign(account.dn);
        result_ = kSOk;
        return false;
    }

    bool Matched() const { return result_.has_value(); }
    HResult Result() const { return *result_; }
    const std::string& UserDn() const { return userDn_; }

private:
    const DirectorySearch& handle_;
    std::string_view domain_;
    OnlineUserRecord& record_;
    int slot_;
    std::string adsPath_;
    std::string userDn_;
    std::optional<HResult> result_;
};

class FindVisitor final : public AccountVisitor {
public:
    FindVisitor(const DirectorySearch& handle, std::string_view userName, OnlineUserRecord& record)
        : handle_(handle), userName_(userName), record_(record) {}

    bool Visit(const DirectoryAccount& account) override {
        ++rows_;
        if (!account.dn.empty() && BuildAdsPath(handle_, account.dn, adsPath_) &&
            ExtractAdPath(&record_, &adsPath_, userName_) == kSOk) {
            userDn_.assign(account.dn);
            found_ = true;
            return false;
        }
        return true;
    }

    bool Found() const { return found_; }
    const std::string& UserDn() const { return userDn_; }
    unsigned Rows() const { return rows_; }

private:
    const DirectorySearch& handle_;
    std::string_view userName_;
    OnlineUserRecord& record_;
    std::string adsPath_;
    std::string userDn_;
    bool found_ = false;
    unsigned rows_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

void DirectoryServerList::Load(const std::vector<ServerEntry>& servers) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.assign(servers.begin(), servers.end());
}

bool DirectoryServerList::Take(ServerEntry& entry) {
    std::lock_guard<std::mutex> hold(lock_);
    if (entries_.empty()) return false;
    entry = std::move(entries_.front());
    entries_.pop_front();
    return true;
}

std::size_t DirectoryServerList::Size() {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

std::string_view BindUserOf(std::string_view userName) {
    std::size_t slash = userName.find('\\');
    return slash == std::string_view::npos ? userName : userName.substr(slash + 1);
}

std::string_view AdPathOf(std::string_view adsPath) {
    std::size_t ou = adsPath.find("OU=");
    if (ou != std::string_view::npos) {
        if (adsPath.find(',', ou + 3) == std::string_view::npos) return {};
        return adsPath.substr(ou);
    }
    std::size_t dc = adsPath.find("DC=");
    return dc == std::string_view::npos ? std::string_view() : adsPath.substr(dc);
}

HResult ExtractAdPath(OnlineUserRecord* record, const std::string* adsPath, std::string_view userName) {
    if (!record || !adsPath) return kEFail;
    try {
        record->organisation[0].assign(AdPathOf(*adsPath));
        record->SetUserName(std::string(userName));
    } catch (const std::bad_alloc&) {
        return kEFail;
    }
    return kSOk;
}

HResult GetUserLastLogon(const DirectoryAccount& account, OnlineUserRecord& record) {
    if (!account.hasLastLogon) {
        LogError("[ERR]Fail to Get a property entry.");
        return kSOk;
    }
    for (std::string_view value : account.lastLogon) {
        std::int64_t fileTime = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), fileTime);
        if (ec != std::errc() || end != value.data() + value.size()) {
            LogError("[ERR]Fail to Get Element.");
            break;
        }
        record.lastLogonTime = FileTimeToLogonTime(fileTime);
    }
    return kSOk;
}

// ---------------------------------------------------------------------------------------------

void DirectoryServerTable::ConnectDirectoryServers(DirectoryServerList& list, unsigned adServerNum) {
    for (DirectoryServerSlot& slot : slots_) slot = DirectoryServerSlot{};
    count_ = 0;
    const unsigned wanted = adServerNum < kSlots ? adServerNum : kSlots;
    for (unsigned i = 0; i < wanted; ++i) {
        DirectoryServerSlot& slot = slots_[i];
        {
            ServerEntry entry;
            if (!list.Take(entry)) break;
            slot.address = std::move(entry.ip);
            slot.bindUser.assign(BindUserOf(entry.userName));
            slot.password = std::move(entry.password);
        }
        count_ = i + 1;
        Statistics().SetDirectoryServer(i, slot.address);
        DirectoryError error;
        slot.searchHandle = Client().Open(slot.address, slot.bindUser, slot.password, error);
        slot.unreachable = !slot.searchHandle && IsUnreachableError(error.code);
        Statistics().DirectoryBound(i, slot.searchHandle != nullptr, 0);
        if (slot.searchHandle)
            LogInfo("[INF]Open AD (%s) success in initialization!", slot.address.c_str());
        else
            LogBindFailure(BindContext::Initialization, slot.address, error);
    }
}

bool DirectoryServerTable::NeedReconnect(unsigned slot) {
    if (slot >= count_) return false;
    DirectoryServerSlot& s = slots_[slot];
    if (s.searchHandle) return false;
    if (s.failedReconnectCount == 0) {
        LogInfo("[INF]The count of reconnect is 0, it needs to reconnect AD(%s)!", s.address.c_str());
        return true;
    }
    const std::int64_t now = platform::GetClock().Now();
    if (now < s.lastFailedReconnect) {
        LogInfo("[INF]The time is invalid, it needs to reconnect AD(%s)!", s.address.c_str());
        return true;
    }
    if (now - s.lastFailedReconnect > kReconnectInterval) {
        LogInfo("[INF]The reconnection interval is over 180s, it needs to reconnect AD(%s)!", s.address.c_str());
        return true;
    }
    return false;
}

int DirectoryServerTable::ReconnectDirectoryServer(unsigned slot) {
    if (slot >= count_) return -1;
    DirectoryServerSlot& s = slots_[slot];
    if (s.searchHandle) return 0;
    DirectoryError error;
    s.searchHandle = Client().Open(s.address, s.bindUser, s.password, error);
    s.unreachable = !s.searchHandle && IsUnreachableError(error.code);
    if (!s.searchHandle) {
        LogBindFailure(BindContext::Reconnection, s.address, error);
        return -1;
    }
    const std::string path = "LDAP://" + s.address + "/" + s.searchHandle->NamingContext();
    LogInfo("[INF]ip %s path %s: Open AD Success!", s.address.c_str(), path.c_str());
    return 0;
}

void DirectoryServerTable::RecordReconnectResult(int result, unsigned slot) {
    if (slot >= count_) return;
    DirectoryServerSlot& s = slots_[slot];
    if (result == -1) {
        // Saturates: a wrapped count of 0 would mean "never failed" and retry at once.
        if (s.failedReconnectCount < UINT16_MAX) ++s.failedReconnectCount;
        s.lastFailedReconnect = platform::GetClock().Now();
        LogError("[ERR]Reconnect AD fail (%s)!", s.address.c_str());
    } else {
        s.failedReconnectCount = 0;
        s.lastFailedReconnect = 0;
        LogInfo("[INF]Reconnect AD success (%s)!", s.address.c_str());
    }
    Statistics().DirectoryBound(slot, result != -1, s.failedReconnectCount);
}

HResult DirectoryServerTable::VerifyUser(std::string_view userName, std::string_view domain,
                                         OnlineUserRecord& record, Membership membership) {
    WorkerStatistics::Add(Statistics().lookups);
    bool unreachable = false;
    for (unsigned slot = 0; slot < count_; ++slot) {
        if (NeedReconnect(slot)) RecordReconnectResult(ReconnectDirectoryServer(slot), slot);
        DirectoryServerSlot& s = slots_[slot];
        if (s.searchHandle) {
            int searchError = 0;
            const HResult found = SearchUserOnServer(s.searchHandle.get(), userName, domain, record,
                                                     static_cast<int>(slot), &searchError, membership);
            if (found >= 0) {
                s.unreachable = false;
                return kSOk;
            }
            // The server knows the user, who is in none of the groups: no other server is asked.
            if (found == kENotInGroups) {
                s.unreachable = false;
                return found;
            }
            s.unreachable = IsUnreachableError(searchError);
        }
        // A slot waiting for its next reconnection keeps what its last attempt found.
        unreachable = unreachable || s.unreachable;
    }
    WorkerStatistics::Add(Statistics().lookupFailures);
    return unreachable ? kEDirectoryUnreachable : kEFail;
}

// ---------------------------------------------------------------------------------------------

bool IsUnreachableError(int code) {
    switch (code) {
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ECONNREFUSED:
        case ECONNRESET:
        case ETIMEDOUT:
        case EAGAIN:
        case EBUSY: return true;
        default: return false;
    }
}

namespace {

// A user search with the member groups: `search(clause)` runs the user's search with one more
// condition and returns its result (matched or not, and the search's own code). Members cost
// that one search; a user it misses is searched once more without the groups, which tells a
// non-member (kENotInGroups) from a user the server does not know.
template <typename Search>
HResult WithMemberGroups(DirectorySearch& handle, Membership membership, OnlineUserRecord& record, int& searchError,
                         Search search) {
    MemberGroups& groups = GetMemberGroups();
    record.withheldMask = 0;
    if (membership == Membership::Ignored || !groups.Any()) return search(std::string_view(), searchError);
    if (const int rc = groups.Resolve(handle); rc != 0) {
        searchError = rc;
        return kEFail;
    }
    const bool restricted = membership == Membership::Checked && groups.HasGlobal();
    const std::string& clause = handle.groups->globalClause;
    HResult result = kEFail;
    bool member = !restricted;
    if (restricted && !clause.empty()) {
        result = search(clause, searchError);
        member = result == kSOk;
    }
    if (!member) {
        // Unknown, or known and in none of the groups.
        if (search(std::string_view(), searchError) != kSOk) return kEFail;
        return kENotInGroups;
    }
    if (!restricted) result = search(std::string_view(), searchError);
    return result;
}

// The gateways that must not hear of a user found (the record's withheldMask); a failure is
// logged and its code returned.
int ReadGatewayGroups(DirectorySearch& handle, std::string_view userName, std::string_view userDn,
                      OnlineUserRecord& record) {
    const int rc = GetMemberGroups().WithheldPositions(handle, userDn, record.withheldMask);
    if (rc != 0)
        LogError("[ERR]Cannot read the gateway groups of user %.*s at %s: %s", static_cast<int>(userName.size()),
                 userName.data(), handle.Server().c_str(), FormatSystemError(rc).c_str());
    return rc;
}

// The filter of the first search a lookup makes on `handle` (see WithMemberGroups); false
// when it cannot be told yet: the member groups are not resolved on this bind.
bool FirstSearchFilter(const DirectorySearch& handle, std::string_view userName, Membership membership,
                       std::string& filter) {
    const MemberGroups& groups = GetMemberGroups();
    std::string_view clause;
    if (membership != Membership::Ignored && groups.Any()) {
        if (!handle.groups || handle.groups->bindCount != handle.BindCount()) return false;
        if (membership == Membership::Checked && groups.HasGlobal()) clause = handle.groups->globalClause;
    }
    return BuildUserFilter(userName, filter, clause);
}

}  // namespace

HResult SearchUserOnServer(DirectorySearch* searchHandle, std::string_view userName, std::string_view domain,
                           OnlineUserRecord& record, int slot, int* searchError, Membership membership) {
    if (!searchHandle || userName.empty()) {
        LogError("[ERR]Fail to Find user begin,adserv count = %d.", slot);
        return kEInvalidArg;
    }
    int rc = 0;
    bool matched = false;
    std::string userDn;
    HResult result = WithMemberGroups(
        *searchHandle, membership, record, rc, [&](std::string_view clause, int& error) -> HResult {
            matched = false;
            std::string filter;
            if (!BuildUserFilter(userName, filter, clause)) return kEFail;
            VerifyVisitor visitor(*searchHandle, domain, record, slot);
            error = searchHandle->FindAccounts(filter, true, visitor);
            matched = visitor.Matched();
            if (!matched) return kEFail;
            userDn = visitor.UserDn();
            return visitor.Result();
        });
    if (result == kSOk && membership != Membership::Ignored) {
        if (const int groupsError = ReadGatewayGroups(*searchHandle, userName, userDn, record)) {
            rc = groupsError;
            result = kEFail;
        }
    }
    if (searchError) *searchError = rc;
    if (!matched && result != kSOk && result != kENotInGroups)
        LogError("[ERR]Fail to execute the search,adserv count = %d.", slot);
    return result;
}

void DirectoryServerTable::Prefetch(std::string_view userName, Membership membership) {
    for (unsigned slot = 0; slot < count_; ++slot) {
        DirectorySearch* handle = slots_[slot].searchHandle.get();
        if (!handle) continue;
        // The first server with a handle is asked first; the others only for users it misses.
        if (FirstSearchFilter(*handle, userName, membership, prefetchFilter_)) handle->Prefetch(prefetchFilter_, true);
        return;
    }
}

void GetSearchHandleOfAD(const std::string& userName, std::unique_ptr<DirectorySearch>& handle,
                         const std::string& address, const std::string& password) {
    handle.reset();
    try {
        DirectoryError error;
        handle = GetDirectoryClient().Open(address, userName, password, error);
        if (handle) {
            LogInfo("[INF]%s: Open AD Success!", address.c_str());
            return;
        }
        LogError("[ERR]%s: %s", address.c_str(), FormatSystemError(error.code).c_str());
    } catch (const std::exception&) {
        LogError("[ERR]GetSearchHandleOfAD exception");
    }
    handle.reset();
}

namespace {

HResult SearchUserInDirectory(DirectorySearch* searchHandle, std::string_view userName, OnlineUserRecord& record) {
    if (!searchHandle || userName.empty()) return kEInvalidArg;
    int failure = 0;
    unsigned rows = 0;
    std::string userDn;
    const HResult result = WithMemberGroups(
        *searchHandle, Membership::Checked, record, failure, [&](std::string_view clause, int& error) -> HResult {
            std::string filter;
            if (!BuildUserFilter(userName, filter, clause)) return kEFail;
            FindVisitor visitor(*searchHandle, userName, record);
            error = searchHandle->FindAccounts(filter, false, visitor);
            rows = visitor.Rows();
            if (!visitor.Found()) return kEFail;
            userDn = visitor.UserDn();
            return kSOk;
        });
    if (result == kSOk) {
        failure = ReadGatewayGroups(*searchHandle, userName, userDn, record);
        return failure == 0 ? kSOk : HResultFromSystemError(failure);
    }
    if (result == kENotInGroups) return result;
    // A search that failed before its first row failed to execute: its own result is returned.
    if (failure != 0 && rows == 0) return HResultFromSystemError(failure);
    return kEFail;
}

}  // namespace

HResult FindUserInDirectory(DirectorySearch* searchHandle, std::string_view userName, OnlineUserRecord& record) {
    WorkerStatistics::Add(Statistics().lookups);
    const HResult result = SearchUserInDirectory(searchHandle, userName, record);
    if (result != kSOk) WorkerStatistics::Add(Statistics().lookupFailures);
    return result;
}

void PrefetchUserInDirectory(DirectorySearch* searchHandle, std::string_view userName) {
    if (!searchHandle || userName.empty()) return;
    thread_local std::string filter;
    if (FirstSearchFilter(*searchHandle, userName, Membership::Checked, filter)) searchHandle->Prefetch(filter, false);
}

// ---------------------------------------------------------------------------------------------

namespace {
DirectoryServerList g_serverList;
DirectoryServerTable g_serverTable;
unsigned g_adServerNum = 0;
}  // namespace

void LoadDirectoryServers(const WorkerSettings& settings) {
    g_serverList.Load(settings.servers);
    g_adServerNum = settings.adServerNum;
}

bool TakeDirectoryServer(ServerEntry& entry) { return g_serverList.Take(entry); }

void ConnectDirectoryServers() { g_serverTable.ConnectDirectoryServers(g_serverList, g_adServerNum); }

HResult VerifyUser(std::string_view userName, std::string_view domain, OnlineUserRecord& record) {
    return g_serverTable.VerifyUser(userName, domain, record);
}

HResult VerifyLogoffUser(std::string_view userName, std::string_view domain, OnlineUserRecord& record) {
    return g_serverTable.VerifyUser(userName, domain, record, Membership::GatewaysOnly);
}

void PrefetchUser(std::string_view userName, bool logoff) {
    g_serverTable.Prefetch(userName, logoff ? Membership::GatewaysOnly : Membership::Checked);
}

DirectoryServerTable& GetDirectoryServerTable() { return g_serverTable; }

}  // namespace orvane
