#include "worker/eventlog/event_source.h"

#include "common/text.h"
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

// A path naming a host is a remote Windows DC, reached over WS-Management; root\cimv2 is
// the Samba DC of this machine.
class MachineLocator final : public EventLocator {
public:
    HResult ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                          const std::string& authority, std::unique_ptr<EventServices>& out) override {
        if (path.starts_with("\\\\")) return remote_.ConnectServer(path, user, password, authority, out);
        return local_.ConnectServer(path, user, password, authority, out);
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
