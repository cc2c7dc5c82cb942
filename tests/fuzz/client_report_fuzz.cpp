// The client-report datagram as the worker's processing thread takes it: decrypted with the
// client key, then split and handed to the logon/logoff decisions by DispatchClientReport. One
// input is a run of datagrams from a few PCs against one online-user table, so logons and
// logoffs meet. Each datagram is either taken as received (raw bytes, mostly refused by the
// cipher checks) or sealed first from a text the fuzzer chose, which reaches the text parsing.
// The directory and the gateways are doubles: nothing touches the network.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/client_report.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/test_util.h"
#include "worker/directory/logon_time.h"
#include "worker/reports/client_report_receiver.h"
#include "worker/reports/logon_report_handler.h"
#include "worker/users/logon_decisions.h"

using namespace orvane;

namespace {

// 2026-01-05 10:00:00 UTC.
constexpr std::int64_t kNow = 1767607200;
const KeyField kClientKey = MakeKeyField("clientkey");
constexpr const char* kSenders[] = {"10.0.0.5", "10.0.0.6", "192.168.200.254", "0.0.0.0"};

// The directory knows users whose names start with a lower-case vowel; "e…" logged on long ago
// (refused by the anti-replay check), the others just now.
long VerifyUser(std::string_view user, std::string_view, OnlineUserRecord& record) {
    if (user.empty() || std::string_view("aeiou").find(user.front()) == std::string_view::npos)
        return static_cast<long>(0x80004005u);
    record.organisation[0] = "CN=" + std::string(user) + ",OU=Sales,DC=corp,DC=example,DC=com";
    record.lastLogonTime = UtcToLogonTime(user.front() == 'e' ? kNow - 86400 : kNow - 30);
    return 0;
}

void Setup() {
    static testing::FakeClock clock(kNow);
    static testing::CountingRandom random;
    platform::SetClock(&clock);
    SetRandomSource(&random);
    fuzzing::InstallDiscardLog();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    FuzzedDataProvider in(data, size);

    OnlineUserTable table;
    LogonServices services;
    services.verifyUser = VerifyUser;
    services.notifyAllGateways = [](OnlineUserRecord& record) { ORVANE_FUZZ_CHECK(!record.Address().empty()); };
    LogonDecisions decisions(table, std::move(services), 1800);
    LogonReportHandler handler;
    handler.Attach(decisions);

    std::array<std::uint8_t, kReportReceiveBuffer> datagram{};
    std::array<std::uint8_t, kReportPlainBuffer> plain{};
    std::array<std::uint8_t, kReportTextCapacity + 16> text{};
    std::string opened;
    while (in.remaining_bytes() > 0) {
        const char* sender = kSenders[in.ConsumeIntegralInRange<std::size_t>(0, 3)];
        const bool sealed = in.ConsumeBool();
        std::size_t length = 0;
        if (sealed) {
            // The reporter's text: at most 1023 bytes and a zero, sealed like the reporter does.
            const std::string body = in.ConsumeRandomLengthString(kReportTextCapacity - 1);
            text.fill(0);
            if (!body.empty()) std::memcpy(text.data(), body.data(), body.size());
            length = SealClientReport(text.data(), body.size() + 1, kClientKey, datagram.data());
            ORVANE_FUZZ_CHECK(length > 0 && length <= kMaxBuiltReportDatagram);
        } else {
            const std::vector<std::uint8_t> raw = in.ConsumeBytes<std::uint8_t>(
                in.ConsumeIntegralInRange<std::size_t>(0, kMaxReportDatagram));
            if (!raw.empty()) std::memcpy(datagram.data(), raw.data(), raw.size());
            length = raw.size();
        }
        // The receiver queues only report-shaped datagrams and zero-fills behind each.
        if (!IsReportShaped(datagram.data(), length)) continue;
        std::memset(datagram.data() + length, 0, datagram.size() - length);
        const ReportOpenResult r = OpenClientReport(datagram.data(), length, kClientKey, plain.data(), opened);
        if (r != ReportOpenResult::Opened) continue;
        ORVANE_FUZZ_CHECK(opened.compare(0, kReportMagicLength, kReportMagic) == 0);
        // An opened text is one a reporter could have written: four non-empty fields.
        ReportFields fields;
        const ReportSplitResult split = SplitReportText(opened, fields);
        ORVANE_FUZZ_CHECK(split == ReportSplitResult::FieldTooLong ||
                          (split == ReportSplitResult::Split && fields.count == 4));
        const int dispatched = DispatchClientReport(sender, opened, handler);
        ORVANE_FUZZ_CHECK(dispatched == 0 || dispatched == 1);
    }
    // Every record the table holds has the address it was reported from.
    std::lock_guard<std::mutex> lock(table.Mutex());
    for (OnlineUserRecord* r = table.First(); r; r = table.Next(*r)) ORVANE_FUZZ_CHECK(!r->Address().empty());
    return 0;
}
