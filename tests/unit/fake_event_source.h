#pragma once
// A scripted event source that answers like WMI: each query is parsed and evaluated with the
// WQL engine over the scripted events, results newest first; connections and queries fail
// when the script says so, and every call is recorded.
#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "worker/eventlog/event_source.h"
#include "worker/eventlog/wql.h"

namespace orvane::testing {

struct ScriptedServer {
    std::vector<EventObject> events;
    std::vector<std::string> captions{"Microsoft Windows Server 2008 R2 Standard"};
    // Results of the next ConnectServer calls, front first; kSOk when the list is empty.
    std::deque<HResult> remoteConnects, localConnects;
    // The next queries fail while this is above 0 (one per query).
    int failingQueries = 0;
    HResult callSecurity = kSOk;
    HResult initialize = kSOk, initializeSecurity = kSOk, createLocator = kSOk;

    std::vector<std::string> queries;
    std::vector<std::string> paths;
    std::vector<std::string> authorities;
    int connects = 0;
};

inline EventObject LogonEvent(std::int64_t code, const std::string& time, const std::string& user,
                              const std::string& address, const std::string& domain = "-") {
    std::vector<std::string> strings(21, "-");
    std::size_t userAt = 0, addressAt = 9, domainAt = 1;
    if (code == 4624) userAt = 5, addressAt = 18, domainAt = 6;
    if (code == 4769 || code == 4770 || code == 673 || code == 674) addressAt = 6;
    strings[userAt] = user;
    strings[addressAt] = address;
    strings[domainAt] = domain;
    EventObject e;
    e.Set("LogFile", std::string("Security"));
    e.Set("EventCode", code);
    e.Set("EventIdentifier", code);
    e.Set("TimeGenerated", time);
    e.Set("InsertionStrings", std::move(strings));
    return e;
}

class ScriptedEnumerator final : public EventEnumerator {
public:
    ScriptedEnumerator(std::vector<EventObject> objects, HResult security)
        : objects_(std::move(objects)), security_(security) {}
    HResult SetCallSecurity(const CallIdentity&) override { return security_; }
    bool Next(EventObject& out) override {
        if (next_ >= objects_.size()) return false;
        out = objects_[next_++];
        return true;
    }

private:
    std::vector<EventObject> objects_;
    std::size_t next_ = 0;
    HResult security_;
};

class ScriptedServices final : public EventServices {
public:
    explicit ScriptedServices(ScriptedServer& s) : s_(s) {}
    HResult SetCallSecurity(const CallIdentity&) override { return s_.callSecurity; }
    HResult ExecQuery(std::string_view text, std::unique_ptr<EventEnumerator>& out) override {
        s_.queries.emplace_back(text);
        if (s_.failingQueries > 0) {
            --s_.failingQueries;
            return kWbemEFailed;
        }
        auto q = wql::Parse(text);
        if (!q) return kWbemEInvalidQuery;
        std::vector<EventObject> result;
        if (q->className == "Win32_OperatingSystem") {
            for (const std::string& c : s_.captions) {
                EventObject os;
                os.Set("Caption", c);
                result.push_back(os);
            }
        } else {
            for (const EventObject& e : s_.events) {
                if (wql::Matches(q->where.get(), e)) result.push_back(e);
            }
            // Newest first; an object without a time text first of all (so tests can reach it).
            std::stable_sort(result.begin(), result.end(), [](const EventObject& a, const EventObject& b) {
                const std::string* ta = a.GetString("TimeGenerated");
                const std::string* tb = b.GetString("TimeGenerated");
                if (!ta || !tb) return !ta && tb;
                return *ta > *tb;
            });
        }
        out = std::make_unique<ScriptedEnumerator>(std::move(result), kSOk);
        return kSOk;
    }

private:
    ScriptedServer& s_;
};

class ScriptedLocator final : public EventLocator {
public:
    explicit ScriptedLocator(ScriptedServer& s) : s_(s) {}
    HResult ConnectServer(const std::string& path, const std::string&, const std::string&,
                          const std::string& authority, std::unique_ptr<EventServices>& out) override {
        ++s_.connects;
        s_.paths.push_back(path);
        s_.authorities.push_back(authority);
        auto& script = path.starts_with("\\\\") ? s_.remoteConnects : s_.localConnects;
        HResult hr = kSOk;
        if (!script.empty()) {
            hr = script.front();
            script.pop_front();
        }
        if (hr == kSOk) out = std::make_unique<ScriptedServices>(s_);
        return hr;
    }

private:
    ScriptedServer& s_;
};

class ScriptedFactory final : public EventSourceFactory {
public:
    explicit ScriptedFactory(ScriptedServer& s) : s_(s) { SetEventSourceFactory(this); }
    ~ScriptedFactory() override { SetEventSourceFactory(nullptr); }
    HResult Initialize() override { return s_.initialize; }
    HResult InitializeSecurity() override { return s_.initializeSecurity; }
    HResult CreateLocator(std::unique_ptr<EventLocator>& out) override {
        if (s_.createLocator != kSOk) return s_.createLocator;
        out = std::make_unique<ScriptedLocator>(s_);
        return kSOk;
    }

private:
    ScriptedServer& s_;
};

}  // namespace orvane::testing
