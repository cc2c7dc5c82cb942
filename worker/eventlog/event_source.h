#pragma once
// The event-source seam: what the Security-log poller needs of WMI, and nothing more.
// Connect to a namespace, run a WQL query, walk the result objects one at a time and read
// their typed properties. On a Samba domain controller the answers come from Samba's JSON
// authentication audit log (samba_audit_source.h); a remote Windows DC is served by a
// remote implementation; unit tests use a scripted double.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/text.h"
#include "worker/directory/directory_client.h"

namespace orvane {

// WMI results the event sources return.
constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
constexpr HResult kWbemEFailed = static_cast<HResult>(0x80041001u);
constexpr HResult kWbemENotFound = static_cast<HResult>(0x80041002u);
constexpr HResult kWbemEInvalidNamespace = static_cast<HResult>(0x8004100Eu);
constexpr HResult kWbemEInvalidQuery = static_cast<HResult>(0x80041017u);
constexpr HResult kWbemEInvalidClass = static_cast<HResult>(0x80041010u);
constexpr HResult kWbemELocalCredentials = static_cast<HResult>(0x80041064u);

// One property value: string, integer or string array (the three CIM types the poller reads).
using EventValue = std::variant<std::string, std::int64_t, std::vector<std::string>>;

// One result object (a Win32_NTLogEvent or Win32_OperatingSystem instance).
class EventObject {
public:
    void Set(std::string name, EventValue value);
    // Appends without looking for the name first: for sources whose properties are distinct
    // (a repeated name is shadowed by the first, as Get finds that one).
    void Add(std::string name, EventValue value) { properties_.emplace_back(std::move(name), std::move(value)); }
    void Reserve(std::size_t n) { properties_.reserve(n); }
    // Property names compare ignoring ASCII case, as in WMI. Null when the object has none.
    const EventValue* Get(std::string_view name) const;
    const std::string* GetString(std::string_view name) const { return std::get_if<std::string>(Get(name)); }
    const std::int64_t* GetInteger(std::string_view name) const { return std::get_if<std::int64_t>(Get(name)); }
    const std::vector<std::string>* GetStrings(std::string_view name) const {
        return std::get_if<std::vector<std::string>>(Get(name));
    }
    void Clear() { properties_.clear(); }

    // Rewrites the object property by property, reusing the storage an earlier object left in
    // it (a poll maps thousands of objects of one shape). `at` is the property's position, at
    // most the number written so far; Truncate drops what an earlier, longer object left behind.
    // Inline: a poll calls them for every property of every object.
    std::string& TextAt(std::size_t at, std::string_view name) {
        EventValue& v = SlotAt(at, name).second;
        if (auto* s = std::get_if<std::string>(&v)) return *s;
        return v.emplace<std::string>();
    }
    void IntegerAt(std::size_t at, std::string_view name, std::int64_t value) { SlotAt(at, name).second = value; }
    // The array keeps its earlier elements for reuse: the caller resizes it to what it wrote.
    std::vector<std::string>& StringsAt(std::size_t at, std::string_view name) {
        EventValue& v = SlotAt(at, name).second;
        if (auto* a = std::get_if<std::vector<std::string>>(&v)) return *a;
        return v.emplace<std::vector<std::string>>();
    }
    void Truncate(std::size_t n) {
        if (n < properties_.size()) properties_.resize(n);
    }

private:
    using Property = std::pair<std::string, EventValue>;
    Property& SlotAt(std::size_t at, std::string_view name) {
        // Past the end (never further than one, as the callers count) a new property starts.
        Property& p = at < properties_.size() ? properties_[at] : properties_.emplace_back();
        // Mostly the same name as before: a compare is cheaper than a rewrite.
        if (p.first.size() != name.size() || !SameBytes(p.first.data(), name.data(), name.size())) p.first.assign(name);
        return p;
    }

    std::vector<Property> properties_;
};

// The account the calls are made with (the proxy blanket of the Windows design).
struct CallIdentity {
    std::string user;
    std::string domain;
    std::string password;
};

class EventEnumerator {
public:
    virtual ~EventEnumerator() = default;
    virtual HResult SetCallSecurity(const CallIdentity&) { return kSOk; }
    // The next object, waiting as long as it takes; false at the end of the results.
    virtual bool Next(EventObject& out) = 0;
};

// A connected namespace.
class EventServices {
public:
    virtual ~EventServices() = default;
    virtual HResult SetCallSecurity(const CallIdentity&) { return kSOk; }
    // Runs a WQL query; on success `out` holds the enumerator.
    virtual HResult ExecQuery(std::string_view wql, std::unique_ptr<EventEnumerator>& out) = 0;
};

class EventLocator {
public:
    virtual ~EventLocator() = default;
    // `path` is "\\host\root\cimv2" or, on this machine, "root\cimv2"; empty user, password and
    // authority mean the process's own identity.
    virtual HResult ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                                  const std::string& authority, std::unique_ptr<EventServices>& out) = 0;
};

// Stands for the COM library: per-thread and process-wide initialisation, and the locator.
class EventSourceFactory {
public:
    virtual ~EventSourceFactory() = default;
    virtual HResult Initialize() { return kSOk; }
    virtual HResult InitializeSecurity() { return kSOk; }
    virtual HResult CreateLocator(std::unique_ptr<EventLocator>& out) = 0;
};

// The process's factory: a host path goes to the remote source, "root\cimv2" to the Samba
// audit log of this machine. Tests install their own (nullptr restores the real one).
EventSourceFactory& GetEventSourceFactory();
void SetEventSourceFactory(EventSourceFactory* factory);

}  // namespace orvane
