#pragma once
// The online-user record (one user/address pair with its per-gateway delivery state) and the
// online-user table of client-report mode. The table keeps records in the order they were
// added and indexes them twice, so that neither a gateway confirmation nor a logon lookup
// walks the whole table:
//  - by sequence number: the record and position that last sent that number;
//  - by (user name ignoring ASCII case, domain, address): the records FindOnlineUser matches.
// Both indexes follow the record's own fields, which is why the indexed fields (user name,
// domain, address, sequence) are changed only through the record's setters.
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/config_types.h"

namespace orvane {

// One delivery slot per entry of the gateway table.
constexpr unsigned kGatewayPositions = kMaxGateways;

// Record state; also the kind of notification sent (online for 1, offline otherwise).
constexpr std::uint8_t kUserFresh = 0;
constexpr std::uint8_t kUserOnline = 1;
constexpr std::uint8_t kUserOffline = 2;

// Per-position delivery status.
constexpr std::uint8_t kDeliveryNone = 0;
constexpr std::uint8_t kDeliveryAwaiting = 1;
constexpr std::uint8_t kDeliveryConfirmed = 2;

class OnlineUserTable;
struct OnlineUserRecord;

// Told of every record a decision changed and of every record removed, with the user-table lock
// held (the worker's state store queues them for its next write). Must not block.
class OnlineUserObserver {
public:
    virtual ~OnlineUserObserver() = default;
    virtual void Changed(const OnlineUserRecord& record) = 0;
    virtual void Removed(const OnlineUserRecord& record) = 0;
};

struct OnlineUserRecord {
    OnlineUserRecord() = default;
    OnlineUserRecord(const OnlineUserRecord&) = delete;
    OnlineUserRecord& operator=(const OnlineUserRecord&) = delete;
    ~OnlineUserRecord() = default;

    std::uint8_t state = kUserFresh;
    std::array<std::uint8_t, kGatewayPositions> status{};
    // Wider than the 8 bits of the record layout so that RetranTimes 255 still ends after
    // 256 datagrams instead of the count wrapping to 0 and repeating for ever.
    std::array<std::uint16_t, kGatewayPositions> sendCount{};
    std::string computer;
    // [0] is the AD path (sent with online notifications); [1] and [2] stay empty.
    std::array<std::string, 3> organisation;
    std::array<std::int64_t, kGatewayPositions> sendTime{};
    std::int64_t lastLogonTime = 0;
    // When the logon or logoff that set `state` was decided (seconds since 1970): the record's age.
    std::int64_t stateSince = 0;
    // Positions whose repetitions ran out unconfirmed and were counted as given up.
    std::uint8_t givenUpMask = 0;
    // Positions whose own member groups the user is in none of: they hear nothing of the record.
    std::uint8_t withheldMask = 0;

    const std::string& UserName() const { return userName_; }
    const std::string& Domain() const { return domain_; }
    const std::string& Address() const { return address_; }
    const std::string& AdPath() const { return organisation[0]; }
    // Set the identity texts; a record in a table is re-indexed (caller holds the table lock).
    void SetUserName(std::string value);
    void SetDomain(std::string value);
    void SetAddress(std::string value);

    // Sequence number of the last datagram sent for a position (0 before any).
    std::uint32_t Sequence(unsigned position) const { return sequence_[position]; }
    // Records that `number` was just sent for `position`: the number the position held before
    // confirms nothing from now on.
    void AssignSequence(unsigned position, std::uint32_t number);

    bool InTable() const { return owner_ != nullptr; }

private:
    friend class OnlineUserTable;
    std::string userName_;
    std::string domain_;
    std::string address_;
    std::array<std::uint32_t, kGatewayPositions> sequence_{};
    std::uint8_t sentMask_ = 0;  // positions that have sent (indexed while in a table)
    OnlineUserTable* owner_ = nullptr;
    std::uint64_t order_ = 0;  // rises with every append: table order
    std::list<std::unique_ptr<OnlineUserRecord>>::iterator self_;
    std::string identityKey_;
};

// The table and its lock (the user-table lock, which also guards every record's delivery
// fields and the message sequence counter). Every member except Mutex() requires the lock.
class OnlineUserTable {
public:
    OnlineUserTable();
    ~OnlineUserTable();
    OnlineUserTable(const OnlineUserTable&) = delete;
    OnlineUserTable& operator=(const OnlineUserTable&) = delete;

    std::mutex& Mutex() { return mutex_; }

    // Null for none. Set before the threads that change the table start.
    void SetObserver(OnlineUserObserver* observer) { observer_ = observer; }
    // A decision changed `record` (or added it).
    void Changed(const OnlineUserRecord& record) {
        if (observer_) observer_->Changed(record);
    }

    // Appends a record; the table owns it from now on and its address stays valid until Remove.
    OnlineUserRecord& Add(std::unique_ptr<OnlineUserRecord> record);
    // Removes and frees a record of this table; returns the record that followed it, or null.
    OnlineUserRecord* Remove(OnlineUserRecord& record);

    // Table-order traversal: First(), then Next(record) until null.
    OnlineUserRecord* First();
    OnlineUserRecord* Next(const OnlineUserRecord& record);
    std::size_t Size() const { return records_.size(); }

    // The first record in table order whose user name equals userName ignoring ASCII case and
    // whose domain and address equal domain and address exactly; records in any state match.
    OnlineUserRecord* FindOnlineUser(std::string_view userName, std::string_view address, std::string_view domain);

    // The first position, in table order and then position order among positions below
    // positionCount, whose last sent number is `number`: status := confirmed. A number that a
    // later send has superseded, or that was never sent, changes nothing. True when one was found;
    // `newlyConfirmed` (when given) tells whether it was not confirmed before.
    bool ConfirmSequence(std::uint32_t number, unsigned positionCount, bool* newlyConfirmed = nullptr);

private:
    friend struct OnlineUserRecord;
    void IndexSequence(OnlineUserRecord& record, unsigned position);
    void UnindexSequence(OnlineUserRecord& record, unsigned position);
    void IndexIdentity(OnlineUserRecord& record);
    void UnindexIdentity(OnlineUserRecord& record);
    void Reindex(OnlineUserRecord& record);

    // Open addressing over contiguous slots: answers to numbers sent close together touch
    // neighbouring memory, so a confirmation costs about the same at a thousand records as
    // at a hundred thousand. A number lives in one position except after the 32-bit counter has
    // gone round; then several slots hold it and the first holder in table order wins,
    // exactly as a walk of the table would find it.
    class SequenceIndex;

    std::mutex mutex_;
    OnlineUserObserver* observer_ = nullptr;
    std::list<std::unique_ptr<OnlineUserRecord>> records_;
    std::uint64_t nextOrder_ = 1;
    std::unique_ptr<SequenceIndex> bySequence_;
    // Records with the same identity, in table order (normally just one).
    std::unordered_map<std::string, std::vector<OnlineUserRecord*>> byIdentity_;
};

// The process's table (client-report mode).
OnlineUserTable& GetOnlineUserTable();

}  // namespace orvane
