// The answers a remote DC's WS-Management listener sends: any bytes as an Enumerate/Pull
// response (its head read alone, as for the next pull, and whole) and as an Identify response,
// and each fault mapped to its WMI result. The typed objects of a parsed batch are read back the
// way the poller reads them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "worker/eventlog/wsman_soap.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > wsman::kMaxResponseBytes) return -1;
    const std::string_view body(reinterpret_cast<const char*>(data), size);

    // The context the head of an answer names (the next pull leaves on it) is the one the whole
    // answer names, unless the answer ends the sequence after its items or proves unreadable.
    const std::string peeked = wsman::PeekContext(body);
    wsman::EnumerationBatch batch;
    wsman::Fault fault;
    std::string error;
    switch (wsman::ParseEnumeration(body, batch, fault, error)) {
        case wsman::ParseResult::Ok:
            ORVANE_FUZZ_CHECK(batch.endOfSequence ? batch.context.empty() : !batch.context.empty());
            ORVANE_FUZZ_CHECK(peeked.empty() || peeked == batch.context || batch.endOfSequence);
            for (const EventObject& o : batch.items) {
                (void)o.GetInteger("EventCode");
                (void)o.GetString("TimeGenerated");
                if (const auto* s = o.GetStrings("InsertionStrings")) ORVANE_FUZZ_CHECK(s->size() < size + 1);
            }
            break;
        case wsman::ParseResult::Fault:
            (void)wsman::FaultResult(fault);
            break;
        case wsman::ParseResult::Malformed:
            ORVANE_FUZZ_CHECK(!error.empty());
            break;
    }
    wsman::Fault identifyFault;
    error.clear();
    if (wsman::ParseIdentify(body, identifyFault, error) == wsman::ParseResult::Fault)
        (void)wsman::FaultResult(identifyFault);
    return 0;
}
