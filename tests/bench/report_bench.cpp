// Acknowledgements per second of the client-report receiver for a burst of 10,000 reports from
// one sender on loopback, against a bare recvfrom/sendto loop on another port: the receiver's
// own cost per datagram (a share of a batched receive and acknowledgement, one append) should
// keep it close to the bare loop although its processing thread decrypts every report meanwhile
// (copies of one report: after the first, each is opened, hashed and dropped as a repeat).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
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

// The bare loop: one thread, recvfrom and sendto, nothing else.
class BareAckLoop {
public:
    bool Start() {
        int err = 0;
        platform::Ipv4Endpoint local;
        if (!socket_.Open(err) || !socket_.SetWakeInterval(100, err) || !socket_.BindAny(0, err) ||
            !socket_.LocalEndpoint(local, err)) {
            return false;
        }
        port_ = local.port;
        thread_ = std::thread([this] {
            std::uint8_t buffer[kReportReceiveBuffer];
            while (!stop_.load(std::memory_order_relaxed)) {
                std::size_t n = 0;
                platform::Ipv4Endpoint from;
                int e = 0;
                if (socket_.Receive(buffer, sizeof buffer, n, from, e) != platform::ReceiveStatus::Received) continue;
                socket_.SendTo(kReportAck, kReportAckLength, from, e);
            }
        });
        return true;
    }
    ~BareAckLoop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::uint16_t Port() const { return port_; }

private:
    platform::UdpReceiver socket_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Each iteration sends one burst to the receiver and one to the bare loop, so both see the same
// machine at nearly the same moment; a shared VM's speed drifts too much between runs.
void BM_AcknowledgementPath(benchmark::State& state) {
    CountingHandler handler;
    ClientReportReceiver receiver(handler);
    KeyField key = MakeKeyField("bench-key");
    receiver.Start(0, key);
    std::uint16_t port = 0;
    BareAckLoop bare;
    if (receiver.WaitForSetup(std::chrono::seconds(5), port) != ClientReportReceiver::SetupState::Listening ||
        !bare.Start()) {
        state.SkipWithError("receiver did not start");
        return;
    }
    std::vector<std::uint8_t> report;
    BuildClientReport(ReportKind::Logon, "ann", "dc=corp,dc=example,dc=com", "PC01", key, report);
    platform::UdpSocket sender = OpenSender();
    using Clock = std::chrono::steady_clock;
    Clock::duration receiverTime{}, bareTime{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        bool ok = Burst(sender, port, report);
        auto t1 = Clock::now();
        ok = ok && Burst(sender, bare.Port(), report);
        auto t2 = Clock::now();
        if (!ok) {
            state.SkipWithError("an acknowledgement went missing");
            break;
        }
        receiverTime += t1 - t0;
        bareTime += t2 - t1;
    }
    const double n = static_cast<double>(state.iterations()) * kBurst;
    const double receiverRate = n / std::chrono::duration<double>(receiverTime).count();
    const double bareRate = n / std::chrono::duration<double>(bareTime).count();
    state.counters["receiver_acks_per_s"] = receiverRate;
    state.counters["bare_acks_per_s"] = bareRate;
    state.counters["ratio"] = receiverRate / bareRate;
    receiver.Stop();
}
BENCHMARK(BM_AcknowledgementPath)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3);

}  // namespace
}  // namespace orvane
