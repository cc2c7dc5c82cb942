#include "worker/gateway/heartbeat.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "gateway_test_support.h"
#include "platform/netif.h"
#include "platform/udp.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using testing::Decode;
using testing::FakeGateway;
using testing::MakeSettings;
using testing::ManualClock;
using testing::ScopedTestEnvironment;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "orvane-hb-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// One adapter folder as the kernel lists it.
void AddAdapter(const std::string& root, const std::string& name, int type, int index, const std::string& mac,
                int addrLen = 6) {
    fs::path dir = fs::path(root) / name;
    WriteFile(dir / "type", std::to_string(type) + "\n");
    WriteFile(dir / "ifindex", std::to_string(index) + "\n");
    WriteFile(dir / "addr_len", std::to_string(addrLen) + "\n");
    WriteFile(dir / "address", mac + "\n");
}

TEST(AdapterMac, FirstEthernetAdapterInIndexOrder) {
    TempDir root;
    std::array<std::uint8_t, 6> mac{};
    EXPECT_EQ(platform::FirstEthernetMac(mac, root.Path()), platform::MacLookup::NoAdapter);
    EXPECT_EQ(platform::FirstEthernetMac(mac, root.Path() + "/missing"), platform::MacLookup::Unreadable);

    AddAdapter(root.Path(), "lo", 772, 1, "00:00:00:00:00:00");
    AddAdapter(root.Path(), "ib0", 32, 2, "80:00:00:48:fe:80", 20);
    EXPECT_EQ(platform::FirstEthernetMac(mac, root.Path()), platform::MacLookup::NoAdapter);
    EXPECT_EQ(mac, (std::array<std::uint8_t, 6>{}));  // untouched

    AddAdapter(root.Path(), "eth1", 1, 7, "02:00:00:00:00:07");
    AddAdapter(root.Path(), "aeth0", 1, 3, "0A:1b:2C:3d:4E:5f");  // listed first by name, but index 3
    AddAdapter(root.Path(), "bad", 1, 2, "zz:00:00:00:00:01");     // an address that does not parse
    ASSERT_EQ(platform::FirstEthernetMac(mac, root.Path()), platform::MacLookup::Found);
    EXPECT_EQ(mac, (std::array<std::uint8_t, 6>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
}

TEST(Udp, StrictDottedAddressesOnly) {
    std::uint32_t a = 0;
    EXPECT_TRUE(platform::ParseIpv4Address("192.168.1.1", a));
    EXPECT_EQ(a, 0xC0A80101u);
    EXPECT_TRUE(platform::ParseIpv4Address("0.0.0.0", a));
    EXPECT_EQ(a, 0u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1..2.3", "1.2.3.1234"}) {
        EXPECT_FALSE(platform::ParseIpv4Address(bad, a)) << bad;
    }
}

TEST(Udp, FormatIsTheInverseOfParse) {
    EXPECT_EQ(platform::FormatIpv4Address(0xC0A80101u), "192.168.1.1");
    char buf[16];
    platform::FormatIpv4Address(0xFFFFFFFFu, buf);  // the longest form fills the buffer exactly
    EXPECT_STREQ(buf, "255.255.255.255");
    for (std::uint32_t a : {0u, 0x7F000001u, 0x0A00FF10u, 0xFFFFFFFFu}) {
        std::uint32_t back = 1;
        EXPECT_TRUE(platform::ParseIpv4Address(platform::FormatIpv4Address(a), back));
        EXPECT_EQ(back, a);
    }
}

TEST(Udp, ReceiveTimesOutAndCutsLongDatagrams) {
    FakeGateway peer;
    platform::UdpSocket s;
    int err = 0;
    ASSERT_TRUE(s.Open(err));
    ASSERT_TRUE(s.Bind({testing::kLoopback, 0}, err));
    platform::Ipv4Endpoint self;
    ASSERT_TRUE(s.LocalEndpoint(self, err));
    std::uint8_t buf[256];
    std::size_t n = 0;
    platform::Ipv4Endpoint from;
    EXPECT_EQ(s.ReceiveFrom(buf, sizeof buf, n, from, 10, err), platform::ReceiveStatus::TimedOut);
    peer.Send(std::vector<std::uint8_t>(300, 7), self);
    ASSERT_EQ(s.ReceiveFrom(buf, sizeof buf, n, from, 5000, err), platform::ReceiveStatus::Received);
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(from.port, peer.Port());
    EXPECT_EQ(from.address, testing::kLoopback);
}

class Heartbeat : public ::testing::Test {
protected:
    ManualClock clock{1'700'000'000, /*gated=*/true};
    ScopedTestEnvironment env{&clock};
    TempDir adapters;
    StoppableThread thread;
    ManualClock::ReleaseOnExit releaseFirst{clock};

    HeartbeatOptions Options(std::string version) {
        HeartbeatOptions o;
        o.readVersion = [version](std::string& out) {
            if (version.empty()) return false;
            out = version;
            return true;
        };
        o.adapterRoot = adapters.Path();
        return o;
    }
    // Lets the thread run `ms` of virtual time and waits until it sleeps again.
    void Run(std::int64_t ms) {
        std::uint64_t blocks = clock.Blocks();
        clock.Advance(ms);
        ASSERT_TRUE(clock.WaitForBlock(blocks));
    }
    void TearDown() override {
        clock.Release();
        thread.Stop();
    }
};

TEST_F(Heartbeat, EveryGatewayGetsOneHeartbeatEveryFiveSeconds) {
    AddAdapter(adapters.Path(), "eth0", 1, 2, "52:54:00:12:34:56");
    FakeGateway a, b;
    auto s = MakeSettings(kEncryptGeneral, 0, 0, {{"127.0.0.1", a.Port()}, {"127.0.0.1", b.Port()}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options("3.1.10.3"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));

    for (FakeGateway* g : {&a, &b}) {
        auto ds = g->DrainAll();
        ASSERT_EQ(ds.size(), 1u);
        EXPECT_EQ(ds[0].bytes.size(), 32u);
        DecodedGatewayMessage m = Decode(ds[0], kEncryptGeneral);
        EXPECT_EQ(m.type, GatewayMessageType::Heartbeat);
        EXPECT_EQ(m.version, "3.1.10.3");
        EXPECT_EQ(m.mac, (std::array<std::uint8_t, 6>{0x52, 0x54, 0x00, 0x12, 0x34, 0x56}));
    }
    Run(4900);
    EXPECT_TRUE(a.DrainAll().empty());
    Run(100);
    EXPECT_EQ(a.DrainAll().size(), 1u);
    EXPECT_EQ(b.DrainAll().size(), 1u);
    EXPECT_EQ(env.Log().Text(), "");
}

TEST_F(Heartbeat, EnhancedHeartbeatsFollowTheAdapterAndKeepTheLastAddress) {
    FakeGateway a;
    auto s = MakeSettings(kEncryptEnhanced, 0, 0, {{"127.0.0.1", a.Port()}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options(""), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    auto first = a.DrainAll();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes.size(), 68u);
    DecodedGatewayMessage m = Decode(first[0], kEncryptEnhanced);
    EXPECT_EQ(m.version, "3.1.8.1");  // the version could not be read
    EXPECT_EQ(m.mac, (std::array<std::uint8_t, 6>{}));  // no Ethernet adapter yet

    AddAdapter(adapters.Path(), "eth0", 1, 2, "02:aa:bb:cc:dd:ee");
    Run(5000);
    auto second = a.DrainAll();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(Decode(second[0], kEncryptEnhanced).mac,
              (std::array<std::uint8_t, 6>{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));

    fs::remove_all(adapters.Path());  // the list can no longer be read: the address stays
    Run(5000);
    auto third = a.DrainAll();
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(Decode(third[0], kEncryptEnhanced).mac,
              (std::array<std::uint8_t, 6>{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
}

TEST_F(Heartbeat, PositionsWithoutAddressAreSkipped) {
    FakeGateway a;
    auto s = MakeSettings(kEncryptGeneral, 0, 0, {{"", 0}, {"127.0.0.1", a.Port()}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options("1.2.3.4"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    EXPECT_EQ(a.DrainAll().size(), 1u);
    EXPECT_EQ(env.Log().Text(), "");  // the empty position is not even attempted
}

TEST_F(Heartbeat, UnknownEncryptTypeSendsNothing) {
    FakeGateway a;
    auto s = MakeSettings(3, 0, 0, {{"127.0.0.1", a.Port()}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options("1.2.3.4"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    Run(10000);
    EXPECT_TRUE(a.DrainAll().empty());
    EXPECT_EQ(env.Log().Text(), "");
}

TEST_F(Heartbeat, NoGatewaysMeansHalfSecondChecksAndNothingSent) {
    FakeGateway a;
    auto s = MakeSettings(kEncryptGeneral, 0, 0, {{"127.0.0.1", a.Port()}});
    s.firewallNum = 6;  // more than the table holds: treated as none
    ASSERT_TRUE(StartHeartBeatThread(s, Options("1.2.3.4"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    EXPECT_EQ(clock.VirtualMs(), 100);  // first step of a 500 ms pause, not of the 5 s cycle
    Run(20000);
    EXPECT_TRUE(a.DrainAll().empty());
    EXPECT_EQ(env.Log().Text(), "");
}

TEST_F(Heartbeat, SendFailuresAreLoggedPerCipherAndPauseOneSecond) {
    FakeGateway a;
    auto s = MakeSettings(kEncryptGeneral, 0, 0, {{"not-an-address", 9}, {"127.0.0.1", a.Port()}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options("1.2.3.4"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    EXPECT_EQ(env.Log().Text(), "[ERR]Send notify to device failed.ErrorCode:" + std::to_string(EINVAL) + ".\n");
    Run(900);
    EXPECT_TRUE(a.DrainAll().empty());  // still in the pause after the failure
    Run(100);
    EXPECT_EQ(a.DrainAll().size(), 1u);
}

TEST_F(Heartbeat, EnhancedSendFailureHasItsOwnMessage) {
    auto s = MakeSettings(kEncryptEnhanced, 0, 0, {{"not-an-address", 9}});
    ASSERT_TRUE(StartHeartBeatThread(s, Options("1.2.3.4"), thread));
    ASSERT_TRUE(clock.WaitForBlock(0));
    EXPECT_EQ(env.Log().Text(), "[ERR]Send heartbeat to device failed.ErrorCode:" + std::to_string(EINVAL) + ".\n");
}

TEST(HeartbeatVersion, ReadsTheWorkerExecutableInTheModuleFolder) {
    MemoryLog log;
    LogSink* previous = SetLogSink(&log);
    TempDir folder;
    WorkerSettings s;
    s.moduleFolder = folder.Path();
    // No "Orvane" there: the failure is logged by the version reader and the default is sent.
    EXPECT_EQ(HeartbeatVersionText(s, {}), "3.1.8.1");
    EXPECT_FALSE(log.Text().empty());
    // This test program carries the build's version note like every executable.
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), fs::path(folder.Path()) / "Orvane");
    EXPECT_EQ(HeartbeatVersionText(s, {}), ORVANE_TEST_FILE_VERSION);
    SetLogSink(previous);
}

}  // namespace
}  // namespace orvane
