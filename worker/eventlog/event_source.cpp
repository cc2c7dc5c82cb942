#include "worker/eventlog/event_source.h"

#include "common/text.h"
#include "platform/netif.h"
#include "platform/udp.h"
#include "worker/eventlog/samba_audit_source.h"
#include "worker/eventlog/wsman_event_source.h"

namespace orvane {

void EventObject::Set(std::string name, EventValue value) {
    for (auto& [n, v] : properties_) {
        if (EqualsNoCase(n, name)) {
            v = std::move(value);
            return;
        }
    }
    properties_.emplace_back(std::move(name), std::move(value));
}

const EventValue* EventObject::Get(std::string_view name) const {
    for (const auto& [n, v] : properties_) {
        if (EqualsNoCase(n, name)) return &v;
    }
    return nullptr;
}

namespace {

// True when `host` is one of this machine's own (non-loopback) IPv4 addresses: the addresses
// the poller calls local.
bool IsThisMachine(std::string_view host) {
    std::uint32_t wanted = 0;
    if (!platform::ParseIpv4Address(host, wanted)) return false;
    std::vector<std::string> own;
    int err = 0;
    if (!platform::LocalIpv4Addresses(own, err)) return false;
    for (const std::string& a : own) {
        std::uint32_t v = 0;
        if (platform::ParseIpv4Address(a, v) && v == wanted) return true;
    }
    return false;
}

// A path naming another host is a remote Windows DC, reached over WS-Management; root\cimv2
// is the Samba DC of this machine. Credentials for this machine itself are refused as WMI
// refuses them, so the caller goes on to the local branch without a network attempt.
class MachineLocator final : public EventLocator {
public:
    HResult ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                          const std::string& authority, std::unique_ptr<EventServices>& out) override {
        if (!path.starts_with("\\\\")) return local_.ConnectServer(path, user, password, authority, out);
        const std::size_t slash = path.find('\\', 2);
        const std::string_view host = std::string_view(path).substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        if (!user.empty() && IsThisMachine(host)) return kWbemELocalCredentials;
        return remote_.ConnectServer(path, user, password, authority, out);
    }

private:
    WsmanLocator remote_;
    SambaAuditLocator local_;
};

class LocalEventSourceFactory final : public EventSourceFactory {
public:
    HResult CreateLocator(std::unique_ptr<EventLocator>& out) override {
        out = std::make_unique<MachineLocator>();
        return kSOk;
    }
};

EventSourceFactory* g_factory = nullptr;

}  // namespace

EventSourceFactory& GetEventSourceFactory() {
    static LocalEventSourceFactory local;
    return g_factory ? *g_factory : local;
}

void SetEventSourceFactory(EventSourceFactory* factory) { g_factory = factory; }

}  // namespace orvane
