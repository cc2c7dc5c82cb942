#include "worker/eventlog/event_source.h"

#include "common/text.h"
#include "worker/eventlog/samba_audit_source.h"

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

// This machine's event sources. The remote (WS-Management) source is not part of this build:
// a path naming a host is refused by the locator.
class LocalEventSourceFactory final : public EventSourceFactory {
public:
    HResult CreateLocator(std::unique_ptr<EventLocator>& out) override {
        out = std::make_unique<SambaAuditLocator>();
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
