#include "worker/state/state_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"

namespace orvane {
namespace {

// Each step takes the store from version i to i + 1 (index i); version 0 is an empty file.
// A step's `then` runs after its text, in the same transaction.
bool BurstsFromReports(sqlite3* db, std::string& why);
struct Migration {
    const char* sql;
    bool (*then)(sqlite3*, std::string&);
};
const Migration kMigrations[] = {
    {"CREATE TABLE online_users ("
     " user TEXT NOT NULL COLLATE NOCASE, domain TEXT NOT NULL, address TEXT NOT NULL,"
     " computer TEXT NOT NULL, ad_path TEXT NOT NULL, logon_time INTEGER NOT NULL,"
     " state INTEGER NOT NULL, since INTEGER NOT NULL, PRIMARY KEY (user, domain, address)) WITHOUT ROWID;"
     "CREATE TABLE pending_reports ("
     " id INTEGER PRIMARY KEY, datagram BLOB NOT NULL, address INTEGER NOT NULL, port INTEGER NOT NULL,"
     " received INTEGER NOT NULL);"
     "CREATE TABLE replay_digests (digest BLOB PRIMARY KEY, logoff INTEGER NOT NULL, expires INTEGER NOT NULL)"
     " WITHOUT ROWID;"
     "CREATE INDEX replay_digests_expiry ON replay_digests (expires);"
     "CREATE TABLE settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);",
     nullptr},
    // A row per receive burst: a burst of 16 reports costs one write, not 16. The rows form a
    // ring of kPendingSlots slots, each overwritten in place once its reports are long decided:
    // deleting rows (and freeing their pages) cost more than writing them. One row of `decided`:
    // every report up to this id is decided (updated in place, one page a decision).
    {"CREATE TABLE pending_bursts (slot INTEGER PRIMARY KEY, seq INTEGER NOT NULL, received INTEGER NOT NULL,"
     " reports BLOB NOT NULL);"
     "CREATE TABLE decided (through INTEGER NOT NULL);"
     "INSERT INTO decided VALUES (0);"
     // Digests kept in expiry order: a new one is written where the last went, not on a page
     // of its own, and none needs an index. Never looked up here (the worker holds them).
     "CREATE TABLE replay_expiry (expires INTEGER NOT NULL, digest BLOB NOT NULL, logoff INTEGER NOT NULL,"
     " PRIMARY KEY (expires, digest)) WITHOUT ROWID;"
     "INSERT INTO replay_expiry SELECT expires, digest, logoff FROM replay_digests;"
     "DROP TABLE replay_digests;",
     BurstsFromReports},
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == StateStore::kSchemaVersion);

constexpr char kQueryTimeName[] = "last_query_time";

// A burst's row: per report the sender's address (4 bytes) and port (2), the datagram's
// length (2), then the datagram; little-endian.
constexpr std::size_t kBurstEntryHeader = 8;
// A row stays within its page: a row that spills onto overflow pages costs reading them all
// again when it is deleted.
constexpr std::size_t kBurstRowBytes = 950;

void AppendBurstEntry(std::vector<std::uint8_t>& out, const StoredReport& r) {
    const std::size_t n = r.datagram.size();
    const std::uint8_t head[kBurstEntryHeader] = {
        static_cast<std::uint8_t>(r.address), static_cast<std::uint8_t>(r.address >> 8),
        static_cast<std::uint8_t>(r.address >> 16), static_cast<std::uint8_t>(r.address >> 24),
        static_cast<std::uint8_t>(r.port), static_cast<std::uint8_t>(r.port >> 8),
        static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
    out.insert(out.end(), head, head + kBurstEntryHeader);
    out.insert(out.end(), r.datagram.begin(), r.datagram.end());
}

// The burst's reports after `decidedThrough`; false when the row does not parse (the reports
// parsed before the fault are kept).
bool ReadBurst(std::int64_t burst, std::int64_t received, const std::uint8_t* p, std::size_t size,
               std::int64_t decidedThrough, std::vector<StoredReport>& out) {
    std::size_t at = 0;
    for (std::int64_t i = 0; at < size; ++i) {
        if (size - at < kBurstEntryHeader || i >= StateStore::kBurstIds) return false;
        const std::uint8_t* h = p + at;
        const std::size_t n = static_cast<std::size_t>(h[6]) | static_cast<std::size_t>(h[7]) << 8;
        if (size - at - kBurstEntryHeader < n) return false;
        const std::int64_t id = burst * StateStore::kBurstIds + i;
        if (id > decidedThrough) {
            StoredReport r;
            r.id = id;
            r.address = static_cast<std::uint32_t>(h[0]) | static_cast<std::uint32_t>(h[1]) << 8 |
                        static_cast<std::uint32_t>(h[2]) << 16 | static_cast<std::uint32_t>(h[3]) << 24;
            r.port = static_cast<std::uint16_t>(h[4] | h[5] << 8);
            r.received = received;
            r.datagram.assign(h + kBurstEntryHeader, h + kBurstEntryHeader + n);
            out.push_back(std::move(r));
        }
        at += kBurstEntryHeader + n;
    }
    return true;
}

struct Statement {
    sqlite3_stmt* s = nullptr;
    bool owned = true;
    Statement(sqlite3* db, const char* sql) {
        if (db) sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    }
    // One of the store's prepared statements, left ready for its next use.
    explicit Statement(sqlite3_stmt* cached) : s(cached), owned(false) {}
    ~Statement() {
        if (owned) {
            sqlite3_finalize(s);
        } else if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return s != nullptr; }
    void Text(int i, std::string_view v) { sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void Int(int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }
    void Blob(int i, const void* p, std::size_t n) { sqlite3_bind_blob(s, i, p, static_cast<int>(n), SQLITE_TRANSIENT); }
    // Runs a statement that returns no rows and makes it ready for the next bindings.
    bool Run() {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return rc == SQLITE_DONE;
    }
    std::string ColumnText(int i) {
        const auto* p = sqlite3_column_text(s, i);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                 : std::string();
    }
};

std::string IdentityOf(std::string_view user, std::string_view domain, std::string_view address) {
    std::string key;
    AppendLowerAscii(key, user);
    key.push_back('\0');
    key.append(domain);
    key.push_back('\0');
    key.append(address);
    return key;
}

// 0, or why the folder is not to be trusted with state root reads back: it must be a real
// folder (not a symlink) of root's or the caller's that nobody else may write to.
int FolderProblem(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    const int rc = ::fstat(fd, &st);
    const int err = errno;
    ::close(fd);
    if (rc != 0) return err;
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & 022) != 0) return EPERM;
    return 0;
}

// Creates the file 0600 without following a symlink and closes it wider permissions; sqlite
// then opens what is there (also with no symlink followed).
int PrepareFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = EINVAL;
    } else if (st.st_uid != ::geteuid()) {
        err = EPERM;
    } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
        err = errno;
    }
    ::close(fd);
    return err;
}

bool BurstsFromReports(sqlite3* db, std::string& why) {
    Statement read(db, "SELECT datagram, address, port, received FROM pending_reports ORDER BY id");
    Statement write(db, "INSERT INTO pending_bursts (slot, seq, received, reports) VALUES (?1, ?2, ?3, ?4)");
    if (!read || !write) {
        why = sqlite3_errmsg(db);
        return false;
    }
    std::vector<std::uint8_t> row;
    std::int64_t seq = 0;
    int rc;
    while ((rc = sqlite3_step(read.s)) == SQLITE_ROW) {
        StoredReport r;
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(read.s, 0));
        r.datagram.assign(p, p + sqlite3_column_bytes(read.s, 0));
        r.address = static_cast<std::uint32_t>(sqlite3_column_int64(read.s, 1));
        r.port = static_cast<std::uint16_t>(sqlite3_column_int(read.s, 2));
        if (r.datagram.size() > 0xffff) continue;  // never a report
        row.clear();
        AppendBurstEntry(row, r);
        ++seq;  // fewer reports than slots: a first version held at most a queue's worth
        write.Int(1, seq % StateStore::kPendingSlots);
        write.Int(2, seq);
        write.Int(3, sqlite3_column_int64(read.s, 3));
        write.Blob(4, row.data(), row.size());
        if (!write.Run()) {
            why = sqlite3_errmsg(db);
            return false;
        }
    }
    if (rc != SQLITE_DONE || sqlite3_exec(db, "DROP TABLE pending_reports", nullptr, nullptr, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

}  // namespace

StateStore::StateStore() = default;

StateStore::~StateStore() { Close(); }

void StateStore::Close() {
    for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
    prepared_.clear();
    if (checkpointDb_) sqlite3_close_v2(checkpointDb_);
    checkpointDb_ = nullptr;
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

void StateStore::Checkpoint() {
    std::lock_guard<std::mutex> checkpointing(checkpointMutex_);
    {
        std::lock_guard<std::mutex> lock(dbMutex_);
        if (!db_) return;
        if (!checkpointDb_) {
            // From now on a commit only appends to the log; the default 1,000 pages would have
            // the receiver copy and flush the log every few hundred receives.
            sqlite3_wal_autocheckpoint(db_, kBackgroundCheckpointPages);
            // A connection of its own: the copy and its flushes run beside the receiver's
            // writes instead of holding them up.
            if (sqlite3_open_v2(path_.c_str(), &checkpointDb_,
                                SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                                nullptr) != SQLITE_OK) {
                ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).",
                                   path_.c_str(), checkpointDb_ ? sqlite3_errmsg(checkpointDb_) : "out of memory");
                sqlite3_close_v2(checkpointDb_);
                checkpointDb_ = nullptr;
                return;
            }
            // Reads the header, so the connection knows the log is there (a checkpoint of a
            // connection that has read nothing does nothing).
            sqlite3_exec(checkpointDb_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        }
    }
    int logPages = 0, moved = 0;
    const int rc = sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &moved);
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY)
        ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).", path_.c_str(),
                           sqlite3_errmsg(checkpointDb_));
}

void StateStore::Release() {
    std::lock_guard<std::mutex> checkpointing(checkpointMutex_);
    std::lock_guard<std::mutex> lock(dbMutex_);
    Close();
}

sqlite3_stmt* StateStore::Prepared(const char* sql) {
    // The writes run for every receive: prepared once, not per transaction.
    auto it = prepared_.find(sql);
    if (it != prepared_.end()) return it->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) return nullptr;
    prepared_.emplace(sql, statement);
    return statement;
}

bool StateStore::Exec(const char* sql, std::string& why) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    why = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool StateStore::Open(const std::string& folder, const std::string& fileName) {
    std::lock_guard<std::mutex> checkpointing(checkpointMutex_);
    std::lock_guard<std::mutex> lock(dbMutex_);
    Close();
    folder_ = folder;
    fileName_ = fileName;
    path_ = folder + "/" + fileName;
    if (int problem = FolderProblem(folder)) {
        LogError("[ERR]The state folder %s cannot be used (%s): the worker keeps its state in memory only.",
                 folder.c_str(), std::strerror(problem));
        return false;
    }
    std::string why;
    // A second attempt follows setting a damaged store aside; a fresh file that fails too is
    // a problem of the machine, not of the file.
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (TryOpen(why)) {
            case OpenResult::Opened:
                return true;
            case OpenResult::Unavailable:
                attempt = 2;
                break;
            case OpenResult::Damaged:
                Close();
                if (attempt == 0 && SetAside(why)) continue;
                attempt = 2;
                break;
        }
    }
    Close();
    LogError("[ERR]The state store %s cannot be opened (%s): the worker keeps its state in memory only.",
             path_.c_str(), why.c_str());
    return false;
}

StateStore::OpenResult StateStore::TryOpen(std::string& why) {
    if (int err = PrepareFile(path_)) {
        why = std::strerror(err);
        // A symlink or something else that is not a file of ours in our private folder is set
        // aside like a damaged store; anything else (no space, no permission) is not the file's fault.
        return err == ELOOP || err == EINVAL || err == EPERM ? OpenResult::Damaged : OpenResult::Unavailable;
    }
    // One worker owns its store: a lock held on the file for the store's life, so another
    // process finds it in use and is not allowed to take it for damaged. (A lock of flock's kind,
    // which leaves the database's own locks alone.)
    lockFd_ = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        why = errno == EWOULDBLOCK ? "in use by another process" : std::strerror(errno);
        return OpenResult::Unavailable;
    }
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        return OpenResult::Unavailable;
    }
    sqlite3_busy_timeout(db_, 2000);
    sqlite3_extended_result_codes(db_, 1);
    // 4 KiB pages: a receive burst's row fits on one (a row spilling onto more pages costs a
    // write for each and reading them all again when it is deleted). Only a new store.
    if (!Exec("PRAGMA page_size=1024", why)) return OpenResult::Unavailable;
    {
        const int rc = sqlite3_exec(db_, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr);
        if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
            why = "in use by another process";
            return OpenResult::Unavailable;
        }
        if (rc != SQLITE_OK) {
            why = sqlite3_errmsg(db_);
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return OpenResult::Damaged;
        }
    }
    // Reading the header is where random bytes show; quick_check finds a truncated or torn file.
    {
        Statement check(db_, "PRAGMA quick_check");
        if (!check) {
            why = sqlite3_errmsg(db_);
            return OpenResult::Damaged;
        }
        const int rc = sqlite3_step(check.s);
        if (rc != SQLITE_ROW || check.ColumnText(0) != "ok") {
            why = rc == SQLITE_ROW ? "integrity check: " + check.ColumnText(0) : std::string(sqlite3_errmsg(db_));
            return OpenResult::Damaged;
        }
    }
    int version = -1;
    {
        Statement v(db_, "PRAGMA user_version");
        if (!v || sqlite3_step(v.s) != SQLITE_ROW) {
            why = sqlite3_errmsg(db_);
            return OpenResult::Damaged;
        }
        version = sqlite3_column_int(v.s, 0);
    }
    if (version < 0 || version > kSchemaVersion) {
        why = "schema version " + std::to_string(version) + ", this program knows up to " +
              std::to_string(kSchemaVersion);
        return OpenResult::Damaged;
    }
    // WAL with synchronous=NORMAL: a commit is a write to the log, no flush; a killed process
    // loses nothing committed, a power loss at most the last commits.
    {
        Statement wal(db_, "PRAGMA journal_mode=WAL");
        if (!wal || sqlite3_step(wal.s) != SQLITE_ROW || wal.ColumnText(0) != "wal") {
            why = "cannot use a write-ahead log: " + std::string(sqlite3_errmsg(db_));
            return OpenResult::Unavailable;
        }
    }
    if (!Exec("PRAGMA synchronous=NORMAL", why)) return OpenResult::Unavailable;
    // Room for a second of receive bursts: the flush thread's deletions then never write
    // pages out before their commit.
    if (!Exec("PRAGMA cache_size=-16384", why)) return OpenResult::Unavailable;
    if (version < kSchemaVersion) {
        if (!Exec("BEGIN IMMEDIATE", why)) return OpenResult::Unavailable;
        for (int v = version; v < kSchemaVersion; ++v) {
            if (!Exec(kMigrations[v].sql, why) || (kMigrations[v].then && !kMigrations[v].then(db_, why))) {
                std::string ignored;
                Exec("ROLLBACK", ignored);
                return OpenResult::Damaged;
            }
        }
        const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
        if (!Exec(setVersion.c_str(), why) || !Exec("COMMIT", why)) {
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return OpenResult::Unavailable;
        }
        if (version > 0) LogInfo("[INF]State store %s moved from schema version %d to %d.", path_.c_str(), version,
                                 kSchemaVersion);
    }
    // A file that claims our version but lacks our tables is another program's.
    for (const char* probe : {"SELECT user, domain, address, computer, ad_path, logon_time, state, since FROM "
                              "online_users LIMIT 0",
                              "SELECT slot, seq, received, reports FROM pending_bursts LIMIT 0",
                              "SELECT through FROM decided LIMIT 0",
                              "SELECT digest, logoff, expires FROM replay_expiry LIMIT 0",
                              "SELECT name, value FROM settings LIMIT 0"}) {
        Statement s(db_, probe);
        if (!s) {
            why = sqlite3_errmsg(db_);
            return OpenResult::Damaged;
        }
    }
    {
        Statement d(db_, "SELECT through FROM decided");
        if (!d || sqlite3_step(d.s) != SQLITE_ROW) {
            why = d ? "no decided mark" : sqlite3_errmsg(db_);
            return OpenResult::Damaged;
        }
        decidedThrough_ = sqlite3_column_int64(d.s, 0);
        Statement last(db_, "SELECT max(seq) FROM pending_bursts");
        lastBurst_ = last && sqlite3_step(last.s) == SQLITE_ROW ? sqlite3_column_int64(last.s, 0) : 0;
    }
    return OpenResult::Opened;
}

bool StateStore::SetAside(const std::string& why) {
    char stamp[32] = "unknown";
    const std::time_t now = static_cast<std::time_t>(platform::GetClock().Now());
    struct tm tmv {};
    if (gmtime_r(&now, &tmv)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmv);
    std::string aside = path_ + ".damaged-" + stamp;
    for (int n = 1; ::access(aside.c_str(), F_OK) == 0 && n < 100; ++n)
        aside = path_ + ".damaged-" + stamp + "-" + std::to_string(n);
    if (::rename(path_.c_str(), aside.c_str()) != 0) {
        const int err = errno;
        LogError("[ERR]The state store %s cannot be used (%s) and cannot be set aside (%s).", path_.c_str(),
                 why.c_str(), std::strerror(err));
        return false;
    }
    // Its log belongs to it; the shared-memory index is rebuilt from nothing.
    ::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    ::unlink((path_ + "-shm").c_str());
    LogError("[ERR]The state store %s cannot be used (%s); set aside as %s, the worker starts empty.",
             path_.c_str(), why.c_str(), aside.c_str());
    return true;
}

std::vector<StoredOnlineUser> StateStore::LoadOnlineUsers() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<StoredOnlineUser> out;
    Statement s(db_, "SELECT user, domain, address, computer, ad_path, logon_time, state, since FROM online_users "
                     "ORDER BY since, user, domain, address");
    if (!s) return out;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        StoredOnlineUser u;
        u.user = s.ColumnText(0);
        u.domain = s.ColumnText(1);
        u.address = s.ColumnText(2);
        u.computer = s.ColumnText(3);
        u.adPath = s.ColumnText(4);
        u.logonTime = sqlite3_column_int64(s.s, 5);
        u.state = static_cast<std::uint8_t>(sqlite3_column_int(s.s, 6));
        u.since = sqlite3_column_int64(s.s, 7);
        out.push_back(std::move(u));
    }
    return out;
}

std::vector<StoredReport> StateStore::LoadPendingReports() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<StoredReport> out;
    Statement s(db_, "SELECT seq, received, reports FROM pending_bursts WHERE seq >= ?1 ORDER BY seq");
    if (!s) return out;
    s.Int(1, decidedThrough_ / kBurstIds);
    std::size_t unreadable = 0;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s.s, 2));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s.s, 2));
        if (!ReadBurst(sqlite3_column_int64(s.s, 0), sqlite3_column_int64(s.s, 1), p, size, decidedThrough_, out))
            ++unreadable;
    }
    if (unreadable != 0)
        LogError("[ERR]The state store %s holds %zu receive bursts that cannot be read: their reports are lost.",
                 path_.c_str(), unreadable);
    return out;
}

std::vector<StoredDigest> StateStore::LoadDigests() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<StoredDigest> out;
    Statement s(db_, "SELECT digest, logoff, expires FROM replay_expiry ORDER BY expires");
    if (!s) return out;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        StoredDigest d;
        if (sqlite3_column_bytes(s.s, 0) != static_cast<int>(d.bytes.size())) continue;
        std::memcpy(d.bytes.data(), sqlite3_column_blob(s.s, 0), d.bytes.size());
        d.logoff = sqlite3_column_int(s.s, 1) != 0;
        d.expires = sqlite3_column_int64(s.s, 2);
        out.push_back(d);
    }
    return out;
}

std::string StateStore::LoadQueryTime() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    Statement s(db_, "SELECT value FROM settings WHERE name = ?1");
    if (!s) return {};
    s.Text(1, kQueryTimeName);
    return sqlite3_step(s.s) == SQLITE_ROW ? s.ColumnText(0) : std::string();
}

void StateStore::SaveOnlineUser(const StoredOnlineUser& user) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.users[IdentityOf(user.user, user.domain, user.address)] = user;
}

void StateStore::ForgetOnlineUser(std::string_view user, std::string_view domain, std::string_view address) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    // A deletion is a record of state 0, which is never stored.
    StoredOnlineUser& slot = queued_.users[IdentityOf(user, domain, address)];
    slot = StoredOnlineUser{};
    slot.user = std::string(user);
    slot.domain = std::string(domain);
    slot.address = std::string(address);
}

void StateStore::ForgetReportsThrough(std::int64_t id) {
    if (id <= 0) return;
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (id > queued_.decidedThrough) queued_.decidedThrough = id;
}

void StateStore::SaveDigest(const StoredDigest& digest) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.digests.push_back(digest);
}

void StateStore::SaveQueryTime(std::string_view time) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.queryTime = std::string(time);
}

bool StateStore::HasQueuedChanges() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return !queued_.Empty();
}

bool StateStore::Commit(std::vector<StoredReport>* reports) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    if (!db_) {
        std::lock_guard<std::mutex> q(queueMutex_);
        queued_ = Queued{};
        return false;
    }
    std::string why;
    if (WriteQueued(reports, why)) return true;
    std::string ignored;
    Exec("ROLLBACK", ignored);
    if (reports)
        for (StoredReport& r : *reports) r.id = 0;
    ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).", path_.c_str(),
                       why.c_str());
    return false;
}

bool StateStore::Run(const char* sql, std::string& why) {
    Statement s(Prepared(sql));
    if (s && s.Run()) return true;
    why = sqlite3_errmsg(db_);
    return false;
}

bool StateStore::WriteQueued(std::vector<StoredReport>* reports, std::string& why) {
    Queued work;
    {
        std::lock_guard<std::mutex> q(queueMutex_);
        std::swap(work, queued_);
    }
    const bool hasReports = reports && !reports->empty();
    if (work.Empty() && !hasReports) return true;
    if (!Run("BEGIN IMMEDIATE", why)) return false;
    auto failed = [&] {
        why = sqlite3_errmsg(db_);
        return false;
    };
    // Each report's row (a burst may need more than one), to be given its id after the commit.
    rowOf_.clear();
    std::int64_t seq = lastBurst_;
    if (hasReports) {
        Statement s(Prepared("INSERT OR REPLACE INTO pending_bursts (slot, seq, received, reports) "
                             "VALUES (?1, ?2, ?3, ?4)"));
        if (!s) return failed();
        std::size_t first = 0;
        auto insert = [&](std::size_t end) {
            ++seq;
            s.Int(1, seq % kPendingSlots);
            s.Int(2, seq);
            s.Int(3, reports->front().received);
            sqlite3_bind_blob(s.s, 4, burst_.data(), static_cast<int>(burst_.size()), SQLITE_STATIC);
            if (!s.Run()) return false;
            rowOf_.insert(rowOf_.end(), end - first, seq);
            first = end;
            burst_.clear();
            return true;
        };
        burst_.clear();
        for (std::size_t i = 0; i < reports->size(); ++i) {
            const std::size_t entry = kBurstEntryHeader + (*reports)[i].datagram.size();
            if (!burst_.empty() && burst_.size() + entry > kBurstRowBytes && !insert(i)) return failed();
            AppendBurstEntry(burst_, (*reports)[i]);
        }
        if (!insert(reports->size())) return failed();
    }
    if (work.decidedThrough > decidedThrough_) {
        Statement s(Prepared("UPDATE decided SET through = ?1"));
        if (!s) return failed();
        s.Int(1, work.decidedThrough);
        if (!s.Run()) return failed();
    }
    if (!work.users.empty()) {
        Statement put(Prepared("INSERT OR REPLACE INTO online_users (user, domain, address, computer, ad_path, "
                           "logon_time, state, since) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
        Statement del(Prepared("DELETE FROM online_users WHERE user = ?1 AND domain = ?2 AND address = ?3"));
        if (!put || !del) return failed();
        for (const auto& [key, change] : work.users) {
            const StoredOnlineUser& u = change;
            Statement& s = u.state == 0 ? del : put;
            s.Text(1, u.user);
            s.Text(2, u.domain);
            s.Text(3, u.address);
            if (u.state != 0) {
                s.Text(4, u.computer);
                s.Text(5, u.adPath);
                s.Int(6, u.logonTime);
                s.Int(7, u.state);
                s.Int(8, u.since);
            }
            if (!s.Run()) return failed();
        }
    }
    if (!work.digests.empty()) {
        Statement s(Prepared("INSERT OR REPLACE INTO replay_expiry (digest, logoff, expires) VALUES (?1, ?2, ?3)"));
        if (!s) return failed();
        for (const StoredDigest& d : work.digests) {
            s.Blob(1, d.bytes.data(), d.bytes.size());
            s.Int(2, d.logoff ? 1 : 0);
            s.Int(3, d.expires);
            if (!s.Run()) return failed();
        }
    }
    if (work.queryTime) {
        Statement s(Prepared("INSERT OR REPLACE INTO settings (name, value) VALUES (?1, ?2)"));
        if (!s) return failed();
        s.Text(1, kQueryTimeName);
        s.Text(2, *work.queryTime);
        if (!s.Run()) return failed();
    }
    if (!Run("COMMIT", why)) return false;
    if (work.decidedThrough > decidedThrough_) decidedThrough_ = work.decidedThrough;
    lastBurst_ = seq;
    for (std::size_t i = 0, place = 0; i < rowOf_.size(); ++i) {
        place = i > 0 && rowOf_[i] == rowOf_[i - 1] ? place + 1 : 0;
        (*reports)[i].id = rowOf_[i] * kBurstIds + static_cast<std::int64_t>(place);
    }
    return true;
}

bool StateStore::Tidy(std::int64_t now) {
    // In slices, each a transaction of its own: the receiver waits for one slice at most.
    constexpr int kSlice = 64;
    for (int deleted = kSlice; deleted == kSlice;) {
        std::lock_guard<std::mutex> lock(dbMutex_);
        if (!db_) return false;
        {
            // Mostly nothing has expired since the last pass: a read says so without taking
            // the write lock the receiver needs.
            Statement due(Prepared("SELECT 1 FROM replay_expiry WHERE expires <= ?1 LIMIT 1"));
            if (due) due.Int(1, now);
            if (due && sqlite3_step(due.s) != SQLITE_ROW) return true;
        }
        std::string why;
        bool ok = Run("BEGIN IMMEDIATE", why);
        if (ok) {
            Statement s(Prepared("DELETE FROM replay_expiry WHERE (expires, digest) IN "
                                 "(SELECT expires, digest FROM replay_expiry WHERE expires <= ?1 LIMIT 64)"));
            if (s) s.Int(1, now);
            ok = s && s.Run();
            if (!ok) why = sqlite3_errmsg(db_);
            deleted = sqlite3_changes(db_);
            ok = ok && Run("COMMIT", why);
        }
        if (!ok) {
            std::string ignored;
            Exec("ROLLBACK", ignored);
            ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).",
                               path_.c_str(), why.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace orvane
