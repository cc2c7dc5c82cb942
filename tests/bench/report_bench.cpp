// Acknowledgements per second of the client-report receiver for a burst of 10,000 reports from
// one sender on loopback, against a bare recvfrom/sendto loop on another port: the receiver's
// own cost per datagram (one copy-free receive, one acknowledgement, one append) should keep it
// close to the bare loop.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/client_report.h"
#include "platform/udp.h"
#include "platform/udp_receiver.h"
#include "worker/reports/client_report_receiver.h"

namespace orvane {
namespace {

constexpr int kBurst = 10000;
// Reports in flight at once; small enough that no socket buffer overflows and drops one.
constexpr int kWindow = 32;

class CountingHandler final : public ReportHandler {
public:
    int UserLogon(std::string_view, std::string_view, std::string_view, std::string_view) override {
        ++calls;
        return 0;
    }
    int UserLogoff(std::string_view, std::string_view, std::string_view, std::string_view) override {
        ++calls;
        return 0;
    }
    std::atomic<long> calls{0};
};

// Sends kBurst copies of `report` to `port` keeping kWindow unacknowledged; false when an
// acknowledgement went missing.
bool Burst(platform::UdpSocket& sender, std::uint16_t port, const std::vector<std::uint8_t>& report) {
    platform::Ipv4Endpoint to{0x7F000001, port};
    int sent = 0, acked = 0, err = 0;
    std::uint8_t ack[64];
    while (acked < kBurst) {
        while (sent < kBurst && sent - acked < kWindow) {
            if (!sender.SendTo(report.data(), report.size(), to, err)) return false;
            ++sent;
        }
        std::size_t n = 0;
        platform::Ipv4Endpoint from;
        if (sender.ReceiveFrom(ack, sizeof ack, n, from, 2000, err) != platform::ReceiveStatus::Received) return false;
        if (IsReportAcknowledgement(ack, n)) ++acked;
    }
    return true;
}

platform::UdpSocket OpenSender() {
    platform::UdpSocket s;
    int err = 0;
    s.Open(err);
    s.Bind({0x7F000001, 0}, err);
    return s;
}

void BM_ClientReportReceiverAcks(benchmark::State& state) {
    CountingHandler handler;
    ClientReportReceiver receiver(handler);
    KeyField key = MakeKeyField("bench-key");
    receiver.Start(0, key);
    std::uint16_t port = 0;
    if (receiver.WaitForSetup(std::chrono::seconds(5), port) != ClientReportReceiver::SetupState::Listening) {
        state.SkipWithError("receiver did not start");
        return;
    }
    std::vector<std::uint8_t> report;
    BuildClientReport(ReportKind::Logon, "ann", "dc=corp,dc=example,dc=com", "PC01", key, report);
    platform::UdpSocket sender = OpenSender();
    for (auto _ : state) {
        if (!Burst(sender, port, report)) {
            state.SkipWithError("an acknowledgement went missing");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    receiver.Stop();
}
BENCHMARK(BM_ClientReportReceiverAcks)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareRecvfromSendtoLoop(benchmark::State& state) {
    platform::UdpReceiver socket;
    int err = 0;
    platform::Ipv4Endpoint local;
    if (!socket.Open(err) || !socket.SetWakeInterval(100, err) || !socket.BindAny(0, err) ||
        !socket.LocalEndpoint(local, err)) {
        state.SkipWithError("cannot open the bare socket");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        std::uint8_t buffer[kReportReceiveBuffer];
        while (!stop.load(std::memory_order_relaxed)) {
            std::size_t n = 0;
            platform::Ipv4Endpoint from;
            int e = 0;
            if (socket.Receive(buffer, sizeof buffer, n, from, e) != platform::ReceiveStatus::Received) continue;
            socket.SendTo(kReportAck, kReportAckLength, from, e);
        }
    });
    std::vector<std::uint8_t> report;
    BuildClientReport(ReportKind::Logon, "ann", "dc=corp,dc=example,dc=com", "PC01", MakeKeyField("bench-key"), report);
    platform::UdpSocket sender = OpenSender();
    for (auto _ : state) {
        if (!Burst(sender, local.port, report)) {
            state.SkipWithError("an acknowledgement went missing");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    stop = true;
    echo.join();
}
BENCHMARK(BM_BareRecvfromSendtoLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orvane
