#include "worker/users/online_users.h"

#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <vector>

namespace orvane {
namespace {

std::unique_ptr<OnlineUserRecord> MakeRecord(const std::string& user, const std::string& domain,
                                             const std::string& address) {
    auto r = std::make_unique<OnlineUserRecord>();
    r->SetUserName(user);
    r->SetDomain(domain);
    r->SetAddress(address);
    return r;
}

// What confirming a number means, written as the plain walk of the table.
std::pair<OnlineUserRecord*, unsigned> WalkForSequence(OnlineUserTable& table, std::uint32_t number,
                                                       unsigned positions) {
    for (OnlineUserRecord* r = table.First(); r; r = table.Next(*r)) {
        for (unsigned p = 0; p < positions; ++p) {
            if (r->Sequence(p) == number) return {r, p};
        }
    }
    return {nullptr, 0};
}

OnlineUserRecord* WalkForIdentity(OnlineUserTable& table, std::string_view user, std::string_view address,
                                  std::string_view domain) {
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return out;
    };
    for (OnlineUserRecord* r = table.First(); r; r = table.Next(*r)) {
        if (lower(r->UserName()) == lower(user) && r->Domain() == domain && r->Address() == address) return r;
    }
    return nullptr;
}

TEST(OnlineUserTable, FindFollowsTheMatchingRules) {
    OnlineUserTable table;
    std::lock_guard<std::mutex> lock(table.Mutex());
    OnlineUserRecord& ann = table.Add(MakeRecord("Ann", "dc=corp,dc=com", "10.0.0.5"));
    OnlineUserRecord& ann6 = table.Add(MakeRecord("ann", "dc=corp,dc=com", "10.0.0.6"));

    // User names ignore case; domain and address are exact.
    EXPECT_EQ(table.FindOnlineUser("ann", "10.0.0.5", "dc=corp,dc=com"), &ann);
    EXPECT_EQ(table.FindOnlineUser("ANN", "10.0.0.5", "dc=corp,dc=com"), &ann);
    EXPECT_EQ(table.FindOnlineUser("ann", "10.0.0.6", "dc=corp,dc=com"), &ann6);
    EXPECT_EQ(table.FindOnlineUser("ann", "10.0.0.5", "DC=corp,DC=com"), nullptr);
    EXPECT_EQ(table.FindOnlineUser("ann", "10.0.0.50", "dc=corp,dc=com"), nullptr);
    // Only ASCII letters fold: "É" and "é" are different names.
    table.Add(MakeRecord("\xC3\x89ric", "d", "10.0.0.7"));
    EXPECT_EQ(table.FindOnlineUser("\xC3\xA9ric", "10.0.0.7", "d"), nullptr);
    // Texts that would run together if simply joined stay apart.
    table.Add(MakeRecord("ab", "c", "1.1.1.1"));
    EXPECT_EQ(table.FindOnlineUser("a", "1.1.1.1", "bc"), nullptr);
}

TEST(OnlineUserTable, FindReturnsTheFirstInTableOrderAndFollowsChanges) {
    OnlineUserTable table;
    std::lock_guard<std::mutex> lock(table.Mutex());
    OnlineUserRecord& first = table.Add(MakeRecord("bob", "d", "10.0.0.1"));
    OnlineUserRecord& second = table.Add(MakeRecord("BOB", "d", "10.0.0.1"));
    OnlineUserRecord& other = table.Add(MakeRecord("bob", "d", "10.0.0.2"));
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.1", "d"), &first);

    // The older record moves onto the key of a newer one: table order still decides.
    other.SetAddress("10.0.0.1");
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.1", "d"), &first);
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.2", "d"), nullptr);
    first.SetAddress("10.0.0.9");
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.1", "d"), &second);
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.9", "d"), &first);
    // A change of case only keeps the record where it is.
    second.SetUserName("bob");
    EXPECT_EQ(table.FindOnlineUser("Bob", "10.0.0.1", "d"), &second);

    table.Remove(second);
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.1", "d"), &other);
    table.Remove(other);
    EXPECT_EQ(table.FindOnlineUser("bob", "10.0.0.1", "d"), nullptr);
    EXPECT_EQ(table.Size(), 1u);
}

TEST(OnlineUserTable, RemovalReturnsTheNextRecordAndKeepsOthersInPlace) {
    OnlineUserTable table;
    std::lock_guard<std::mutex> lock(table.Mutex());
    OnlineUserRecord& a = table.Add(MakeRecord("a", "d", "1"));
    OnlineUserRecord& b = table.Add(MakeRecord("b", "d", "2"));
    OnlineUserRecord& c = table.Add(MakeRecord("c", "d", "3"));
    EXPECT_TRUE(b.InTable());
    EXPECT_EQ(table.Remove(b), &c);
    EXPECT_EQ(table.Next(a), &c);
    EXPECT_EQ(table.Remove(c), nullptr);
    EXPECT_EQ(table.First(), &a);
    EXPECT_EQ(a.UserName(), "a");  // untouched by the removals around it
}

TEST(OnlineUserTable, ASupersededNumberConfirmsNothing) {
    OnlineUserTable table;
    std::lock_guard<std::mutex> lock(table.Mutex());
    OnlineUserRecord& r = table.Add(MakeRecord("ann", "d", "10.0.0.5"));
    r.AssignSequence(0, 7);
    r.status[0] = kDeliveryAwaiting;
    r.AssignSequence(0, 8);  // repeated: the position now holds 8
    EXPECT_FALSE(table.ConfirmSequence(7, 1));
    EXPECT_EQ(r.status[0], kDeliveryAwaiting);
    EXPECT_TRUE(table.ConfirmSequence(8, 1));
    EXPECT_EQ(r.status[0], kDeliveryConfirmed);
    // A position beyond the gateway count is never looked at.
    r.AssignSequence(3, 9);
    EXPECT_FALSE(table.ConfirmSequence(9, 3));
    // A number sent before the record joined the table is found once it is in.
    auto loose = MakeRecord("cy", "d", "10.0.0.8");
    loose->AssignSequence(1, 40);
    OnlineUserRecord& joined = table.Add(std::move(loose));
    EXPECT_TRUE(table.ConfirmSequence(40, 2));
    EXPECT_EQ(joined.status[1], kDeliveryConfirmed);
    // After removal the numbers are gone.
    table.Remove(joined);
    EXPECT_FALSE(table.ConfirmSequence(40, 2));
}

// The index against the plain walk, through adds, sends, removals and renames.
template <class NextNumber>
void CheckIndexesAgainstWalk(NextNumber nextNumber, std::uint32_t seed) {
    OnlineUserTable table;
    std::lock_guard<std::mutex> lock(table.Mutex());
    std::mt19937 rng(seed);
    const unsigned positions = 3;
    const char* users[] = {"ann", "Ann", "bob", "cy"};
    const char* addresses[] = {"10.0.0.1", "10.0.0.2"};
    std::vector<std::uint32_t> sent;
    auto number = [&] {
        sent.push_back(nextNumber(rng));
        return sent.back();
    };
    int confirmations = 0;

    for (int step = 0; step < 8000; ++step) {
        int action = static_cast<int>(rng() % 10);
        if (action < 2 || table.Size() == 0) {
            OnlineUserRecord& r = table.Add(MakeRecord(users[rng() % 4], "d", addresses[rng() % 2]));
            for (unsigned p = 0; p < positions; ++p) r.AssignSequence(p, number());
        } else {
            std::size_t k = rng() % table.Size();
            OnlineUserRecord* r = table.First();
            while (k--) r = table.Next(*r);
            if (action < 5) {
                r->AssignSequence(rng() % positions, number());
            } else if (action < 6) {
                table.Remove(*r);
            } else if (action < 7) {
                r->SetUserName(users[rng() % 4]);
                r->SetAddress(addresses[rng() % 2]);
            } else {
                // Mostly numbers sent lately, some long superseded ones.
                std::uint32_t n = sent.empty() ? 1 : sent[sent.size() - 1 - rng() % std::min<std::size_t>(sent.size(), 200)];
                if (rng() % 4 == 0 && !sent.empty()) n = sent[rng() % sent.size()];
                auto expected = WalkForSequence(table, n, positions);
                for (OnlineUserRecord* x = table.First(); x; x = table.Next(*x)) x->status.fill(kDeliveryAwaiting);
                bool found = table.ConfirmSequence(n, positions);
                ASSERT_EQ(found, expected.first != nullptr) << "number " << n;
                if (found) {
                    ++confirmations;
                    ASSERT_EQ(expected.first->status[expected.second], kDeliveryConfirmed);
                    int confirmed = 0;
                    for (OnlineUserRecord* x = table.First(); x; x = table.Next(*x)) {
                        for (unsigned p = 0; p < positions; ++p) confirmed += x->status[p] == kDeliveryConfirmed;
                    }
                    ASSERT_EQ(confirmed, 1);
                }
            }
        }
        const char* u = users[rng() % 4];
        const char* a = addresses[rng() % 2];
        ASSERT_EQ(table.FindOnlineUser(u, a, "d"), WalkForIdentity(table, u, a, "d"));
    }
    EXPECT_GT(confirmations, 100);
}

TEST(OnlineUserTable, IndexesAgreeWithTheTableWalk) {
    // Numbers from a small range, as if the 32-bit counter had gone round: one number then
    // sits in several positions and the first in table order must win.
    CheckIndexesAgainstWalk([](std::mt19937& rng) { return static_cast<std::uint32_t>(1 + rng() % 40); }, 1);
    // The real counter: consecutive numbers, going round 2^32 on the way.
    std::uint32_t counter = 0xFFFFF000u;
    CheckIndexesAgainstWalk([&counter](std::mt19937&) { return ++counter; }, 2);
    // Numbers spread over the whole range.
    CheckIndexesAgainstWalk([](std::mt19937& rng) { return static_cast<std::uint32_t>(rng()); }, 3);
}

}  // namespace
}  // namespace orvane
