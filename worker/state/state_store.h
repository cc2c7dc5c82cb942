#pragma once
// The worker's state on disk: one SQLite database per worker (WAL, synchronous=NORMAL) holding
// what a restart must not forget: the online users, the reports acknowledged but not yet
// decided, the replay digests, and in log-query mode the last query time. Changes are queued in
// memory and written together by Commit, one transaction per receive burst, decided batch or
// poll, so no thread waits on the disk per datagram. A store that cannot be read is set aside
// and a new one begun: the worker never refuses to run over its state. A leaf: it knows nothing
// of the folders that use it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/log_repeat.h"
#include "common/state_files.h"

struct sqlite3;
struct sqlite3_stmt;

namespace orvane {

struct StoredOnlineUser {
    std::string user, domain, address, computer, adPath;
    std::int64_t logonTime = 0;  // the directory's last logon time
    std::uint8_t state = 0;
    std::int64_t since = 0;  // when the logon or logoff that set `state` was decided
};

struct StoredReport {
    // Arrival order, given by Commit: the burst row's seq times kBurstIds plus the place in it.
    std::int64_t id = 0;
    std::vector<std::uint8_t> datagram;
    std::uint32_t address = 0;  // sender, host byte order
    std::uint16_t port = 0;     // sender, host byte order
    std::int64_t received = 0;
};

struct StoredDigest {
    std::array<std::uint8_t, 16> bytes{};
    bool logoff = false;
    std::int64_t expires = 0;
};

class StateStore {
public:
    // Version 1: online_users, pending_reports (a row per report), replay_digests, settings.
    // Version 2: pending_bursts (a ring of rows, one per receive burst) and decided (the mark
    // of decided reports) in place of pending_reports; replay_expiry (in expiry order) in place of
    // replay_digests. A later version adds a step to the migrations in
    // state_store.cpp; a store newer than the program is set aside.
    static constexpr int kSchemaVersion = 2;
    static constexpr std::int64_t kBurstIds = 65536;  // more than any burst holds
    // Rows of receive bursts kept; a writer never has this many bursts undecided at once.
    static constexpr std::int64_t kPendingSlots = 8192;

    StateStore();
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Opens or creates `fileName` in `folder` (created 0700 when missing; refused when it is a
    // symlink, not root's or the caller's, or writable by others). A damaged store (not a
    // database, malformed, another schema) is renamed with a ".damaged-<time>" suffix, logged,
    // and a new one begun. False only when no store can be had (logged): the worker then keeps
    // its state in memory alone.
    bool Open(const std::string& folder, const std::string& fileName);
    bool IsOpen() const { return db_ != nullptr; }
    // Closes the store (and lets another process have it); later changes are dropped.
    void Release();
    const std::string& Path() const { return path_; }

    // What the last run left, read at start.
    std::vector<StoredOnlineUser> LoadOnlineUsers();
    std::vector<StoredReport> LoadPendingReports();
    std::vector<StoredDigest> LoadDigests();
    std::string LoadQueryTime();

    // Queued changes, written by the next Commit. Cheap: callers may hold their own locks.
    void SaveOnlineUser(const StoredOnlineUser& user);
    void ForgetOnlineUser(std::string_view user, std::string_view domain, std::string_view address);
    // Every report up to `id` is decided. Reports are decided in arrival order, so one mark
    // says it for all: no row is written or deleted per report.
    void ForgetReportsThrough(std::int64_t id);
    void SaveDigest(const StoredDigest& digest);
    void SaveQueryTime(std::string_view time);
    bool HasQueuedChanges() const;

    // Writes `reports` (one row for all, giving each its id) and every queued change in one
    // transaction. False when the write failed (logged, at most a line a minute); the queued
    // changes are then dropped, the reports keep id 0.
    bool Commit(std::vector<StoredReport>* reports = nullptr);
    // Deletes the digests expired by `now`: work no receive has to wait for, done by the flush
    // thread.
    bool Tidy(std::int64_t now);

    // Moves the write-ahead log into the database (the only step that waits for the disk), for
    // a thread other than the receiver's, on a connection of its own so commits go on meanwhile.
    // Once called, commits leave that work to it unless the log grows past
    // kBackgroundCheckpointPages.
    void Checkpoint();
    static constexpr int kBackgroundCheckpointPages = 20000;

private:
    enum class OpenResult { Opened, Damaged, Unavailable };
    OpenResult TryOpen(std::string& why);
    void Close();
    bool SetAside(const std::string& why);
    bool Exec(const char* sql, std::string& why);
    bool WriteQueued(std::vector<StoredReport>* reports, std::string& why);
    bool Run(const char* sql, std::string& why);
    sqlite3_stmt* Prepared(const char* sql);

    struct Queued {
        // Keyed by identity (user ignoring ASCII case, domain, address); state 0: delete.
        std::unordered_map<std::string, StoredOnlineUser> users;
        std::int64_t decidedThrough = 0;
        std::vector<StoredDigest> digests;
        std::optional<std::string> queryTime;
        bool Empty() const { return users.empty() && decidedThrough == 0 && digests.empty() && !queryTime; }
    };

    std::string folder_, fileName_, path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> prepared_;  // by the text's address (literals)
    sqlite3* checkpointDb_ = nullptr;  // the flush thread's, for checkpoints alone
    int lockFd_ = -1;                  // holds the store for this process
    std::mutex checkpointMutex_;       // checkpointDb_; taken before dbMutex_ when both are held
    std::mutex dbMutex_;  // the connection; taken before queueMutex_ when both are held
    mutable std::mutex queueMutex_;
    Queued queued_;
    std::int64_t decidedThrough_ = 0;  // as committed
    std::int64_t lastBurst_ = 0;       // the newest burst row's seq
    std::vector<std::uint8_t> burst_;  // a receive burst's row, reused
    std::vector<std::int64_t> rowOf_;
    LogRepeatLimiter writeFailures_;
};

}  // namespace orvane
