// Samba's JSON authentication audit log as the log-query worker follows it: one input is a
// script of appends (whole or partial lines), rewrites (rotation or truncation) and poll
// queries against one audit file, so the incremental reading meets every cut. Some inputs are
// instead an smb.conf for FindSambaAuditLog, or a time stamp for IsoToCimDateTime.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "worker/eventlog/samba_audit_source.h"
#include "worker/eventlog/wql.h"

using namespace orvane;

namespace {

constexpr char kPollFilter[] =
    "LogFile='Security' AND (EventCode='4768' OR EventCode='4769' OR EventCode='4770' OR EventCode='4624')";

std::string PollQuery(const std::string& after) {
    if (after.empty()) return std::string("SELECT * FROM Win32_NTLogEvent where ") + kPollFilter;
    return "SELECT * FROM Win32_NTLogEvent where TimeGenerated>'" + after + "' and " + kPollFilter;
}

// Runs one poll; the newest time seen becomes the next poll's bound, as the poller does.
void Poll(SambaAuditServices& services, std::string& newest) {
    std::unique_ptr<EventEnumerator> e;
    if (services.ExecQuery(PollQuery(newest), e) != kSOk || !e) return;
    EventObject o;
    std::string first;
    while (e->Next(o)) {
        const std::string* time = o.GetString("TimeGenerated");
        ORVANE_FUZZ_CHECK(time != nullptr);
        // Only what is later than the bound is answered.
        ORVANE_FUZZ_CHECK(newest.empty() || *time > newest);
        if (*time > first) first = *time;
        const auto* strings = o.GetStrings("InsertionStrings");
        ORVANE_FUZZ_CHECK(strings != nullptr && !strings->empty());
    }
    if (!first.empty()) newest = first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (fuzzing::InstallDiscardLog(), true);
    (void)ready;
    FuzzedDataProvider in(data, size);
    const fuzzing::ScratchDir& scratch = fuzzing::ScratchDir::Get();
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: {
            const std::string conf = scratch / "smb.conf";
            fuzzing::WriteWhole(conf, in.ConsumeRemainingBytesAsString());
            std::string path, why;
            if (FindSambaAuditLog(conf, path, why))
                ORVANE_FUZZ_CHECK(!path.empty());
            else
                ORVANE_FUZZ_CHECK(!why.empty());
            return 0;
        }
        case 1: {
            std::string out;
            if (IsoToCimDateTime(in.ConsumeRemainingBytesAsString(), out)) ORVANE_FUZZ_CHECK(out.size() == 25);
            return 0;
        }
        default:
            break;
    }
    const std::string path = scratch / "auth.json";
    fuzzing::WriteWhole(path, in.ConsumeRandomLengthString(4096));
    SambaAuditServices services(path);
    AuditLineMapper mapper;
    std::string newest;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
            case 1:
                fuzzing::Append(path, in.ConsumeRandomLengthString(4096));
                break;
            case 2:
                Poll(services, newest);
                break;
            case 3:
                // A new file under the name (rotation), or the same file cut short.
                fuzzing::WriteWhole(path, in.ConsumeRandomLengthString(4096));
                break;
            case 4: {
                EventObject o;
                std::string time;
                const std::string line = in.ConsumeRandomLengthString(4096);
                if (mapper.Map(line, o, time)) ORVANE_FUZZ_CHECK(!time.empty());
                break;
            }
        }
    }
    Poll(services, newest);
    return 0;
}
