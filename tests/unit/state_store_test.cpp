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
    ASSERT_TRUE(store.Commit(&reports, 1700000000));
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
    store.ForgetReport(reports[0].id);
    ASSERT_TRUE(store.Commit(nullptr, 1700000000));
    users = store.LoadOnlineUsers();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].state, 2);
    EXPECT_TRUE(store.LoadPendingReports().empty());
    store.ForgetOnlineUser("ANN", "corp", "10.0.0.5");
    // A commit after the digest's expiry deletes it.
    StoredDigest later;
    later.expires = 1800000000;
    store.SaveDigest(later);
    ASSERT_TRUE(store.Commit(nullptr, 1700001000));
    EXPECT_TRUE(store.LoadOnlineUsers().empty());
    EXPECT_EQ(store.LoadDigests().size(), 1u);

    struct stat st {};
    ASSERT_EQ(::stat((dir / kFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
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
        EXPECT_TRUE(store.Commit(nullptr, 1700000000));
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
