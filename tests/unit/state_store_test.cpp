#include "worker/state/state_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "test_util.h"

namespace orvane {
namespace {

using testing::ReadFile;
using testing::ScopedMemoryLog;
using testing::TempDir;
using testing::WriteFile;

constexpr char kFile[] = "state-reports.db";

StoredOnlineUser Ann() {
    StoredOnlineUser u;
    u.user = "Ann";
    u.domain = "corp";
    u.address = "10.0.0.5";
    u.computer = "PC01";
    u.adPath = "OU=Sales,DC=corp,DC=com";
    u.logonTime = 1700000000;
    u.state = 1;
    u.since = 1700000010;
    return u;
}

// A store with one user, one pending report and one digest, closed again.
void FillStore(const std::string& folder) {
    StateStore store;
    ASSERT_TRUE(store.Open(folder, kFile));
    store.SaveOnlineUser(Ann());
    StoredDigest d;
    d.bytes[0] = 7;
    d.expires = 1700001000;
    store.SaveDigest(d);
    store.SaveQueryTime("20261208203000.000000-000");
    std::vector<StoredReport> reports(1);
    reports[0].datagram = {1, 2, 3};
    reports[0].address = 0x0100007f;
    reports[0].port = 4000;
    ASSERT_TRUE(store.Commit(&reports));
    EXPECT_GT(reports[0].id, 0);
}

std::size_t SetAsideCount(const std::string& folder) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(std::string(kFile) + ".damaged-", 0) == 0 && name.find("-wal") == std::string::npos) ++n;
    }
    return n;
}

TEST(StateStoreTest, WhatIsCommittedIsThereAfterAReopenAndChangesReplaceOrDelete) {
    TempDir dir;
    FillStore(dir.path());
    StateStore store;
    ASSERT_TRUE(store.Open(dir.path(), kFile));
    auto users = store.LoadOnlineUsers();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].adPath, "OU=Sales,DC=corp,DC=com");
    EXPECT_EQ(users[0].since, 1700000010);
    auto reports = store.LoadPendingReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].datagram, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(reports[0].port, 4000);
    EXPECT_EQ(store.LoadDigests().size(), 1u);
    EXPECT_EQ(store.LoadQueryTime(), "20261208203000.000000-000");

    // The user name matches ignoring case: a logoff of "ann" replaces Ann's row, a forget removes it.
    StoredOnlineUser off = Ann();
    off.user = "ann";
    off.state = 2;
    store.SaveOnlineUser(off);
    store.ForgetReportsThrough(reports[0].id);
    ASSERT_TRUE(store.Commit());
    users = store.LoadOnlineUsers();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].state, 2);
    EXPECT_TRUE(store.LoadPendingReports().empty());
    store.ForgetOnlineUser("ANN", "corp", "10.0.0.5");
    // Tidying after the first digest's expiry deletes it, not the later one.
    StoredDigest later;
    later.expires = 1800000000;
    store.SaveDigest(later);
    ASSERT_TRUE(store.Commit());
    EXPECT_EQ(store.LoadDigests().size(), 2u);
    ASSERT_TRUE(store.Tidy(1700001000));
    EXPECT_TRUE(store.LoadOnlineUsers().empty());
    ASSERT_EQ(store.LoadDigests().size(), 1u);
    EXPECT_EQ(store.LoadDigests()[0].expires, 1800000000);

    struct stat st {};
    ASSERT_EQ(::stat((dir / kFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

std::size_t Rows(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::size_t n = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            n = static_cast<std::size_t>(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

TEST(StateStoreTest, ReportsDecidedInArrivalOrderAreSkippedAndTheRingOfBurstsNeverGrows) {
    TempDir dir;
    std::vector<StoredReport> first(3), second(2);
    {
        StateStore store;
        ASSERT_TRUE(store.Open(dir.path(), kFile));
        for (std::size_t i = 0; i < first.size(); ++i) {
            first[i].datagram.assign(100 + i, static_cast<std::uint8_t>(i + 1));
            first[i].address = 0x0a000001u + static_cast<std::uint32_t>(i);
            first[i].port = static_cast<std::uint16_t>(50000 + i);
            first[i].received = 1700000000;
        }
        second[0].datagram = {9};
        second[0].received = second[1].received = 1700000005;
        second[1].datagram.assign(1472, 0xab);  // the largest report a receive takes
        second[1].address = 0xc0a80001u;
        second[1].port = 65535;
        ASSERT_TRUE(store.Commit(&first));
        ASSERT_TRUE(store.Commit(&second));
        EXPECT_LT(first[2].id, second[0].id);
        EXPECT_EQ(first[1].id, first[0].id + 1);
        // Two of the first burst decided: its third is still to be decided after a restart.
        store.ForgetReportsThrough(first[1].id);
        ASSERT_TRUE(store.Commit());
    }
    StoredReport last;
    {
        StateStore store;
        ASSERT_TRUE(store.Open(dir.path(), kFile));
        const auto pending = store.LoadPendingReports();
        ASSERT_EQ(pending.size(), 3u);
        EXPECT_EQ(pending[0].id, first[2].id);
        EXPECT_EQ(pending[0].datagram, first[2].datagram);
        EXPECT_EQ(pending[0].address, first[2].address);
        EXPECT_EQ(pending[0].port, first[2].port);
        EXPECT_EQ(pending[0].received, 1700000000);
        EXPECT_EQ(pending[1].datagram, second[0].datagram);
        EXPECT_EQ(pending[2].datagram, second[1].datagram);
        EXPECT_EQ(pending[2].address, 0xc0a80001u);
        EXPECT_EQ(pending[2].port, 65535);
        EXPECT_EQ(pending[2].received, 1700000005);
        // A long run: bursts after a restart follow the ones before it, and the ring comes
        // round over decided bursts only.
        store.ForgetReportsThrough(second[1].id);
        std::vector<StoredReport> one(1);
        std::int64_t previous = second[1].id;
        for (std::int64_t n = 0; n < StateStore::kPendingSlots + 10; ++n) {
            one[0].datagram = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
            one[0].received = 1700000010 + n;
            ASSERT_TRUE(store.Commit(&one));
            ASSERT_GT(one[0].id, previous);
            previous = one[0].id;
            if (n == StateStore::kPendingSlots + 6) store.ForgetReportsThrough(last.id);
            last = one[0];
        }
        ASSERT_TRUE(store.Commit());
        store.Release();
        EXPECT_EQ(Rows(dir / kFile, "SELECT count(*) FROM pending_bursts"),
                  static_cast<std::size_t>(StateStore::kPendingSlots));
    }
    StateStore store;
    ASSERT_TRUE(store.Open(dir.path(), kFile));
    const auto pending = store.LoadPendingReports();
    ASSERT_EQ(pending.size(), 4u);
    EXPECT_EQ(pending[3].id, last.id);
    EXPECT_EQ(pending[3].datagram, last.datagram);
    EXPECT_EQ(pending[0].received + 3, pending[3].received);
}

TEST(StateStoreTest, AFirstVersionStoreIsMovedToBurstsWithItsReportsInOrder) {
    TempDir dir;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir / kFile).c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "PRAGMA page_size=1024; PRAGMA journal_mode=WAL;"
                               "CREATE TABLE online_users (user TEXT NOT NULL COLLATE NOCASE, domain TEXT NOT NULL,"
                               " address TEXT NOT NULL, computer TEXT NOT NULL, ad_path TEXT NOT NULL,"
                               " logon_time INTEGER NOT NULL, state INTEGER NOT NULL, since INTEGER NOT NULL,"
                               " PRIMARY KEY (user, domain, address)) WITHOUT ROWID;"
                               "CREATE TABLE pending_reports (id INTEGER PRIMARY KEY, datagram BLOB NOT NULL,"
                               " address INTEGER NOT NULL, port INTEGER NOT NULL, received INTEGER NOT NULL);"
                               "CREATE TABLE replay_digests (digest BLOB PRIMARY KEY, logoff INTEGER NOT NULL,"
                               " expires INTEGER NOT NULL) WITHOUT ROWID;"
                               "CREATE INDEX replay_digests_expiry ON replay_digests (expires);"
                               "CREATE TABLE settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                               "INSERT INTO pending_reports VALUES (7, x'0a0b0c', 167772165, 4000, 1700000001);"
                               "INSERT INTO pending_reports VALUES (3, x'01', 2130706433, 53, 1700000000);"
                               "INSERT INTO online_users VALUES ('ann', 'corp', '10.0.0.5', 'PC1', 'CN=ann', 1, 1, 2);"
                               "INSERT INTO replay_digests VALUES (x'00112233445566778899aabbccddeeff', 1, 1700099999);"
                               "PRAGMA user_version=1;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ScopedMemoryLog log;
    StateStore store;
    ASSERT_TRUE(store.Open(dir.path(), kFile));
    EXPECT_NE(log.Text().find("moved from schema version 1 to 2"), std::string::npos) << log.Text();
    const auto pending = store.LoadPendingReports();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].datagram, (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(pending[0].address, 2130706433u);
    EXPECT_EQ(pending[0].port, 53);
    EXPECT_EQ(pending[0].received, 1700000000);
    EXPECT_EQ(pending[1].datagram, (std::vector<std::uint8_t>{10, 11, 12}));
    EXPECT_EQ(pending[1].address, 167772165u);
    EXPECT_EQ(store.LoadOnlineUsers().size(), 1u);
    const auto digests = store.LoadDigests();
    ASSERT_EQ(digests.size(), 1u);
    EXPECT_EQ(digests[0].bytes[15], 0xff);
    EXPECT_TRUE(digests[0].logoff);
    EXPECT_EQ(digests[0].expires, 1700099999);
    store.Release();
    EXPECT_EQ(Rows(dir / kFile, "SELECT count(*) FROM sqlite_master WHERE name IN ('pending_reports', 'replay_digests')"),
              0u);
    EXPECT_EQ(Rows(dir / kFile, "PRAGMA user_version"), 2u);
}

TEST(StateStoreTest, ADamagedStoreIsSetAsideLoggedAndReplacedByAnEmptyOne) {
    struct Damage {
        const char* what;
        void (*apply)(const std::string& path);
    };
    const Damage damages[] = {
        {"truncated",
         [](const std::string& path) {
             // Cut inside the pages the header counts: the file claims more than it holds.
             std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2 + 100);
         }},
        {"random bytes",
         [](const std::string& path) {
             std::string junk(8192, '\0');
             for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919 + 13) % 251);
             WriteFile(path, junk);
         }},
        {"another schema version",
         [](const std::string& path) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=9", nullptr, nullptr, nullptr), SQLITE_OK);
             sqlite3_close(db);
         }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        TempDir dir;
        FillStore(dir.path());
        // Everything in the main file, so damaging it is damaging the store.
        {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open((dir / kFile).c_str(), &db), SQLITE_OK);
            sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        damage.apply(dir / kFile);
        ScopedMemoryLog log;
        StateStore store;
        ASSERT_TRUE(store.Open(dir.path(), kFile));
        const std::string text = log.Text();
        EXPECT_EQ(text.find("[ERR]The state store " + (dir / kFile) + " cannot be used ("), 0u) << text;
        EXPECT_NE(text.find("the worker starts empty."), std::string::npos) << text;
        EXPECT_EQ(SetAsideCount(dir.path()), 1u);
        EXPECT_TRUE(store.LoadOnlineUsers().empty());
        EXPECT_TRUE(store.LoadPendingReports().empty());
        // The new store works.
        store.SaveOnlineUser(Ann());
        EXPECT_TRUE(store.Commit());
        EXPECT_EQ(store.LoadOnlineUsers().size(), 1u);
    }
}

TEST(StateStoreTest, AnUnsafeFolderOrASymlinkedFileIsNeverUsed) {
    TempDir dir;
    ScopedMemoryLog log;
    // A folder others may write to: state root reads back could be planted there.
    const std::string open = dir / "open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    StateStore unsafe;
    EXPECT_FALSE(unsafe.Open(open, kFile));
    EXPECT_FALSE(unsafe.IsOpen());
    EXPECT_EQ(log.Text().find("[ERR]The state folder " + open + " cannot be used ("), 0u) << log.Text();
    EXPECT_FALSE(std::filesystem::exists(open + "/" + kFile));

    // A symlink in place of the folder.
    const std::string link = dir / "link";
    ASSERT_EQ(::symlink((dir / "private").c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "private").c_str(), 0700), 0);
    EXPECT_FALSE(unsafe.Open(link, kFile));

    // A symlink in place of the file is set aside, its target untouched.
    const std::string target = dir / "victim";
    WriteFile(target, "keep me");
    const std::string folder = dir / "private";
    ASSERT_EQ(::symlink(target.c_str(), (folder + "/" + kFile).c_str()), 0);
    StateStore store;
    ASSERT_TRUE(store.Open(folder, kFile));
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_EQ(SetAsideCount(folder), 1u);
    EXPECT_FALSE(std::filesystem::is_symlink(folder + "/" + kFile));
}

TEST(StateStoreTest, AStoreInUseByAnotherWorkerIsNeitherSharedNorSetAside) {
    TempDir dir;
    FillStore(dir.path());
    StateStore owner;
    ASSERT_TRUE(owner.Open(dir.path(), kFile));
    ScopedMemoryLog log;
    StateStore second;
    EXPECT_FALSE(second.Open(dir.path(), kFile));
    EXPECT_NE(log.Text().find("cannot be opened (in use by another process): the worker keeps its state in memory "
                              "only."),
              std::string::npos)
        << log.Text();
    EXPECT_EQ(SetAsideCount(dir.path()), 0u);
    EXPECT_EQ(owner.LoadOnlineUsers().size(), 1u);
    owner.Release();
    EXPECT_TRUE(second.Open(dir.path(), kFile));
    EXPECT_EQ(second.LoadOnlineUsers().size(), 1u);
}

TEST(StateStoreTest, FileNamesFollowTheWorkerAndKeepTheServerTextInsideTheFolder) {
    EXPECT_EQ(StateFileName("."), "state-reports.db");
    EXPECT_EQ(StateFileName("10.99.0.1"), "state-dc-10.99.0.1.db");
    EXPECT_EQ(StateFileName("../etc/x"), "state-dc-.._etc_x.db");
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

TEST(StateFilesTest, ListingCountsTheLogAndAResetLeavesSetAsideStoresAndOtherFiles) {
    testing::TempDir dir;
    testing::WriteFile(dir / "state-reports.db", std::string(100, 'a'));
    testing::WriteFile(dir / "state-reports.db-wal", std::string(50, 'b'));
    testing::WriteFile(dir / "state-reports.db-shm", std::string(10, 'c'));
    testing::WriteFile(dir / "state-reports.db.damaged-20260101-000000", "old");
    testing::WriteFile(dir / "machine.key", "key");
    const auto files = ListStateFiles(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "state-reports.db");
    EXPECT_EQ(files[0].bytes, 150u);
    EXPECT_GT(files[0].lastWrite, 0);

    std::size_t removed = 0;
    ASSERT_TRUE(RemoveStateFiles(dir.path(), removed));
    EXPECT_EQ(removed, 1u);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"machine.key", "state-reports.db.damaged-20260101-000000"}));
}

}  // namespace
}  // namespace orvane
