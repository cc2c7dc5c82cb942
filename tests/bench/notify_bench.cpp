// Costs of the gateway notification paths against the size of the online-user table:
// a confirmation must not grow with the table, and a retransmission pass with nothing due
// must stay far below its 200 ms period at 100,000 records. Also what a live snapshot costs.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/gateway_message.h"
#include "common/log.h"
#include "platform/clock.h"
#include "worker/gateway/notification_sender.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

constexpr unsigned kGateways = 2;

WorkerSettings BenchSettings(int encryptType) {
    WorkerSettings s;
    s.encryptType = static_cast<std::uint16_t>(encryptType);
    s.encodeType = 1;
    s.retranTimes = 3;
    s.messageTimeout = 5;
    s.firewallNum = kGateways;
    s.deviceKey = MakeKeyField("bench-key");
    for (unsigned i = 0; i < kGateways; ++i) {
        s.gateways[i].ip = "127.0.0." + std::to_string(i + 1);
        s.gateways[i].port = 9;  // never used: EncryptType 2 sends nothing
    }
    return s;
}

// A table of `records` online users, each notified to every gateway (numbers 1 .. 2n, no
// datagram leaves because EncryptType 2 has no cipher).
struct Fixture {
    explicit Fixture(std::size_t records) : notifier(BenchSettings(2), table) {
        SetLogSink(nullptr);
        std::lock_guard<std::mutex> lock(table.Mutex());
        for (std::size_t i = 0; i < records; ++i) {
            auto r = std::make_unique<OnlineUserRecord>();
            r->SetUserName("user" + std::to_string(i));
            r->SetDomain("corp");
            r->SetAddress("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                          std::to_string(i % 256));
            r->state = kUserOnline;
            notifier.NotifyAllGateways(table.Add(std::move(r)));
        }
    }
    OnlineUserTable table;
    GatewayNotifier notifier;
};

// Numbers in random order over the whole table: the worst case for memory locality.
std::vector<std::uint32_t> RandomNumbers(std::uint32_t count) {
    std::vector<std::uint32_t> v(1 << 16);
    std::mt19937 rng(7);
    for (auto& n : v) n = 1 + rng() % count;
    return v;
}

// Gateways answer in the order the notifications left: numbers in send order, round the table.
void BM_ConfirmSequence(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    const std::uint32_t last = f.notifier.LastSequence();
    std::uint32_t n = 0;
    for (auto _ : state) {
        n = n == last ? 1 : n + 1;
        std::lock_guard<std::mutex> lock(f.table.Mutex());
        benchmark::DoNotOptimize(f.table.ConfirmSequence(n, kGateways));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfirmSequence)->Arg(1000)->Arg(100000);

// Answers to numbers picked at random over the whole table: what remains is cache misses.
void BM_ConfirmSequenceRandomOrder(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    auto numbers = RandomNumbers(f.notifier.LastSequence());
    std::size_t i = 0;
    for (auto _ : state) {
        std::lock_guard<std::mutex> lock(f.table.Mutex());
        benchmark::DoNotOptimize(f.table.ConfirmSequence(numbers[i++ & 0xFFFF], kGateways));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfirmSequenceRandomOrder)->Arg(1000)->Arg(100000);

// The whole path of one received "login OK" (decryption, address matching, confirmation),
// for numbers picked at random.
void BM_HandleResponse(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    const std::uint32_t last = f.notifier.LastSequence();
    auto numbers = RandomNumbers(last);
    const KeyField key = MakeKeyField("bench-key");
    std::vector<std::vector<std::uint8_t>> responses;
    for (std::size_t k = 0; k < 1024; ++k) {
        std::uint8_t plain[kGatewayBufferSize] = {};
        std::size_t n = BuildGatewayResponse(numbers[k], "login OK", plain);
        std::vector<std::uint8_t> d;
        SealDatagram(kEncryptGeneral, key, plain, n, d);
        responses.push_back(std::move(d));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& d = responses[i++ & 1023];
        f.notifier.HandleResponse(d.data(), d.size(), 0x7F000001);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleResponse)->Arg(1000)->Arg(100000);

// A pass over the table when every position waits but none is due yet.
void BM_RetranPassNothingDue(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    const std::int64_t now = platform::GetClock().Now();
    for (auto _ : state) f.notifier.RetranPass(now);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RetranPassNothingDue)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The live snapshot holds the user-table lock only while it copies the records: this is how long
// the report road can be kept waiting by one status request.
void BM_CopyOnlineUsers(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    std::vector<SnapshotUser> users;
    for (auto _ : state) {
        CopyOnlineUsers(f.table, kGateways, 3, users);
        benchmark::DoNotOptimize(users.data());
    }
}
BENCHMARK(BM_CopyOnlineUsers)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A whole status answer (copy and JSON), made on the status thread outside every lock.
void BM_SnapshotJson(benchmark::State& state) {
    Fixture f(static_cast<std::size_t>(state.range(0)));
    WorkerSettings s = BenchSettings(2);
    for (auto _ : state) {
        std::string text = SnapshotToJson(TakeWorkerSnapshot(s, f.table, Statistics(), 0, 0));
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_SnapshotJson)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvane
