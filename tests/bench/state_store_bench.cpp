// What the state store costs: a receive burst written before its acknowledgements, and a large
// online-user table written, then taken back at the next start (store size and memory stated).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "worker/startup/worker_state.h"
#include "worker/state/state_store.h"
#include "worker/users/online_users.h"

namespace orvane {
namespace {

struct TempFolder {
    std::string path;
    TempFolder() {
        char name[] = "/tmp/orvane-store-bench-XXXXXX";
        if (::mkdtemp(name)) path = name;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Resident set of this process, in KiB (VmRSS of /proc/self/status).
double ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    double value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 10, '\n');
    }
    return 0;
}

double FileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
}

// One burst of `range(0)` report-sized datagrams written before their acknowledgements, and the
// previous burst's reports forgotten as decided: the receiver's steady state.
void BM_ReceiveBurst(benchmark::State& state) {
    TempFolder folder;
    StateStore store;
    if (!store.Open(folder.path, "bench.db")) {
        state.SkipWithError("no store");
        return;
    }
    const auto burst = static_cast<std::size_t>(state.range(0));
    std::vector<StoredReport> reports(burst);
    for (std::size_t i = 0; i < burst; ++i) {
        reports[i].datagram.assign(160, static_cast<std::uint8_t>(i));
        reports[i].address = 0x0a000001u + static_cast<std::uint32_t>(i);
        reports[i].port = 40000;
    }
    std::int64_t now = 1'800'000'000;
    for (auto _ : state) {
        for (const StoredReport& r : reports) {
            if (r.id != 0) store.ForgetReportsThrough(r.id);
        }
        for (StoredReport& r : reports) r.received = now;
        store.Commit(&reports);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(burst));
}
BENCHMARK(BM_ReceiveBurst)->Arg(1)->Arg(16)->Arg(64);

// Writes `users` online users through the table's observer, as decisions do.
bool WriteOnlineUsers(const std::string& folder, std::size_t users) {
    StateStore store;
    if (!store.Open(folder, "bench.db")) return false;
    {
        OnlineUserTable table;
        OnlineUsersInStore observer(store);
        table.SetObserver(&observer);
        std::lock_guard<std::mutex> lock(table.Mutex());
        for (std::size_t i = 0; i < users; ++i) {
            auto record = std::make_unique<OnlineUserRecord>();
            record->state = kUserOnline;
            record->computer = "PC" + std::to_string(i);
            record->organisation[0] = "OU=Sales,DC=corp,DC=example,DC=com";
            record->lastLogonTime = 133'000'000'000'000'000;
            record->stateSince = 1'800'000'000;
            record->SetUserName("user" + std::to_string(i));
            record->SetDomain("dc=corp,dc=example,dc=com");
            record->SetAddress("10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                               std::to_string(i & 255));
            table.Changed(table.Add(std::move(record)));
        }
    }
    return store.Commit();
}

// `range(0)` online users written by one process, then taken back into a new table as a
// restarted worker does. Counters: the store's size, the resident set of the restoring process
// and what the restored table added to it.
void BM_RestoreOnlineUsers(benchmark::State& state) {
    const auto users = static_cast<std::size_t>(state.range(0));
    TempFolder folder;
    // Written by a child, so the writer's heap does not count in this process's resident set.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(WriteOnlineUsers(folder.path, users) ? 0 : 1);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError("the store was not written");
        return;
    }
    const std::string path = folder.path + "/bench.db";
    const double before = ResidentKiB();
    std::size_t restored = 0;
    std::unique_ptr<OnlineUserTable> table;
    for (auto _ : state) {
        state.PauseTiming();
        table = std::make_unique<OnlineUserTable>();
        state.ResumeTiming();
        StateStore store;
        store.Open(folder.path, "bench.db");
        restored = RestoreOnlineUsers(store, *table, 0, 1'800'000'100);
    }
    if (restored != users) state.SkipWithError("not every user came back");
    state.counters["store_MiB"] = (FileBytes(path) + FileBytes(path + "-wal")) / (1024.0 * 1024.0);
    state.counters["rss_MiB"] = ResidentKiB() / 1024.0;
    state.counters["rss_growth_MiB"] = (ResidentKiB() - before) / 1024.0;
}
BENCHMARK(BM_RestoreOnlineUsers)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace orvane
