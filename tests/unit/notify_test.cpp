#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>

#include "gateway_test_support.h"
#include "worker/gateway/notification_sender.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

using testing::Decode;
using testing::FakeGateway;
using testing::kLoopback;
using testing::MakeSettings;
using testing::ManualClock;
using testing::SealedResponse;
using testing::ScopedTestEnvironment;

constexpr std::int64_t kStart = 1'700'000'000;

// Adds a record to the table and notifies every gateway, as a logon or logoff does.
OnlineUserRecord& AddAndNotify(GatewayNotifier& n, std::uint8_t state, const std::string& user = "alice",
                               const std::string& address = "10.1.2.3") {
    auto r = std::make_unique<OnlineUserRecord>();
    r->SetUserName(user);
    r->SetDomain("corp");
    r->SetAddress(address);
    r->organisation[0] = "OU=Staff,DC=corp,DC=com";
    r->state = state;
    std::lock_guard<std::mutex> lock(n.Table().Mutex());
    OnlineUserRecord& added = n.Table().Add(std::move(r));
    n.NotifyAllGateways(added);
    return added;
}

bool InTable(GatewayNotifier& n, const OnlineUserRecord* record) {
    std::lock_guard<std::mutex> lock(n.Table().Mutex());
    for (OnlineUserRecord* r = n.Table().First(); r; r = n.Table().Next(*r)) {
        if (r == record) return true;
    }
    return false;
}

std::vector<std::uint32_t> Sequences(const std::vector<testing::Datagram>& ds, int encryptType) {
    std::vector<std::uint32_t> out;
    for (const auto& d : ds) out.push_back(Decode(d, encryptType).sequence);
    return out;
}

class Notify : public ::testing::Test {
protected:
    ManualClock clock{kStart};
    ScopedTestEnvironment env{&clock};
    OnlineUserTable table;

    std::unique_ptr<GatewayNotifier> Make(const WorkerSettings& s) {
        auto n = std::make_unique<GatewayNotifier>(s, table);
        EXPECT_TRUE(n->OpenSocket());
        return n;
    }
    // Passes every 200 ms of virtual time up to `seconds` after the start.
    void RunPassesUntil(GatewayNotifier& n, std::int64_t seconds) {
        while (clock.VirtualMs() < seconds * 1000) {
            clock.SleepMs(200);
            n.RetranPass(clock.Now());
        }
    }
};

TEST_F(Notify, SilentGatewayGetsOnePlusRetranTimesDatagramsAndTheOfflineRecordEndsWithTheLast) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptEnhanced, 3, 5, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord* offline = &AddAndNotify(*n, kUserOffline);

    // Datagrams leave at 0, 5, 10 and 15 seconds; the record goes in the pass of the fourth.
    std::vector<std::int64_t> sentAt;
    std::vector<testing::Datagram> all;
    auto first = gw.DrainAll();
    ASSERT_EQ(first.size(), 1u);
    all.push_back(first[0]);
    sentAt.push_back(0);
    while (clock.VirtualMs() < 30'000) {
        clock.SleepMs(200);
        n->RetranPass(clock.Now());
        auto got = gw.DrainAll();
        for (auto& d : got) {
            all.push_back(d);
            sentAt.push_back(clock.Now() - kStart);
        }
        if (!got.empty() && all.size() == 4) {
            EXPECT_FALSE(InTable(*n, offline)) << "removed with the fourth";
        }
        if (all.size() < 4) {
            ASSERT_TRUE(InTable(*n, offline));
        }
    }
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(sentAt, (std::vector<std::int64_t>{0, 5, 10, 15}));
    EXPECT_EQ(Sequences(all, kEncryptEnhanced), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    for (const auto& d : all) {
        EXPECT_EQ(d.bytes.size(), 36u + 32u);  // alice at 10.1.2.3, offline: 18 bytes padded to 32
        DecodedGatewayMessage m = Decode(d, kEncryptEnhanced);
        EXPECT_EQ(m.type, GatewayMessageType::Offline);
        EXPECT_EQ(m.user, "alice");
        EXPECT_TRUE(m.adPath.empty());  // offline notifications end with the user name
    }
    EXPECT_EQ(env.Count("[INF]Sending user information to the gateway (0x7F000001)."), 4u);
}

TEST_F(Notify, OnlineRecordsAreForgottenAtTheirMaximumAgeUnlessALogonRefreshedThem) {
    FakeGateway gw;
    WorkerSettings s = MakeSettings(kEncryptGeneral, 0, 5, {{"127.0.0.1", gw.Port()}});
    s.onlineRecordMaxAge = 3600;
    auto n = Make(s);
    OnlineUserRecord* old = &AddAndNotify(*n, kUserOnline, "ann", "10.0.0.5");
    OnlineUserRecord* refreshed = &AddAndNotify(*n, kUserOnline, "bob", "10.0.0.6");
    OnlineUserRecord* leaving = &AddAndNotify(*n, kUserOffline, "cid", "10.0.0.7");
    old->stateSince = refreshed->stateSince = leaving->stateSince = clock.Now();
    const std::uint64_t expiredBefore = Statistics().recordsExpired.load();
    n->RetranPass(clock.Now() + 3599);
    EXPECT_TRUE(InTable(*n, old));
    refreshed->stateSince = clock.Now() + 1800;  // a later logon of the same user at the same address
    n->RetranPass(clock.Now() + 3600);
    EXPECT_FALSE(InTable(*n, old));
    EXPECT_TRUE(InTable(*n, refreshed));
    EXPECT_EQ(Statistics().recordsExpired.load() - expiredBefore, 1u);
    EXPECT_EQ(env.Count("[INF]User (ann) from 10.0.0.5 has had no logon for 1 hours; record removed until the next "
                        "logon."),
              1u);
    // Nothing is sent for a forgotten record: the gateways keep it until their own time-out.
    gw.DrainAll();
    n->RetranPass(clock.Now() + 5400);
    EXPECT_FALSE(InTable(*n, refreshed));
    EXPECT_TRUE(gw.DrainAll().empty());

    // 0 keeps an online record until its logoff.
    s.onlineRecordMaxAge = 0;
    auto keeping = std::make_unique<GatewayNotifier>(s, table);
    OnlineUserRecord* kept = &AddAndNotify(*keeping, kUserOnline, "dan", "10.0.0.8");
    kept->stateSince = clock.Now();
    keeping->RetranPass(clock.Now() + 10 * 365 * 86400LL);
    EXPECT_TRUE(InTable(*keeping, kept));
}

TEST_F(Notify, OnlineRecordsAreRepeatedButNeverRemoved) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 1, 0, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord* online = &AddAndNotify(*n, kUserOnline);
    RunPassesUntil(*n, 10);
    auto ds = gw.DrainAll();
    ASSERT_EQ(ds.size(), 2u);  // MessageTimeout 0: the repetition follows at the next pass
    DecodedGatewayMessage m = Decode(ds[0], kEncryptGeneral);
    EXPECT_EQ(m.type, GatewayMessageType::Online);
    EXPECT_EQ(m.adPath, "OU=Staff,DC=corp,DC=com");
    EXPECT_TRUE(InTable(*n, online));
}

TEST_F(Notify, RetranTimesZeroSendsOnceAndTheNextPassRemovesTheOfflineRecord) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 0, 5, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord* offline = &AddAndNotify(*n, kUserOffline);
    EXPECT_TRUE(InTable(*n, offline));
    n->RetranPass(clock.Now());
    EXPECT_FALSE(InTable(*n, offline));
    RunPassesUntil(*n, 20);
    EXPECT_EQ(gw.DrainAll().size(), 1u);
}

TEST_F(Notify, RetranTimes255EndsAfter256Datagrams) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 255, 0, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord* offline = &AddAndNotify(*n, kUserOffline);
    std::size_t received = 0;
    for (int pass = 0; pass < 300; ++pass) {
        n->RetranPass(clock.Now());
        if (pass % 50 == 0) received += gw.DrainAll().size();
    }
    received += gw.DrainAll().size();
    EXPECT_EQ(received, 256u);
    EXPECT_FALSE(InTable(*n, offline));
}

TEST_F(Notify, ALateConfirmationOfARepeatedNumberConfirmsNothing) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptEnhanced, 3, 5, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord& r = AddAndNotify(*n, kUserOnline);
    RunPassesUntil(*n, 5);  // the repetition carries number 2
    ASSERT_EQ(Sequences(gw.DrainAll(), kEncryptEnhanced), (std::vector<std::uint32_t>{1, 2}));

    auto late = SealedResponse(1, "login OK", kEncryptEnhanced);
    n->HandleResponse(late.data(), late.size(), kLoopback);
    EXPECT_EQ(r.status[0], kDeliveryAwaiting);
    // Not logged as a confirmation: a recorded answer sent again must not look like one.
    EXPECT_EQ(env.Count("[INF]The gateway (0x7F000001) confirms that the user is online successfully."), 0u);
    EXPECT_EQ(env.Count("[INF]The gateway (0x7F000001) answered a notification that is no longer awaited."), 1u);

    auto current = SealedResponse(2, "login OK", kEncryptEnhanced);
    n->HandleResponse(current.data(), current.size(), kLoopback);
    EXPECT_EQ(r.status[0], kDeliveryConfirmed);
    RunPassesUntil(*n, 30);
    EXPECT_TRUE(gw.DrainAll().empty());  // confirmed: no more repetitions
}

TEST_F(Notify, ResponsesAreMatchedByNumberAloneAndUnknownTextsOnlyLogged) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 3, 5, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord& online = AddAndNotify(*n, kUserOnline, "ann", "10.0.0.5");
    OnlineUserRecord& offline = AddAndNotify(*n, kUserOffline, "bob", "10.0.0.6");
    gw.DrainAll();

    auto unknown = SealedResponse(1, "login OKAY", kEncryptGeneral);
    n->HandleResponse(unknown.data(), unknown.size(), kLoopback);
    EXPECT_EQ(online.status[0], kDeliveryAwaiting);
    EXPECT_EQ(env.Count("[INF]Unknown response from gateway (0x7F000001)."), 1u);

    // "logout OK" for the online record's number still confirms it: the wording is not compared.
    auto logout = SealedResponse(1, "logout OK", kEncryptGeneral);
    n->HandleResponse(logout.data(), logout.size(), kLoopback);
    EXPECT_EQ(online.status[0], kDeliveryConfirmed);
    EXPECT_EQ(offline.status[0], kDeliveryAwaiting);
    EXPECT_EQ(env.Count("[INF]The gateway (0x7F000001) confirms that the user is offline successfully."), 1u);

    // Undecryptable from a gateway, or from an address that is no gateway: counted and dropped,
    // and however many arrive, one line each until the limiter's interval has passed.
    env.Log().Clear();
    const std::uint64_t droppedBefore = Statistics().droppedForeignResponse.load();
    std::vector<std::uint8_t> junk(13, 0xAB);
    auto good = SealedResponse(2, "logout OK", kEncryptGeneral);
    for (int i = 0; i < 1000; ++i) {
        n->HandleResponse(junk.data(), junk.size(), kLoopback);
        n->HandleResponse(good.data(), good.size(), 0x7F000002);
    }
    EXPECT_EQ(offline.status[0], kDeliveryAwaiting);
    EXPECT_EQ(Statistics().droppedForeignResponse.load() - droppedBefore, 2000u);
    EXPECT_EQ(env.Log().Text(),
              "[INF]Receive gateway (0x7F000001) response message.\n"
              "[ERR]Dropped a datagram on the gateway socket from 0x7F000002, which is no configured gateway.\n");
    // A gateway's real answer still gets through, and the count of what was left out follows.
    clock.SleepMs(61'000);
    n->HandleResponse(junk.data(), junk.size(), kLoopback);
    EXPECT_EQ(env.Count("[INF]The next message was repeated 999 times since it was last written; those were counted, "
                        "not written."),
              1u);
}

TEST_F(Notify, TwoEntriesWithOneAddressProcessAResponseOnceEach) {
    FakeGateway a, b;
    auto n = Make(MakeSettings(kEncryptGeneral, 3, 5, {{"127.0.0.1", a.Port()}, {"127.0.0.1", b.Port()}}));
    OnlineUserRecord& r = AddAndNotify(*n, kUserOnline);
    auto resp = SealedResponse(2, "login OK", kEncryptGeneral);
    n->HandleResponse(resp.data(), resp.size(), kLoopback);
    EXPECT_EQ(env.Count("[INF]Receive gateway (0x7F000001) response message."), 1u);
    EXPECT_EQ(env.Count("[INF]The gateway (0x7F000001) confirms that the user is online successfully."), 2u);
    EXPECT_EQ(r.status[0], kDeliveryAwaiting);
    EXPECT_EQ(r.status[1], kDeliveryConfirmed);
}

TEST_F(Notify, OfflineRecordStaysUntilTheSilentSecondGatewayIsExhausted) {
    FakeGateway answering;
    FakeGateway silent2(0x7F000002);  // a second loopback address, so the addresses differ
    auto n2 = Make(MakeSettings(kEncryptEnhanced, 2, 5,
                                {{"127.0.0.1", answering.Port()}, {"127.0.0.2", silent2.Port()}}));
    OnlineUserRecord* r = &AddAndNotify(*n2, kUserOffline);
    auto firstToAnswering = answering.DrainAll();
    ASSERT_EQ(firstToAnswering.size(), 1u);
    auto resp = SealedResponse(Decode(firstToAnswering[0], kEncryptEnhanced).sequence, "logout OK", kEncryptEnhanced);
    n2->HandleResponse(resp.data(), resp.size(), kLoopback);
    ASSERT_EQ(r->status[0], kDeliveryConfirmed);

    RunPassesUntil(*n2, 9);
    EXPECT_TRUE(InTable(*n2, r));
    RunPassesUntil(*n2, 10);  // the third and last datagram to the silent gateway
    EXPECT_FALSE(InTable(*n2, r));
    EXPECT_TRUE(answering.DrainAll().empty());
    EXPECT_EQ(silent2.DrainAll().size(), 3u);
    EXPECT_EQ(env.Count("[INF]Sending user information to the gateway (0x7F000002)."), 3u);
}

TEST_F(Notify, UnknownEncryptTypeSendsNothingButCountsAttempts) {
    FakeGateway gw;
    auto n = Make(MakeSettings(2, 1, 0, {{"127.0.0.1", gw.Port()}}));
    OnlineUserRecord* r = &AddAndNotify(*n, kUserOffline);
    EXPECT_EQ(r->status[0], kDeliveryAwaiting);
    EXPECT_EQ(r->sendCount[0], 1);
    EXPECT_EQ(r->Sequence(0), 1u);
    n->RetranPass(clock.Now());  // MessageTimeout 0: the one repetition is due at once
    EXPECT_EQ(n->LastSequence(), 2u);
    EXPECT_FALSE(InTable(*n, r));  // exhausted in the same pass
    EXPECT_TRUE(gw.DrainAll().empty());
    // No send line and no error line: only the removal.
    EXPECT_EQ(env.Log().Text(), "[INF]User (alice) from 10.1.2.3 is offline on every gateway; record removed.\n");
}

TEST_F(Notify, PositionsWithoutAUsableAddressFailHarmlesslyAndCount) {
    FakeGateway gw;
    WorkerSettings s = MakeSettings(kEncryptGeneral, 0, 5, {{"127.0.0.1", gw.Port()}});
    s.firewallNum = 3;
    s.gateways[2].ip = "not-an-address";
    auto n = Make(s);
    OnlineUserRecord& r = AddAndNotify(*n, kUserOffline);
    EXPECT_EQ(gw.DrainAll().size(), 1u);
    for (unsigned p = 0; p < 3; ++p) {
        EXPECT_EQ(r.status[p], kDeliveryAwaiting) << p;
        EXPECT_EQ(r.sendCount[p], 1) << p;
    }
    EXPECT_EQ(r.Sequence(2), 3u);
    EXPECT_EQ(env.Count("[ERR]Send notify to device failed. ErrorCode:" + std::to_string(EDESTADDRREQ) + "."), 1u);
    EXPECT_EQ(env.Count("[ERR]Send notify to device failed. ErrorCode:" + std::to_string(EINVAL) + "."), 1u);
    // A position is never addressed past the five slots.
    EXPECT_EQ(n->SendUserInfo(r, r.state, kGatewayPositions), -1);
    EXPECT_EQ(n->LastSequence(), 3u);
    n->RetranPass(clock.Now());
    EXPECT_EQ(table.Size(), 0u);
}

TEST_F(Notify, FirewallNumAboveFiveMeansNoGateway) {
    FakeGateway gw;
    WorkerSettings s = MakeSettings(kEncryptGeneral, 3, 5, {{"127.0.0.1", gw.Port()}});
    s.firewallNum = 6;
    auto n = Make(s);
    EXPECT_EQ(n->PositionCount(), 0u);
    OnlineUserRecord* r = &AddAndNotify(*n, kUserOffline);
    EXPECT_EQ(n->LastSequence(), 0u);
    n->RetranPass(clock.Now());  // nothing to wait for: the offline record goes
    EXPECT_FALSE(InTable(*n, r));
    EXPECT_TRUE(gw.DrainAll().empty());
}

TEST_F(Notify, ANegativeAgeNeverQualifiesForARepetition) {
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 3, 0, {{"127.0.0.1", gw.Port()}}));
    AddAndNotify(*n, kUserOnline);
    gw.DrainAll();
    n->RetranPass(kStart - 1);  // the clock went back
    EXPECT_TRUE(gw.DrainAll().empty());
    n->RetranPass(kStart);
    EXPECT_EQ(gw.DrainAll().size(), 1u);
}

TEST_F(Notify, ProcessWideFunctionsUseTheInstalledNotifier) {
    OnlineUserRecord loose;
    loose.state = kUserOnline;
    EXPECT_EQ(SendUserInfo(loose, kUserOnline, 0), -1);  // none installed yet
    FakeGateway gw;
    auto n = Make(MakeSettings(kEncryptGeneral, 0, 5, {{"127.0.0.1", gw.Port()}}));
    SetGatewayNotifier(n.get());
    loose.SetUserName("carl");
    loose.SetAddress("10.9.9.9");
    NotifyAllGateways(loose);  // a log-query record, never in a table
    SetGatewayNotifier(nullptr);
    auto ds = gw.DrainAll();
    ASSERT_EQ(ds.size(), 1u);
    EXPECT_EQ(Decode(ds[0], kEncryptGeneral).user, "carl");
}

// The real threads over loopback: the gateway answers from another port of its address.
TEST(NotifyThreads, ResponseFromAnotherPortConfirmsAndRetranThreadRemovesTheRecord) {
    ManualClock clock{kStart, /*gated=*/true};
    ScopedTestEnvironment env(&clock);
    OnlineUserTable table;
    FakeGateway gw;
    FakeGateway replyFrom;  // same address, different port
    GatewayNotifier n(MakeSettings(kEncryptEnhanced, 3, 5, {{"127.0.0.1", gw.Port()}}), table);
    ASSERT_TRUE(n.OpenSocket());

    StoppableThread recv, retran;
    ManualClock::ReleaseOnExit releaseFirst{clock};
    ASSERT_TRUE(StartRecvResponseThread(n, recv));
    OnlineUserRecord* r = &AddAndNotify(n, kUserOffline);
    ASSERT_TRUE(StartRetranThread(n, retran));
    ASSERT_TRUE(clock.WaitForBlock(0));  // the first pass ran; the thread sleeps

    auto d = gw.Receive();
    ASSERT_TRUE(d.has_value());
    ASSERT_NE(d->from.port, replyFrom.Port());
    replyFrom.Send(SealedResponse(Decode(*d, kEncryptEnhanced).sequence, "logout OK", kEncryptEnhanced), d->from);
    ASSERT_TRUE(testing::WaitFor([&] {
        std::lock_guard<std::mutex> lock(table.Mutex());
        return r->status[0] == kDeliveryConfirmed;
    }));
    EXPECT_TRUE(InTable(n, r));
    // The next pass finds every position confirmed.
    std::uint64_t blocks = clock.Blocks();
    clock.Advance(200);
    ASSERT_TRUE(clock.WaitForBlock(blocks));
    EXPECT_FALSE(InTable(n, r));

    clock.Release();
    recv.Stop();
    retran.Stop();
    EXPECT_EQ(env.Count("[INF]Receive gateway (0x7F000001) response message."), 1u);
    EXPECT_EQ(env.Count("[INF]The gateway (0x7F000001) confirms that the user is offline successfully."), 1u);
}

TEST(NotifyThreads, OversizedDatagramsNeitherDelayAConfirmationNorFillTheLog) {
    ManualClock clock{kStart};
    ScopedTestEnvironment env(&clock);
    OnlineUserTable table;
    FakeGateway gw;
    GatewayNotifier n(MakeSettings(kEncryptGeneral, 3, 5, {{"127.0.0.1", gw.Port()}}), table);
    ASSERT_TRUE(n.OpenSocket());
    OnlineUserRecord* r = &AddAndNotify(n, kUserOnline);
    auto d = gw.Receive();
    ASSERT_TRUE(d.has_value());
    const std::uint64_t droppedBefore = Statistics().droppedForeignResponse.load();
    // Queued before the thread starts, so all of them stand before the answer.
    for (int i = 0; i < 60; ++i) gw.Send(std::vector<std::uint8_t>(300, 0x22), d->from);
    gw.Send(SealedResponse(1, "login OK", kEncryptGeneral), d->from);
    StoppableThread recv;
    ASSERT_TRUE(StartRecvResponseThread(n, recv));
    ASSERT_TRUE(testing::WaitFor([&] {
        std::lock_guard<std::mutex> lock(table.Mutex());
        return r->status[0] == kDeliveryConfirmed;
    }));
    recv.Stop();
    EXPECT_EQ(clock.VirtualMs(), 0);  // no pause for them: anyone can send them
    EXPECT_EQ(env.Count("[INF]Receive gateway (0x7F000001) response message."), 1u);
    EXPECT_EQ(Statistics().droppedForeignResponse.load() - droppedBefore, 60u);
    EXPECT_EQ(env.Count("[ERR]Dropped a datagram of 256 bytes or more on the gateway socket from 0x7F000001."), 1u);
}

}  // namespace
}  // namespace orvane
