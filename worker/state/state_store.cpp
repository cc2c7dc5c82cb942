#include "worker/state/state_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "platform/clock.h"

namespace orvane {
namespace {

// Each step takes the store from version i to i + 1 (index i); version 0 is an empty file.
const char* const kMigrations[] = {
    "CREATE TABLE online_users ("
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
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == StateStore::kSchemaVersion);

constexpr char kQueryTimeName[] = "last_query_time";

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
    for (char c : user) key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
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

}  // namespace

StateStore::StateStore() = default;

StateStore::~StateStore() { Close(); }

void StateStore::Close() {
    for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
    prepared_.clear();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void StateStore::Checkpoint() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    if (!db_) return;
    if (!backgroundCheckpoints_) {
        // From now on a commit only appends to the log; the default 1,000 pages would have the
        // receiver copy and flush the log every few hundred receives.
        sqlite3_wal_autocheckpoint(db_, kBackgroundCheckpointPages);
        backgroundCheckpoints_ = true;
    }
    int logPages = 0, moved = 0;
    const int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &moved);
    if (rc != SQLITE_OK)
        ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).", path_.c_str(),
                           sqlite3_errmsg(db_));
}

void StateStore::Release() {
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
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        return OpenResult::Unavailable;
    }
    sqlite3_busy_timeout(db_, 2000);
    sqlite3_extended_result_codes(db_, 1);
    // One worker owns its store: held locked from now on, so no transaction pays for file locks
    // (and the write-ahead log's index lives in memory, not in a shared file). Another process
    // on the same store finds it busy and is not allowed to take it for damaged.
    if (!Exec("PRAGMA locking_mode=EXCLUSIVE", why)) return OpenResult::Unavailable;
    // Small pages: a commit writes each page it touched in full, and a transaction here touches
    // a few rows of about 200 bytes. Takes effect only in a new store.
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
    if (version < kSchemaVersion) {
        if (!Exec("BEGIN IMMEDIATE", why)) return OpenResult::Unavailable;
        for (int v = version; v < kSchemaVersion; ++v) {
            if (!Exec(kMigrations[v], why)) {
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
                              "SELECT id, datagram, address, port, received FROM pending_reports LIMIT 0",
                              "SELECT digest, logoff, expires FROM replay_digests LIMIT 0",
                              "SELECT name, value FROM settings LIMIT 0"}) {
        Statement s(db_, probe);
        if (!s) {
            why = sqlite3_errmsg(db_);
            return OpenResult::Damaged;
        }
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
    Statement s(db_, "SELECT id, datagram, address, port, received FROM pending_reports ORDER BY id");
    if (!s) return out;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        StoredReport r;
        r.id = sqlite3_column_int64(s.s, 0);
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s.s, 1));
        r.datagram.assign(p, p + sqlite3_column_bytes(s.s, 1));
        r.address = static_cast<std::uint32_t>(sqlite3_column_int64(s.s, 2));
        r.port = static_cast<std::uint16_t>(sqlite3_column_int(s.s, 3));
        r.received = sqlite3_column_int64(s.s, 4);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<StoredDigest> StateStore::LoadDigests() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<StoredDigest> out;
    Statement s(db_, "SELECT digest, logoff, expires FROM replay_digests ORDER BY expires");
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

void StateStore::ForgetReport(std::int64_t id) {
    if (id <= 0) return;
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.decided.push_back(id);
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

bool StateStore::Commit(std::vector<StoredReport>* reports, std::int64_t now) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    if (!db_) {
        std::lock_guard<std::mutex> q(queueMutex_);
        queued_ = Queued{};
        return false;
    }
    std::string why;
    if (WriteQueued(reports, now, why)) return true;
    std::string ignored;
    Exec("ROLLBACK", ignored);
    if (reports)
        for (StoredReport& r : *reports) r.id = 0;
    ORVANE_LOG_LIMITED(writeFailures_, LogError, "[ERR]Writing the state store %s failed (%s).", path_.c_str(),
                       why.c_str());
    return false;
}

bool StateStore::WriteQueued(std::vector<StoredReport>* reports, std::int64_t now, std::string& why) {
    Queued work;
    {
        std::lock_guard<std::mutex> q(queueMutex_);
        std::swap(work, queued_);
    }
    const bool hasReports = reports && !reports->empty();
    if (work.Empty() && !hasReports) return true;
    if (!Exec("BEGIN IMMEDIATE", why)) return false;
    auto failed = [&] {
        why = sqlite3_errmsg(db_);
        return false;
    };
    if (hasReports) {
        Statement s(Prepared("INSERT INTO pending_reports (datagram, address, port, received) VALUES (?1, ?2, ?3, ?4)"));
        if (!s) return failed();
        for (StoredReport& r : *reports) {
            s.Blob(1, r.datagram.data(), r.datagram.size());
            s.Int(2, r.address);
            s.Int(3, r.port);
            s.Int(4, r.received);
            if (!s.Run()) return failed();
            r.id = sqlite3_last_insert_rowid(db_);
        }
    }
    if (!work.decided.empty()) {
        Statement s(Prepared("DELETE FROM pending_reports WHERE id = ?1"));
        if (!s) return failed();
        for (std::int64_t id : work.decided) {
            s.Int(1, id);
            if (!s.Run()) return failed();
        }
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
        Statement s(Prepared("INSERT OR REPLACE INTO replay_digests (digest, logoff, expires) VALUES (?1, ?2, ?3)"));
        if (!s) return failed();
        for (const StoredDigest& d : work.digests) {
            s.Blob(1, d.bytes.data(), d.bytes.size());
            s.Int(2, d.logoff ? 1 : 0);
            s.Int(3, d.expires);
            if (!s.Run()) return failed();
        }
        Statement expire(Prepared("DELETE FROM replay_digests WHERE expires <= ?1"));
        if (!expire) return failed();
        expire.Int(1, now);
        if (!expire.Run()) return failed();
    }
    if (work.queryTime) {
        Statement s(Prepared("INSERT OR REPLACE INTO settings (name, value) VALUES (?1, ?2)"));
        if (!s) return failed();
        s.Text(1, kQueryTimeName);
        s.Text(2, *work.queryTime);
        if (!s.Run()) return failed();
    }
    return Exec("COMMIT", why);
}

}  // namespace orvane
