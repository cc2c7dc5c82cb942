#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/client_report.h"
#include "platform/udp.h"
#include "reporter/reporter.h"
#include "reporter_test_support.h"
#include "test_util.h"

namespace orvane {
namespace {

using testing::FakeAddresses;
using testing::FakeIdentity;
using testing::MakeSession;
using testing::ScopedMemoryLog;

std::string TextOf(const std::uint8_t* buf, std::size_t lengthWithZero) {
    return std::string(reinterpret_cast<const char*>(buf), lengthWithZero - 1);
}

TEST(ReportText, WorkedExampleAndLogoffKind) {
    FakeIdentity id;
    ReporterSession s = MakeSession(id, "127.0.0.1", 9000, 0, 0);
    std::uint8_t buf[1024] = {};
    std::size_t len = sizeof buf;
    ASSERT_EQ(BuildReportText(s, &len, buf), 1);
    EXPECT_EQ(len, 46u);
    EXPECT_EQ(TextOf(buf, len), "DEDOVEROZ0|ann|dc=corp,dc=example,dc=com|PC01");

    s.args.kind = 7;
    len = sizeof buf;
    ASSERT_EQ(BuildReportText(s, &len, buf), 1);
    EXPECT_EQ(TextOf(buf, len), "DEDOVEROZ1|ann|dc=corp,dc=example,dc=com|PC01");
}

TEST(ReportText, CapacityIsTheThreeNamesPlus14) {
    ScopedMemoryLog log;
    FakeIdentity id;
    ReporterSession s = MakeSession(id, "127.0.0.1", 9000, 0, 0);
    // ann (3) + dc=corp,dc=example,dc=com (25) + PC01 (4) + 14 = 46
    std::uint8_t buf[1024] = {};
    std::size_t len = 46;
    EXPECT_EQ(BuildReportText(s, &len, buf), 1);
    EXPECT_EQ(len, 46u);
    len = 45;
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_TRUE(log.Contains("Size of the computer info buffer too small"));

    // Non-ASCII names take more bytes than characters: refused, never cut.
    log.log().Clear();
    s.userName = "\xC3\xA4nn";  // "änn": 3 characters, 4 bytes
    len = 46;
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_TRUE(log.Contains("Size of the computer info buffer too small"));
    len = 47;
    EXPECT_EQ(BuildReportText(s, &len, buf), 1);
    EXPECT_EQ(len, 47u);
}

// Found by fuzzing (reporter_inputs): the worker skips empty fields, so "DEDOVEROZ0||dc=...|PC01"
// would be read as the user "dc=..." of the domain "PC01".
TEST(ReportText, OnlyReportsTheWorkerReadsBackAsTheSameNamesAreBuilt) {
    ScopedMemoryLog log;
    FakeIdentity id;
    ReporterSession s = MakeSession(id, "127.0.0.1", 9000, 0, 0);
    std::uint8_t buf[1024] = {};
    std::size_t len = sizeof buf;
    s.userName.clear();
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "The user name is empty\n");

    s.userName = "ann";
    id.host.clear();
    log.log().Clear();
    len = sizeof buf;
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "The computer name is empty\n");

    // The worker drops a report with a field over 259 characters (found by the same target).
    id.host = "PC01";
    s.userName = std::string(260, 'a');
    log.log().Clear();
    len = sizeof buf;
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "The user name is longer than 259 characters\n");
    s.userName = std::string(259, 'a');
    len = sizeof buf;
    ASSERT_EQ(BuildReportText(s, &len, buf), 1);
    const std::string longest = TextOf(buf, len);
    ReportFields most;
    ASSERT_EQ(SplitReportText(longest, most), ReportSplitResult::Split);
    EXPECT_EQ(most.user, s.userName);

    s.userName = "ann";
    len = sizeof buf;
    ASSERT_EQ(BuildReportText(s, &len, buf), 1);
    const std::string text = TextOf(buf, len);
    ReportFields fields;
    ASSERT_EQ(SplitReportText(text, fields), ReportSplitResult::Split);
    EXPECT_EQ(fields.user, "ann");
    EXPECT_EQ(fields.computer, "PC01");
}

TEST(ReportText, FailuresOfEachSourceAreLoggedAndNothingIsBuilt) {
    ScopedMemoryLog log;
    FakeIdentity id;
    ReporterSession s = MakeSession(id, "127.0.0.1", 9000, 0, 0);
    std::uint8_t buf[1024] = {};
    std::size_t len = sizeof buf;
    EXPECT_EQ(BuildReportText(s, nullptr, buf), 0);
    EXPECT_EQ(BuildReportText(s, &len, nullptr), 0);
    EXPECT_EQ(log.Text(), "The parameter pulInfoBugLen is null\nThe parameter pszInfoBug is null\n");

    id.dnFails = true;
    log.log().Clear();
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "get full domain name failed! errorcode:1332\n\n");

    id.dnFails = false;
    id.dn = "CN=ann,CN=Users";
    log.log().Clear();
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "Domain name invalid!\n");

    id.dn = "CN=ann,DC=corp,DC=com";
    id.hostFails = true;
    log.log().Clear();
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "get computer name failed! errorcode:87\n\n");

    // 260 characters or more are not supported: refused rather than cut.
    id.hostFails = false;
    id.dn = "CN=" + std::string(250, 'a') + ",DC=corp,DC=com";
    log.log().Clear();
    EXPECT_EQ(BuildReportText(s, &len, buf), 0);
    EXPECT_EQ(log.Text(), "get full domain name failed! errorcode:36\n\n");
}

TEST(DistinguishedName, FullyQualifiedUserNameComesFirst) {
    EXPECT_EQ(DistinguishedNameOf("ann@corp.example.com", "/nonexistent/krb5.conf", "other.example"),
              "CN=ann,DC=corp,DC=example,DC=com");
    EXPECT_EQ(DomainComponents("corp.example.com."), "DC=corp,DC=example,DC=com");
    EXPECT_EQ(DomainComponents("corp..com"), "");
}

TEST(DistinguishedName, ThenTheKerberosDefaultRealmThenTheHostDomain) {
    testing::TempDir dir;
    testing::WriteFile(dir / "krb5.conf",
                       "# joined by realm\n[realms]\n default_realm = WRONG.ORG\n[libdefaults]\n"
                       "\tdns_lookup_realm = false\n\tdefault_realm = CORP.EXAMPLE.COM\n");
    testing::WriteFile(dir / "empty.conf", "[libdefaults]\n");
    // KRB5_CONFIG may name several files; the first that names a realm counts.
    std::string list = dir / "missing.conf" + ":" + dir / "empty.conf" + ":" + dir / "krb5.conf";
    EXPECT_EQ(DistinguishedNameOf("ann", list, "lan.example"), "CN=ann,DC=CORP,DC=EXAMPLE,DC=COM");
    EXPECT_EQ(DistinguishedNameOf("ann", dir / "empty.conf", "lan.example"), "CN=ann,DC=lan,DC=example");
    EXPECT_EQ(DistinguishedNameOf("ann", dir / "empty.conf", ""), "CN=ann");

    // Through the report text: the realm's case is folded, a name without a domain cannot report.
    EXPECT_EQ(DefaultRealmFromKrb5Conf("[libdefaults]\ndefault_realm=A.B\n"), "A.B");
    std::string domain;
    EXPECT_TRUE(DomainFromDistinguishedName(DistinguishedNameOf("ann", list, ""), domain));
    EXPECT_EQ(domain, "dc=corp,dc=example,dc=com");
    EXPECT_FALSE(DomainFromDistinguishedName("CN=ann", domain));
}

// A worker stand-in on loopback: records datagrams and acknowledges from a chosen one on.
class LoopbackWorker {
public:
    explicit LoopbackWorker(int ackFrom) : ackFrom_(ackFrom) {
        int err = 0;
        EXPECT_TRUE(socket_.Open(err));
        EXPECT_TRUE(socket_.Bind({0x7F000001, 0}, err));
        platform::Ipv4Endpoint local;
        EXPECT_TRUE(socket_.LocalEndpoint(local, err));
        port_ = local.port;
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackWorker() {
        stop_ = true;
        thread_.join();
    }
    unsigned port() const { return port_; }
    int count() {
        std::lock_guard<std::mutex> g(mu_);
        return static_cast<int>(datagrams_.size());
    }
    std::vector<std::vector<std::uint8_t>> datagrams() {
        std::lock_guard<std::mutex> g(mu_);
        return datagrams_;
    }
    // Waits until `n` datagrams were handled (and acknowledged when due).
    bool WaitFor(int n) {
        std::unique_lock<std::mutex> g(mu_);
        return cv_.wait_for(g, std::chrono::seconds(5), [&] { return static_cast<int>(datagrams_.size()) >= n; });
    }

private:
    void Run() {
        while (!stop_) {
            std::uint8_t buf[2048];
            std::size_t n = 0;
            platform::Ipv4Endpoint from;
            int err = 0;
            if (socket_.ReceiveFrom(buf, sizeof buf, n, from, 50, err) != platform::ReceiveStatus::Received) continue;
            int index;
            {
                std::lock_guard<std::mutex> g(mu_);
                index = static_cast<int>(datagrams_.size()) + 1;
            }
            if (ackFrom_ > 0 && index >= ackFrom_) {
                const char stray[] = "hello";
                socket_.SendTo(stray, 5, from, err);  // not an acknowledgement: must not hide the one behind it
                socket_.SendTo(kReportAck, kReportAckLength, from, err);
            }
            {
                std::lock_guard<std::mutex> g(mu_);
                datagrams_.emplace_back(buf, buf + n);
            }
            cv_.notify_all();
        }
    }

    platform::UdpSocket socket_;
    unsigned port_ = 0;
    int ackFrom_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::vector<std::uint8_t>> datagrams_;
    std::thread thread_;
};

// Records the waits; each wait lasts until the worker stand-in handled the datagram just sent,
// so what the reporter then finds in its socket does not depend on scheduling.
class WaitRecordingClock final : public platform::Clock {
public:
    explicit WaitRecordingClock(LoopbackWorker* worker) : worker_(worker) {}
    std::int64_t Now() override { return 1700000000; }
    bool LocalNow(platform::LocalTime& out) override { return platform::ToLocalTime(Now(), out); }
    void SleepMs(unsigned ms) override {
        waits.push_back(ms);
        if (worker_) {
            EXPECT_TRUE(worker_->WaitFor(static_cast<int>(waits.size())));
        }
    }
    std::vector<unsigned> waits;

private:
    LoopbackWorker* worker_;
};

struct SendCase {
    unsigned kind, repetitions;
    int ackFrom;  // 0: never
    std::vector<unsigned> waits;
    bool accepted;
};

TEST(SendClientReport, AttemptsWaitsAndAcknowledgement) {
    const SendCase cases[] = {
        {0, 0, 0, {1000}, false},
        {0, 2, 0, {1000, 3000, 5000}, false},
        {0, 9, 0, {1000, 3000, 5000, 7000}, false},
        {1, 9, 0, {1000, 1000, 1000, 1000}, false},
        {0, 3, 1, {1000}, true},
        {0, 3, 2, {1000, 3000}, true},
        {1, 3, 3, {1000, 1000, 1000}, true},
    };
    for (const SendCase& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + " repetitions " + std::to_string(c.repetitions) +
                     " ack from " + std::to_string(c.ackFrom));
        ScopedMemoryLog log;
        LoopbackWorker worker(c.ackFrom);
        WaitRecordingClock clock(&worker);
        testing::ScopedClock scoped(clock);
        FakeIdentity id;
        ReporterSession s = MakeSession(id, "127.0.0.1", worker.port(), c.kind, c.repetitions);

        EXPECT_EQ(SendClientReport(s), 1);
        EXPECT_EQ(clock.waits, c.waits);
        ASSERT_EQ(worker.count(), static_cast<int>(c.waits.size()));
        EXPECT_EQ(log.Contains("AD control accepts the request."), c.accepted);
        EXPECT_TRUE(log.Contains("send request to AD, already sent " + std::to_string(c.waits.size()) + " times."));

        // Every attempt is the same sealed report, readable with the key.
        std::vector<std::uint8_t> plain(kReportPlainBuffer);
        std::string text;
        for (const auto& d : worker.datagrams()) {
            ASSERT_EQ(OpenClientReport(d.data(), d.size(), MakeKeyField("clientkey"), plain.data(), text),
                      ReportOpenResult::Opened);
            EXPECT_EQ(text, std::string("DEDOVEROZ") + (c.kind == 0 ? "0" : "1") + "|ann|dc=corp,dc=example,dc=com|PC01");
            EXPECT_EQ(d.size(), 84u);
            EXPECT_EQ(d[0], 0);
        }
    }
}

TEST(SendClientReport, UnbuildableOrUnsendableReportsReturn0) {
    ScopedMemoryLog log;
    WaitRecordingClock clock(nullptr);
    testing::ScopedClock scoped(clock);
    FakeIdentity id;
    id.dn = "CN=ann";
    ReporterSession s = MakeSession(id, "127.0.0.1", 9, 0, 3);
    EXPECT_EQ(SendClientReport(s), 0);
    EXPECT_TRUE(log.Contains("Domain name invalid!"));
    EXPECT_TRUE(clock.waits.empty());

    // A broadcast address without permission to broadcast: the send itself fails.
    id.dn = "CN=ann,DC=corp,DC=com";
    log.log().Clear();
    ReporterSession b = MakeSession(id, "255.255.255.255", 9, 0, 3);
    EXPECT_EQ(SendClientReport(b), 0);
    EXPECT_TRUE(log.Contains("send request to AD control failed! errorcode:13"));
    EXPECT_FALSE(log.Contains("already sent"));
    EXPECT_TRUE(clock.waits.empty());
}

TEST(LocalAddressList, AtMostEightAndNullArgumentsRefused) {
    ScopedMemoryLog log;
    FakeAddresses a;
    for (int i = 1; i <= 10; ++i) a.list.push_back("10.0.0." + std::to_string(i));
    std::string list;
    unsigned count = 0;
    ASSERT_EQ(GetLocalAddressList(a, &list, &count), 1);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(list.find("10.0.0.9"), std::string::npos);
    EXPECT_EQ(GetLocalAddressList(a, nullptr, &count), 0);
    EXPECT_EQ(GetLocalAddressList(a, &list, nullptr), 0);
    a.fails = true;
    EXPECT_EQ(GetLocalAddressList(a, &list, &count), 0);
    EXPECT_EQ(log.Text(),
              "The parameter pszIpList is null\nThe parameter pulIpCount is null\n"
              "get host by name failed! errorcode:11001\n\n");
}

TEST(LocalAddressList, InterfacesGiveNoLoopbackAddress) {
    InterfaceAddressSource source;
    std::vector<std::string> out;
    int err = 0;
    ASSERT_TRUE(source.Addresses(out, err));
    for (const std::string& a : out) EXPECT_NE(a.rfind("127.", 0), 0u) << a;
}

TEST(NetworkWatch, SendsFirstThenOnlyOnChangesAndRetriesUnsentReports) {
    ScopedMemoryLog log;
    FakeAddresses a;
    a.list = {"10.0.0.5"};
    NetworkWatch w;
    int sends = 0;
    int result = 1;
    auto send = [&] {
        ++sends;
        return result;
    };
    w.Cycle(a, send);
    EXPECT_EQ(sends, 1) << "the first cycle reports the logon";
    w.Cycle(a, send);
    EXPECT_EQ(sends, 1);

    a.list.push_back("192.168.1.7");  // a second address
    w.Cycle(a, send);
    EXPECT_EQ(sends, 2);

    a.fails = true;  // an unreadable list skips the cycle
    w.Cycle(a, send);
    EXPECT_EQ(sends, 2);
    a.fails = false;

    a.list = {"10.0.0.6"};
    result = 0;  // not built or not sent: tried again every cycle until it goes out
    w.Cycle(a, send);
    w.Cycle(a, send);
    EXPECT_EQ(sends, 4);
    result = 1;
    w.Cycle(a, send);
    w.Cycle(a, send);
    EXPECT_EQ(sends, 5);
}

TEST(NetworkWatch, ListsThatWouldConcatenateAlikeAreStillAChange) {
    FakeAddresses a;
    a.list = {"1.2.3.4", "56.7.8.9"};
    NetworkWatch w;
    int sends = 0;
    auto send = [&] { return ++sends, 1; };
    w.Cycle(a, send);
    a.list = {"1.2.3.45", "6.7.8.9"};
    w.Cycle(a, send);
    EXPECT_EQ(sends, 2);
}

TEST(NetworkWatch, CyclesEveryFiveSecondsAndReportsFromTheAddressFile) {
    ScopedMemoryLog log;
    testing::TempDir dir;
    testing::WriteFile(dir / "addresses", "10.0.0.5\n");
    FileAddressSource source(dir / "addresses");
    LoopbackWorker worker(1);

    // The reporter's own waits (1000 ms after a send) end when the worker handled the datagram.
    class Clock final : public platform::Clock {
    public:
        Clock(LoopbackWorker& w, const std::string& file) : worker_(w), file_(file) {}
        std::int64_t Now() override { return 1700000000; }
        bool LocalNow(platform::LocalTime& out) override { return platform::ToLocalTime(Now(), out); }
        void SleepMs(unsigned ms) override {
            waits.push_back(ms);
            if (ms == 1000) {
                EXPECT_TRUE(worker_.WaitFor(++sent_));
            }
            // Before the fourth cycle the PC gains an address.
            if (ms == 5000 && ++cycles_ == 4) testing::WriteFile(file_, "10.0.0.5\n10.0.0.6\n");
        }
        std::vector<unsigned> waits;

    private:
        LoopbackWorker& worker_;
        std::string file_;
        int sent_ = 0, cycles_ = 0;
    } clock(worker, dir / "addresses");
    testing::ScopedClock scoped(clock);
    FakeIdentity id;
    ReporterSession s = MakeSession(id, "127.0.0.1", worker.port(), 0, 3);

    RunNetworkWatch(s, source, 5);
    EXPECT_EQ(clock.waits, (std::vector<unsigned>{5000, 1000, 5000, 5000, 5000, 1000, 5000}));
    EXPECT_EQ(worker.count(), 2);
}

}  // namespace
}  // namespace orvane
