#include "worker/users/online_users.h"

#include <algorithm>
#include <cstring>

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
    for (char c : userName) key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    key.append(domain);
    key.append(address);
    return key;
}

}  // namespace

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

OnlineUserTable::OnlineUserTable() = default;

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

bool OnlineUserTable::ConfirmSequence(std::uint32_t number, unsigned positionCount) {
    auto [begin, end] = bySequence_.equal_range(number);
    const Slot* best = nullptr;
    for (auto it = begin; it != end; ++it) {
        const Slot& s = it->second;
        if (s.position >= positionCount) continue;
        if (!best || s.record->order_ < best->record->order_ ||
            (s.record->order_ == best->record->order_ && s.position < best->position)) {
            best = &s;
        }
    }
    if (!best) return false;
    best->record->status[best->position] = kDeliveryConfirmed;
    return true;
}

void OnlineUserTable::IndexSequence(OnlineUserRecord& record, unsigned position) {
    if (record.sentMask_ & (1u << position)) bySequence_.emplace(record.sequence_[position], Slot{&record, position});
}

void OnlineUserTable::UnindexSequence(OnlineUserRecord& record, unsigned position) {
    if (!(record.sentMask_ & (1u << position))) return;
    auto [begin, end] = bySequence_.equal_range(record.sequence_[position]);
    for (auto it = begin; it != end; ++it) {
        if (it->second.record == &record && it->second.position == position) {
            bySequence_.erase(it);
            return;
        }
    }
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
