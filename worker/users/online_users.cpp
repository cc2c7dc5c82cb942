#include "worker/users/online_users.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/text.h"

namespace orvane {
namespace {

// User names compare ignoring ASCII case (as the configuration's names do); domain and address
// compare exactly. Lengths go first so that no text can run into the next.
std::string IdentityKey(std::string_view userName, std::string_view domain, std::string_view address) {
    std::string key;
    key.reserve(3 * sizeof(std::uint32_t) + userName.size() + domain.size() + address.size());
    auto appendLength = [&key](std::size_t n) {
        auto v = static_cast<std::uint32_t>(n);
        char bytes[sizeof v];
        std::memcpy(bytes, &v, sizeof v);
        key.append(bytes, sizeof bytes);
    };
    appendLength(userName.size());
    appendLength(domain.size());
    appendLength(address.size());
    AppendLowerAscii(key, userName);
    key.append(domain);
    key.append(address);
    return key;
}

}  // namespace

// Robin Hood open addressing: along a run of occupied slots the entries stay in the order of
// their home slots, so a search stops at the first entry whose home lies beyond its own
// instead of scanning the whole run. That matters because numbers sent one after another have
// neighbouring homes and form long runs.
class OnlineUserTable::SequenceIndex {
public:
    struct Entry {
        OnlineUserRecord* record = nullptr;  // null: free slot
        std::uint32_t number = 0;
        std::uint32_t position = 0;
    };

    void Insert(std::uint32_t number, OnlineUserRecord* record, unsigned position) {
        if ((size_ + 1) * 2 > slots_.size()) Grow();
        Entry e{record, number, position};
        std::size_t i = Home(number);
        for (std::size_t dist = 0;; i = (i + 1) & mask_, ++dist) {
            Entry& slot = slots_[i];
            if (!slot.record) {
                slot = e;
                ++size_;
                return;
            }
            std::size_t slotDist = Distance(slot, i);
            if (slotDist < dist) {
                std::swap(slot, e);
                dist = slotDist;
            }
        }
    }

    void Erase(std::uint32_t number, const OnlineUserRecord* record, unsigned position) {
        std::size_t i = 0;
        bool found = false;
        Scan(number, [&](const Entry& e, std::size_t at) {
            if (!found && e.record == record && e.position == position) {
                i = at;
                found = true;
            }
        });
        if (!found) return;
        // Backward shift: the rest of the run moves one slot towards its homes.
        for (std::size_t j = (i + 1) & mask_; slots_[j].record && Distance(slots_[j], j) > 0; j = (j + 1) & mask_) {
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = Entry{};
        --size_;
    }

    // Calls f(entry, slot) for every entry holding `number`.
    template <class F>
    void Scan(std::uint32_t number, F f) const {
        if (slots_.empty()) return;
        std::size_t i = Home(number);
        for (std::size_t dist = 0; slots_[i].record && Distance(slots_[i], i) >= dist; i = (i + 1) & mask_, ++dist) {
            if (slots_[i].number == number) f(slots_[i], i);
        }
    }

private:
    // Numbers sent one after another get neighbouring homes; the high half is folded in so
    // that numbers far apart with equal low bits do not share a home.
    std::size_t Home(std::uint32_t number) const { return (number ^ (number >> 16)) & mask_; }
    std::size_t Distance(const Entry& e, std::size_t at) const { return (at - Home(e.number)) & mask_; }

    void Grow() {
        std::vector<Entry> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
        mask_ = slots_.size() - 1;
        size_ = 0;
        for (const Entry& e : old) {
            if (e.record) Insert(e.number, e.record, e.position);
        }
    }

    std::vector<Entry> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

void OnlineUserRecord::SetUserName(std::string value) {
    userName_ = std::move(value);
    if (owner_) owner_->Reindex(*this);
}

void OnlineUserRecord::SetDomain(std::string value) {
    domain_ = std::move(value);
    if (owner_) owner_->Reindex(*this);
}

void OnlineUserRecord::SetAddress(std::string value) {
    address_ = std::move(value);
    if (owner_) owner_->Reindex(*this);
}

void OnlineUserRecord::AssignSequence(unsigned position, std::uint32_t number) {
    if (position >= kGatewayPositions) return;
    if (owner_) owner_->UnindexSequence(*this, position);
    sequence_[position] = number;
    sentMask_ = static_cast<std::uint8_t>(sentMask_ | (1u << position));
    if (owner_) owner_->IndexSequence(*this, position);
}

OnlineUserTable::OnlineUserTable() : bySequence_(std::make_unique<SequenceIndex>()) {}

OnlineUserTable::~OnlineUserTable() {
    for (auto& r : records_) r->owner_ = nullptr;
}

OnlineUserRecord& OnlineUserTable::Add(std::unique_ptr<OnlineUserRecord> record) {
    OnlineUserRecord& r = *record;
    records_.push_back(std::move(record));
    r.self_ = std::prev(records_.end());
    r.owner_ = this;
    r.order_ = nextOrder_++;
    IndexIdentity(r);
    // Numbers sent before the record joined the table confirm it like any other.
    for (unsigned p = 0; p < kGatewayPositions; ++p) IndexSequence(r, p);
    return r;
}

OnlineUserRecord* OnlineUserTable::Remove(OnlineUserRecord& record) {
    if (record.owner_ != this) return nullptr;
    if (observer_) observer_->Removed(record);
    for (unsigned p = 0; p < kGatewayPositions; ++p) UnindexSequence(record, p);
    UnindexIdentity(record);
    auto next = records_.erase(record.self_);
    return next == records_.end() ? nullptr : next->get();
}

OnlineUserRecord* OnlineUserTable::First() { return records_.empty() ? nullptr : records_.front().get(); }

OnlineUserRecord* OnlineUserTable::Next(const OnlineUserRecord& record) {
    auto it = std::next(record.self_);
    return it == records_.end() ? nullptr : it->get();
}

OnlineUserRecord* OnlineUserTable::FindOnlineUser(std::string_view userName, std::string_view address,
                                                  std::string_view domain) {
    auto it = byIdentity_.find(IdentityKey(userName, domain, address));
    if (it == byIdentity_.end() || it->second.empty()) return nullptr;
    return it->second.front();
}

bool OnlineUserTable::ConfirmSequence(std::uint32_t number, unsigned positionCount, bool* newlyConfirmed) {
    const SequenceIndex::Entry* best = nullptr;
    bySequence_->Scan(number, [&](const SequenceIndex::Entry& e, std::size_t) {
        if (e.position >= positionCount) return;
        if (!best || e.record->order_ < best->record->order_ ||
            (e.record->order_ == best->record->order_ && e.position < best->position)) {
            best = &e;
        }
    });
    if (!best) return false;
    if (newlyConfirmed) *newlyConfirmed = best->record->status[best->position] != kDeliveryConfirmed;
    best->record->status[best->position] = kDeliveryConfirmed;
    return true;
}

void OnlineUserTable::IndexSequence(OnlineUserRecord& record, unsigned position) {
    if (record.sentMask_ & (1u << position)) bySequence_->Insert(record.sequence_[position], &record, position);
}

void OnlineUserTable::UnindexSequence(OnlineUserRecord& record, unsigned position) {
    if (record.sentMask_ & (1u << position)) bySequence_->Erase(record.sequence_[position], &record, position);
}

void OnlineUserTable::IndexIdentity(OnlineUserRecord& record) {
    record.identityKey_ = IdentityKey(record.userName_, record.domain_, record.address_);
    auto& holders = byIdentity_[record.identityKey_];
    // Keep table order: appends go last, a re-keyed older record goes to its place.
    auto pos = std::upper_bound(holders.begin(), holders.end(), record.order_,
                                [](std::uint64_t order, const OnlineUserRecord* r) { return order < r->order_; });
    holders.insert(pos, &record);
}

void OnlineUserTable::UnindexIdentity(OnlineUserRecord& record) {
    auto it = byIdentity_.find(record.identityKey_);
    if (it == byIdentity_.end()) return;
    auto& holders = it->second;
    holders.erase(std::remove(holders.begin(), holders.end(), &record), holders.end());
    if (holders.empty()) byIdentity_.erase(it);
}

void OnlineUserTable::Reindex(OnlineUserRecord& record) {
    if (IdentityKey(record.userName_, record.domain_, record.address_) == record.identityKey_) return;
    UnindexIdentity(record);
    IndexIdentity(record);
}

OnlineUserTable& GetOnlineUserTable() {
    static OnlineUserTable table;
    return table;
}

}  // namespace orvane
