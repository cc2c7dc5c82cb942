#include "worker/status/worker_statistics.h"
#include "worker/eventlog/security_log_poller.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>

#include "common/config.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/netif.h"
#include "platform/thread.h"
#include "platform/udp.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/member_groups.h"
#include "worker/eventlog/wsman_event_source.h"
#include "worker/gateway/notification_sender.h"
#include "worker/startup/worker_runtime.h"
#include "worker/state/state_store.h"
#include "worker/users/excluded_accounts.h"
#include "worker/users/identity_rules.h"
#include "worker/users/logon_decisions.h"

namespace orvane {
namespace {

constexpr std::size_t kEventUserCapacity = 256;
constexpr std::size_t kEventAddressCapacity = 96;
constexpr std::size_t kCaptionCapacity = 256;

struct EventSlots {
    int generation;
    std::int64_t code;
    std::size_t user, address, domain;
};
constexpr EventSlots kEventTable[] = {
    {2003, 672, 0, 9, 1},  {2003, 673, 0, 6, 1},  {2003, 674, 0, 6, 1},   {2008, 4768, 0, 9, 1},
    {2008, 4769, 0, 6, 1}, {2008, 4770, 0, 6, 1}, {2008, 4624, 5, 18, 6},
};

const EventSlots* SlotsOf(std::uint32_t generation, std::int64_t code) {
    for (const EventSlots& s : kEventTable) {
        if (s.generation == static_cast<int>(generation) && s.code == code) return &s;
    }
    return nullptr;
}

// Stores `value` in a context field, or refuses it with a log line when it does not fit.
bool StoreField(std::string& field, std::string_view value, std::size_t capacity, const char* what) {
    if (!FitsCapacity(value, capacity)) {
        // Only the name and the length: the value may be a password.
        LogError("[ERR]%s is longer than %zu characters (%zu characters given), refused!", what, capacity - 1,
                 Utf16Length(value));
        return false;
    }
    field.assign(value);
    return true;
}

CallIdentity IdentityOf(const PollerContext& c) { return CallIdentity{c.user, c.domain, c.password}; }

unsigned long Code(HResult hr) { return static_cast<std::uint32_t>(hr); }

// Every pause of the query-log thread first writes what is pending, so the log is current while
// the thread waits (one write at most).
void Pause(unsigned ms) {
    FlushLog();
    platform::GetClock().SleepMs(ms);
}

// Step 12 of the query-log thread: the worker process ends and the supervisor starts another.
void EndWorker(PollerContext& context, const PollerServices& services) {
    context.services.reset();
    context.locator.reset();
    RequestLogFlush();
    LogError("[ERR]Error accured, restart Orvane service.");
    Pause(10000);
    services.exitProcess(0);
}

// The account name of an event's user (up to an '@') in `name`; false for a computer account or
// the Administrator, who are never reported.
bool ReportedName(std::string_view user, std::string_view& name) {
    name = user.substr(0, user.find('@'));
    return name.find('$') == std::string_view::npos && !EqualsNoCase(name, "Administrator");
}

// The name an event's handling will look up, read without a word logged (the handling says
// what it skips); empty when it will look up nobody.
std::string_view LookupNameOf(const EventObject& event, std::uint32_t generation) {
    const std::int64_t* code = event.GetInteger("EventIdentifier");
    const EventSlots* slots = code ? SlotsOf(generation, *code) : nullptr;
    const std::vector<std::string>* strings = event.GetStrings("InsertionStrings");
    std::string_view name;
    if (!slots || !strings || slots->user >= strings->size() || !ReportedName((*strings)[slots->user], name))
        return {};
    return name;
}

}  // namespace

unsigned PollingIntervalMs(std::uint16_t queryTime) {
    return queryTime < kMinPollMs / 1000 ? kMinPollMs : static_cast<unsigned>(queryTime) * 1000u;
}

bool ReportedPairs::Add(std::string_view userName, std::string_view address) {
    std::string key;
    key.reserve(userName.size() + address.size() + 1);
    key.append(userName).push_back('\n');
    key.append(address);
    return pairs_.insert(std::move(key)).second;
}

std::string ClientAddressOf(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) text.remove_prefix(colon + 1);
    std::uint32_t parsed = 0;
    if (!platform::ParseIpv4Address(text, parsed)) return {};
    if (text == "127.0.0.1" || EqualsNoCase(text, "1")) return {};
    return std::string(text);
}

bool IsLocalAddress(std::string_view address) {
    const std::string text = CutToCapacity(address, 48);
    std::uint32_t wanted = 0;
    if (!platform::ParseIpv4Address(text, wanted)) {
        LogError("[ERR]The string of server IP is Invalid.");
        return false;
    }
    std::vector<std::string> own;
    int err = 0;
    if (!platform::LocalIpv4Addresses(own, err)) {
        LogError("[ERR]Get host by name failed! errorcode:%d", err);
        return false;
    }
    for (const std::string& a : own) {
        std::uint32_t v = 0;
        if (platform::ParseIpv4Address(a, v) && v == wanted) return true;
    }
    return false;
}

int ConnectWmi(PollerContext& context) {
    const std::string authority = "ntlmdomain:" + context.domain;
    context.services.reset();
    const HResult remote = context.locator->ConnectServer(context.namespacePath, context.user, context.password,
                                                          authority, context.services);
    if (remote != kSOk || !context.services) {
        context.services.reset();
        if (context.remote == 1) {
            LogError("[ERR]Connect remote AD server failed. errno = 0x%lX.", Code(remote));
            return 1;
        }
        LogInfo("[INF]Try to connect the local AD server.");
        const HResult local = context.locator->ConnectServer("root\\cimv2", "", "", "", context.services);
        if (local != kSOk || !context.services) {
            context.services.reset();
            LogError("[ERR]Connect AD server failed. Remote server errno = 0x%lX, local server errno = 0x%0lX.",
                     Code(remote), Code(local));
            return 1;
        }
    }
    const HResult hr = context.services->SetCallSecurity(IdentityOf(context));
    if (hr != kSOk) {
        context.services.reset();
        LogError("[ERR]Set Proxy-Server fail. hResult:0x%0lX\n", Code(hr));
        return 1;
    }
    return 0;
}

std::unique_ptr<EventEnumerator> ExecWql(std::string_view query, PollerContext& context) {
    std::unique_ptr<EventEnumerator> e;
    const HResult hr = context.services ? context.services->ExecQuery(query, e) : kEFail;
    if (hr != kSOk || !e) {
        LogError("[ERR]ExecQuery error.hResult:0x%0lX\n", Code(hr != kSOk ? hr : kEFail));
        return nullptr;
    }
    const HResult sec = e->SetCallSecurity(IdentityOf(context));
    if (sec != kSOk) {
        LogError("[ERR]SetProxy error.hResult:0x%0lX\n", Code(sec));
        return nullptr;
    }
    return e;
}

int DetectServerGeneration(PollerContext& context) {
    auto e = ExecWql("SELECT Caption FROM Win32_OperatingSystem", context);
    if (!e) {
        LogError("[ERR]%s: Fail to select caption", context.serverAddress.c_str());
        return 0;
    }
    bool any = false;
    EventObject os;
    while (e->Next(os)) {
        const std::string* caption = os.GetString("Caption");
        if (!caption) continue;
        any = true;
        char filter[kPollerFieldCapacity];
        if (CutToCapacity(*caption, kCaptionCapacity).find("2003") != std::string::npos) {
            context.generation = 2003;
            std::snprintf(filter, sizeof filter, "(EventCode='%d' OR EventCode='%d' OR EventCode='%d')", 672, 673, 674);
        } else {
            context.generation = 2008;
            std::snprintf(filter, sizeof filter,
                          "(EventCode='%d' OR EventCode='%d' OR EventCode='%d' OR EventCode='%d')", 4768, 4769,
                          4770, 4624);
        }
        context.eventFilter = filter;
    }
    // Without a caption the filter stays empty and every poll query would fail for ever.
    return any ? 1 : 0;
}

void ResumeQueryTime(PollerContext& context, const PollerServices& services, std::int64_t now) {
    if (!services.store || services.resumeSpan == 0) return;
    const std::string stored = services.store->LoadQueryTime();
    if (stored.empty()) return;
    // The event times' own form (UTC), so the two compare as texts.
    const std::time_t floorTime = static_cast<std::time_t>(now - static_cast<std::int64_t>(services.resumeSpan));
    struct tm t {};
    char floor[80] = "";
    if (!gmtime_r(&floorTime, &t)) return;
    std::snprintf(floor, sizeof floor, "%04d%02d%02d%02d%02d%02d.000000+000", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (StoreField(context.lastQueryTime, stored < floor ? std::string_view(floor) : std::string_view(stored),
                   kLastQueryTimeCapacity, "TimeGenerated"))
        LogInfo("[INF]Resume query time %s", context.lastQueryTime.c_str());
}

int QuerySecurityLog(DirectorySearch* searchHandle, PollerContext& context, const PollerServices& services) {
    const std::string startTime = context.lastQueryTime;
    ReportedPairs reported;
    char query[512];
    int n = context.lastQueryTime.empty()
                ? std::snprintf(query, sizeof query, "SELECT * FROM Win32_NTLogEvent where LogFile='Security' AND %s",
                                context.eventFilter.c_str())
                : std::snprintf(query, sizeof query,
                                "SELECT * FROM Win32_NTLogEvent where TimeGenerated>'%s' and LogFile='Security' AND %s",
                                context.lastQueryTime.c_str(), context.eventFilter.c_str());
    if (n < 0 || static_cast<std::size_t>(n) > kMaxQueryLength) {
        LogError("[ERR]The query is longer than %zu characters.", kMaxQueryLength);
        return -1;
    }
    auto events = ExecWql(query, context);
    if (!events) {
        LogError("[ERR]query error\n");
        return -1;
    }
    // Events are read up to the pipeline's depth ahead of the one handled, and their lookups
    // start as they are read; each is still handled in its turn, as if read one by one. The
    // first poll reads one event only.
    const bool lookAhead = !context.lastQueryTime.empty();
    std::array<EventObject, kLookupPipelineDepth> ahead;
    std::size_t head = 0, count = 0;
    bool more = true, taken = false;
    for (;;) {
        if (taken) {
            head = (head + 1) % ahead.size();
            --count;
        }
        while (more && count < (lookAhead ? ahead.size() : 1)) {
            EventObject& next = ahead[(head + count) % ahead.size()];
            if (!events->Next(next)) {
                more = false;
                break;
            }
            ++count;
            if (lookAhead) PrefetchUserInDirectory(searchHandle, LookupNameOf(next, context.generation));
        }
        if (count == 0) break;
        taken = true;
        const EventObject& event = ahead[head];
        const std::string* time = event.GetString("TimeGenerated");
        if (!time) {
            LogError("[ERR]Error in getting specified object\n");
            break;
        }
        if (context.lastQueryTime.empty()) {
            if (StoreField(context.lastQueryTime, *time, kLastQueryTimeCapacity, "TimeGenerated"))
                LogInfo("[INF]First query time %s", context.lastQueryTime.c_str());
            break;
        }
        if (context.lastQueryTime < *time &&
            StoreField(context.lastQueryTime, *time, kLastQueryTimeCapacity, "TimeGenerated"))
            LogInfo("[INF]New query time %s", context.lastQueryTime.c_str());
        const std::int64_t* code = event.GetInteger("EventIdentifier");
        if (!code) {
            LogInfo("[INF]does not read RecordNumber");
            continue;
        }
        const EventSlots* slots = SlotsOf(context.generation, *code);
        const std::vector<std::string>* strings = event.GetStrings("InsertionStrings");
        if (!slots || !strings) continue;
        const std::string* address = slots->address < strings->size() ? &(*strings)[slots->address] : nullptr;
        const std::string* user = slots->user < strings->size() ? &(*strings)[slots->user] : nullptr;
        if (!address || address->empty()) {
            LogError("[INF]user Ip null ");
            continue;
        }
        if (!user || user->empty()) {
            LogError("[INF]UserName null ");
            continue;
        }
        if (!FitsCapacity(*user, kEventUserCapacity) || !FitsCapacity(*address, kEventAddressCapacity)) {
            LogError("[ERR]Event skipped: user name or address too long (%s)", time->c_str());
            continue;
        }
        const std::string client = ClientAddressOf(*address);
        if (client.empty()) continue;
        std::string_view name;
        if (!ReportedName(*user, name)) continue;
        const std::string_view domain =
            slots->domain < strings->size() ? std::string_view((*strings)[slots->domain]) : std::string_view();
        if (GetExcludedAccounts().Excludes(*user, domain)) continue;
        if (RefusedByIdentityRules(name, domain, client)) continue;
        if (!reported.Add(name, client)) continue;
        if (reported.Size() >= kReportedPairsLimit) reported.Clear();
        OnlineUserRecord record;
        const std::string userName(name);
        const HResult found = FindUserInDirectory(searchHandle, userName, record);
        if (found == kENotInGroups) {
            NotReportedForGroups(userName, client);
        } else if (found != kSOk) {
            LogInfo("[INF]User non-exist(name : %s IP:%s", userName.c_str(), client.c_str());
        } else {
            services.reportServerLogon(client, userName, record);
        }
    }
    if (services.store && context.lastQueryTime != startTime) {
        services.store->SaveQueryTime(context.lastQueryTime);
        services.store->Commit();
    }
    return 0;
}

void QueryLogThread(const PollerServices& services) {
    PollerContext context;
    EventSourceFactory& factory = GetEventSourceFactory();
    if (HResult hr = factory.Initialize(); hr != kSOk) {
        LogError("[ERR]Failed to initialize COM library. Error:%s", FormatSystemError(hr).c_str());
        return EndWorker(context, services);
    }
    if (HResult hr = factory.CreateLocator(context.locator); hr != kSOk || !context.locator) {
        LogError("[ERR]Failed to create IWbemLocator object. Error:%s", FormatSystemError(hr).c_str());
        return EndWorker(context, services);
    }
    ServerEntry entry;
    if (!TakeDirectoryServer(entry)) return EndWorker(context, services);
    const std::string& whole = entry.userName;
    const std::size_t slash = whole.find('\\');
    const std::string_view domain = slash == std::string::npos ? std::string_view() : std::string_view(whole).substr(0, slash);
    const std::string_view user = slash == std::string::npos ? std::string_view(whole) : std::string_view(whole).substr(slash + 1);
    const std::string path = "\\\\" + entry.ip + "\\root\\cimv2";
    if (!StoreField(context.user, user, kPollerFieldCapacity, "UserName") ||
        !StoreField(context.password, entry.password, kLogQueryPasswordCapacity, "Password") ||
        !StoreField(context.serverAddress, entry.ip, kPollerFieldCapacity, "Ip") ||
        !StoreField(context.namespacePath, path, kPollerFieldCapacity, "Namespace path") ||
        !StoreField(context.domain, domain, kPollerFieldCapacity, "Domain"))
        return EndWorker(context, services);
    context.remote = services.isLocalAddress(context.serverAddress) ? 0 : 1;

    bool connected = false;
    for (unsigned attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        if (ConnectWmi(context) == 0) {
            connected = true;
            break;
        }
        RequestLogFlush();
        LogError("[ERR]Times of connect AD server failed.%d", static_cast<int>(attempt));
        Pause(kConnectRetryMs);
    }
    if (!connected) {
        LogError("[ERR]Fail to Connect!!");
        return EndWorker(context, services);
    }
    if (DetectServerGeneration(context) != 1) {
        LogError("[ERR]Fail to check AD os!!");
        return EndWorker(context, services);
    }
    std::unique_ptr<DirectorySearch> searchHandle;
    GetSearchHandleOfAD(entry.userName, searchHandle, entry.ip, entry.password);
    Statistics().SetDirectoryServer(0, entry.ip);
    Statistics().DirectoryBound(0, searchHandle != nullptr, 0);
    if (!searchHandle) {
        LogError("[ERR]Fail to get AD query handle!!");
        return EndWorker(context, services);
    }
    RequestLogFlush();
    LogInfo("[INF]Start query ADServer:%s.", context.serverAddress.c_str());
    ResumeQueryTime(context, services, platform::GetClock().Now());

    const unsigned interval = PollingIntervalMs(services.queryTime);
    while (services.runState->load() == kRunStateRunning) {
        if (QuerySecurityLog(searchHandle.get(), context, services) == -1) {
            context.services.reset();
            for (int failures = 0; ConnectWmi(context) != 0; ++failures) {
                RequestLogFlush();
                LogError("[ERR]Times of connect AD server failed.%d", failures);
                Pause(kReconnectRetryMs);
                if (services.runState->load() != kRunStateRunning) return;
            }
        }
        // The poll's lines go to the file now, not with the next line logged, which may be
        // many polls away.
        Pause(interval);
    }
}

PollerServices DefaultPollerServices(std::uint16_t queryTime) {
    PollerServices s;
    s.reportServerLogon = [](std::string_view address, std::string_view userName, OnlineUserRecord& record) {
        static OnlineUserTable unused;
        static LogonDecisions decisions(unused, LogonServices{nullptr, [](OnlineUserRecord& r) { NotifyAllGateways(r); }}, 0);
        return decisions.ReportServerLogon(address, userName, record);
    };
    s.isLocalAddress = [](std::string_view address) { return IsLocalAddress(address); };
    s.exitProcess = [](int code) { ::_exit(code); };
    s.runState = &Runtime().runState;
    s.queryTime = queryTime;
    return s;
}

void StartEventLogPoller(WorkerSettings& settings, StateStore* store) {
    ReadQueryTime(settings);
    SetWsmanAuthPolicy({WsmanAuth::Auto, ReadAllowNtlm(settings.configPath)});
    const std::uint16_t queryTime = settings.queryTime;
    const std::uint32_t resumeSpan = settings.queryResumeSpan;
    EventSourceFactory& factory = GetEventSourceFactory();
    if (HResult hr = factory.Initialize(); hr != kSOk) {
        LogError("[ERR]Failed to initialize COM library. Error:%s", FormatSystemError(hr).c_str());
        return;
    }
    RequestLogFlush();
    LogInfo("[INF] initialize COM library. ");
    if (HResult hr = factory.InitializeSecurity(); hr != kSOk) {
        LogError("[ERR]Failed to initialize security. Error:%s", FormatSystemError(hr).c_str());
        return;
    }
    for (unsigned i = 0; i < settings.adServerNum; ++i) {
        int err = 0;
        if (!platform::StartThread(
                [queryTime, store, resumeSpan] {
                    PollerServices services = DefaultPollerServices(queryTime);
                    services.store = store && store->IsOpen() ? store : nullptr;
                    services.resumeSpan = resumeSpan;
                    QueryLogThread(services);
                },
                err))
            LogError("[ERR]create query log thread fail! ErrorCode:%ld", static_cast<long>(err));
    }
}

}  // namespace orvane
