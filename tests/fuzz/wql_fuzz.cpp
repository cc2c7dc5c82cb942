// The WQL the event sources parse and evaluate: any text, then every parsed query evaluated
// against a logon event, an operating-system object and an empty one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "worker/eventlog/wql.h"

using namespace orvane;

namespace {

std::vector<EventObject> MakeObjects() {
    std::vector<EventObject> objects(3);
    EventObject& e = objects[0];
    e.Set("LogFile", std::string("Security"));
    e.Set("EventCode", std::int64_t{4768});
    e.Set("EventIdentifier", std::int64_t{4768});
    e.Set("TimeGenerated", std::string("20261207080616.359165+000"));
    e.Set("RecordNumber", std::int64_t{-77});
    e.Set("InsertionStrings", std::vector<std::string>{"ann", "CORP", "-", "::ffff:10.0.0.5"});
    objects[1].Set("Caption", std::string("Microsoft Windows Server 2008 R2 Standard"));
    objects[1].Set("Version", std::string(""));
    return objects;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<EventObject> objects = MakeObjects();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string why;
    std::optional<wql::Query> q = wql::Parse(text, &why);
    if (!q) {
        ORVANE_FUZZ_CHECK(!why.empty());
        return 0;
    }
    for (const EventObject& o : objects) (void)wql::Matches(q->where.get(), o);
    (void)wql::LowerBound(q->where.get(), "TimeGenerated");
    (void)wql::LowerBound(q->where.get(), "eventcode");
    return 0;
}
