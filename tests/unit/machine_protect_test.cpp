#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "platform/machine_protect.h"
#include "test_util.h"

namespace orvane::platform {
namespace {

using orvane::testing::TempDir;
using orvane::testing::WriteFile;

// Points the machine key at a file of the test's own folder, never at the real one.
class MachineProtectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
    }
    static unsigned Mode(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    TempDir dir_;
    std::string keyPath_ = dir_ / "keys/machine.key";
    orvane::testing::ScopedEnv keyEnv_{"ORVANE_MACHINE_KEY", keyPath_};
};

TEST_F(MachineProtectTest, BlobCarriesVersionPathMarkerNonceAndTag) {
    const std::string clear("s\0e\0c\0", 6);
    std::string legacy, cng, cng2;
    ASSERT_TRUE(MachineProtect(ProtectionPath::Legacy, clear, legacy).ok());
    ASSERT_TRUE(MachineProtect(ProtectionPath::Cng, clear, cng).ok());
    ASSERT_TRUE(MachineProtect(ProtectionPath::Cng, clear, cng2).ok());
    ASSERT_EQ(legacy.size(), clear.size() + kMachineBlobOverhead);
    ASSERT_EQ(cng.size(), clear.size() + kMachineBlobOverhead);
    EXPECT_EQ(legacy.substr(0, 2), "\x01L");
    EXPECT_EQ(cng.substr(0, 2), "\x01" "C");
    EXPECT_NE(cng.substr(2, 12), cng2.substr(2, 12));  // a fresh nonce every time
    EXPECT_EQ(cng.find(clear), std::string::npos);

    std::string back;
    ASSERT_TRUE(MachineUnprotect(ProtectionPath::Cng, cng, back).ok());
    EXPECT_EQ(back, clear);
    // Each path refuses the other's blob, even with the marker forged to match.
    EXPECT_EQ(MachineUnprotect(ProtectionPath::Legacy, cng, back).result, MachineProtectResult::BadBlob);
    std::string forged = cng;
    forged[1] = 'L';
    EXPECT_EQ(MachineUnprotect(ProtectionPath::Legacy, forged, back).result, MachineProtectResult::BadBlob);
    EXPECT_EQ(back, clear);
}

TEST_F(MachineProtectTest, AnyAlteredOrMissingByteIsRefused) {
    std::string blob;
    ASSERT_TRUE(MachineProtect(ProtectionPath::Cng, "clear bytes", blob).ok());
    std::string out = "untouched";
    for (std::size_t i = 0; i < blob.size(); ++i) {
        std::string altered = blob;
        altered[i] = static_cast<char>(altered[i] ^ 0x01);
        EXPECT_EQ(MachineUnprotect(ProtectionPath::Cng, altered, out).result, MachineProtectResult::BadBlob) << i;
    }
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, kMachineBlobOverhead - 1, blob.size() - 1})
        EXPECT_EQ(MachineUnprotect(ProtectionPath::Cng, blob.substr(0, len), out).result,
                  MachineProtectResult::BadBlob)
            << len;
    EXPECT_EQ(MachineUnprotect(ProtectionPath::Cng, blob + "x", out).result, MachineProtectResult::BadBlob);
    EXPECT_EQ(out, "untouched");
}

TEST_F(MachineProtectTest, FirstProtectCreatesRootOnlyKeyWhateverTheUmask) {
    mode_t old = ::umask(0);
    std::string blob;
    MachineProtectStatus st = MachineProtect(ProtectionPath::Cng, "x", blob);
    ::umask(old);
    ASSERT_TRUE(st.ok());
    EXPECT_EQ(Mode(dir_ / "keys"), 0700u);
    EXPECT_EQ(Mode(keyPath_), 0600u);
    EXPECT_EQ(std::filesystem::file_size(keyPath_), kMachineKeySize);
    // The key is kept: a second protection does not replace it.
    std::string key = orvane::testing::ReadFile(keyPath_);
    ASSERT_TRUE(MachineProtect(ProtectionPath::Cng, "y", blob).ok());
    EXPECT_EQ(orvane::testing::ReadFile(keyPath_), key);
}

TEST_F(MachineProtectTest, UnprotectNeverCreatesAKey) {
    std::string out;
    MachineProtectStatus st = MachineUnprotect(ProtectionPath::Cng, std::string(40, 'A'), out);
    EXPECT_EQ(st.result, MachineProtectResult::KeyUnavailable);
    EXPECT_EQ(st.sysError, ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "keys"));
}

TEST_F(MachineProtectTest, KeyFileThatHoldsNoKeyIsInvalid) {
    std::filesystem::create_directories(dir_ / "keys");
    std::string blob, out;
    for (std::size_t size : {std::size_t{0}, kMachineKeySize - 1, kMachineKeySize + 1}) {
        WriteFile(keyPath_, std::string(size, 'k'));
        EXPECT_EQ(MachineProtect(ProtectionPath::Cng, "x", blob).result, MachineProtectResult::KeyInvalid) << size;
        EXPECT_EQ(MachineUnprotect(ProtectionPath::Cng, std::string(40, 'A'), out).result,
                  MachineProtectResult::KeyInvalid)
            << size;
        // Never replaced by a new key: blobs made with the old one would be lost.
        EXPECT_EQ(std::filesystem::file_size(keyPath_), size);
    }
    std::filesystem::remove(keyPath_);
    std::filesystem::create_directory(keyPath_);
    EXPECT_EQ(MachineProtect(ProtectionPath::Cng, "x", blob).result, MachineProtectResult::KeyInvalid);
}

TEST_F(MachineProtectTest, KeyThatCannotBeCreatedReportsTheSystemError) {
    WriteFile(dir_ / "file", "not a folder");
    ::setenv("ORVANE_MACHINE_KEY", (dir_ / "file/machine.key").c_str(), 1);
    std::string blob = "untouched";
    MachineProtectStatus st = MachineProtect(ProtectionPath::Legacy, "x", blob);
    EXPECT_EQ(st.result, MachineProtectResult::KeyUnavailable);
    EXPECT_EQ(st.sysError, ENOTDIR);
    EXPECT_EQ(blob, "untouched");
}

TEST_F(MachineProtectTest, AKeyOthersCouldHavePlacedIsNeverUsedAndAReadableOneIsClosed) {
    std::string blob, back;
    std::filesystem::create_directories(dir_ / "keys");
    // A folder others may write to: no key is read from it or made in it.
    ::chmod((dir_ / "keys").c_str(), 0777);
    MachineProtectStatus st = MachineProtect(ProtectionPath::Cng, "x", blob);
    EXPECT_EQ(st.result, MachineProtectResult::KeyUnavailable);
    EXPECT_EQ(st.sysError, EPERM);
    EXPECT_FALSE(std::filesystem::exists(keyPath_));
    ::chmod((dir_ / "keys").c_str(), 0755);

    // A link in the key's place, to a file of the right size.
    WriteFile(dir_ / "known", std::string(kMachineKeySize, 'k'));
    ASSERT_EQ(::symlink((dir_ / "known").c_str(), keyPath_.c_str()), 0);
    st = MachineProtect(ProtectionPath::Cng, "x", blob);
    EXPECT_EQ(st.result, MachineProtectResult::KeyUnavailable);
    EXPECT_EQ(st.sysError, ELOOP);
    std::filesystem::remove(keyPath_);

    // A key left readable by others still works, and is no longer readable by them.
    ASSERT_TRUE(MachineProtect(ProtectionPath::Cng, "x", blob).ok());
    ASSERT_EQ(::chmod(keyPath_.c_str(), 0644), 0);
    ASSERT_TRUE(MachineUnprotect(ProtectionPath::Cng, blob, back).ok());
    EXPECT_EQ(back, "x");
    EXPECT_EQ(Mode(keyPath_), 0600u);

    if (::geteuid() != 0) GTEST_SKIP() << "giving the key to another user needs root";
    ASSERT_EQ(::chown(keyPath_.c_str(), 65534, 65534), 0);
    st = MachineUnprotect(ProtectionPath::Cng, blob, back);
    EXPECT_EQ(st.result, MachineProtectResult::KeyUnavailable);
    EXPECT_EQ(st.sysError, EPERM);
}

TEST_F(MachineProtectTest, ConcurrentFirstUsersShareOneKey) {
    constexpr int kThreads = 8;
    std::vector<std::string> blobs(kThreads);
    std::vector<char> ok(kThreads, 0);  // not vector<bool>: each thread writes its own element
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            ok[i] = MachineProtect(ProtectionPath::Cng, "shared", blobs[i]).ok();
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_TRUE(ok[i]) << i;
        std::string back;
        EXPECT_TRUE(MachineUnprotect(ProtectionPath::Cng, blobs[i], back).ok()) << i;
        EXPECT_EQ(back, "shared");
    }
    // Only the key is left in its folder: no temporary file survives a lost race.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "keys")) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"machine.key"});
}

}  // namespace
}  // namespace orvane::platform
