#pragma once
// Remembers the reports already accepted so that a repeat of one is dropped before it is
// decided: the reporter's own repetitions (one logon decided once) and a recorded report sent
// again by someone else, from any address. A report is named by a digest of its encrypted body,
// not of its IV: changing IV bytes changes the first decrypted block at will, so a replay with a
// doctored IV still carries a known body. Used by the processing thread alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <unordered_set>

namespace orvane {

struct ReportDigest {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const ReportDigest& other) const { return bytes == other.bytes; }
};

// The first 16 bytes of SHA-256 over the datagram's body (the bytes after the 36-byte header).
// `length` is the datagram's length; a datagram no longer than the header gives the digest of
// nothing.
ReportDigest DigestReportBody(const std::uint8_t* datagram, std::size_t length);

class ReplayCache {
public:
    // Reports accepted within one anti-replay window that are remembered; beyond it the oldest is
    // forgotten first (65,536 is 36 reports a second for 30 minutes, about 6 MiB).
    static constexpr std::size_t kMaxReports = 65536;
    // Logoffs are remembered for a day, so an old logoff cannot end a later session the same
    // day; a site has far fewer of them than this.
    static constexpr std::size_t kMaxLogoffs = 65536;
    static constexpr std::int64_t kLogoffSeconds = 24 * 60 * 60;
    // The window when AntiReplayTime is 0.
    static constexpr std::int64_t kDefaultWindowSeconds = 30 * 60;

    // `windowSeconds`: how long an accepted report is remembered (AntiReplayTime; 0 gives 30
    // minutes). A logoff is remembered for the longer of that and a day.
    explicit ReplayCache(std::uint32_t windowSeconds, std::size_t maxReports = kMaxReports,
                         std::size_t maxLogoffs = kMaxLogoffs);

    // True when a report with this digest was accepted within its time; forgets what has expired.
    bool Seen(const ReportDigest& digest, std::int64_t now);
    // Remembers an accepted report. Only reports not Seen are remembered. Returns when it will be
    // forgotten (what the state store keeps), 0 when it is not remembered.
    std::int64_t Remember(const ReportDigest& digest, bool logoff, std::int64_t now);
    // Takes back a digest the state store kept, with its expiry; call in expiry order.
    void Restore(const ReportDigest& digest, bool logoff, std::int64_t expires, std::int64_t now);
    std::size_t Size() const { return reports_.Size() + logoffs_.Size(); }

private:
    struct DigestHash {
        std::size_t operator()(const ReportDigest& d) const;
    };
    using DigestSet = std::unordered_set<ReportDigest, DigestHash>;
    // Digests in the order remembered, which is also the order they expire in (one lifetime
    // each). Both tiers share one set, so a look-up costs one probe however full they are.
    class Tier {
    public:
        Tier(DigestSet& set, std::int64_t lifetime, std::size_t cap) : set_(set), lifetime_(lifetime), cap_(cap) {}
        // Returns the expiry, 0 when not added.
        std::int64_t Add(const ReportDigest& digest, std::int64_t now) { return AddUntil(digest, now + lifetime_); }
        std::int64_t AddUntil(const ReportDigest& digest, std::int64_t expires);
        void Expire(std::int64_t now);
        std::size_t Size() const { return order_.size(); }
        std::int64_t Lifetime() const { return lifetime_; }

    private:
        void DropOldest();
        struct Entry {
            ReportDigest digest;
            std::int64_t expires;
        };
        DigestSet& set_;
        std::int64_t lifetime_;
        std::size_t cap_;
        std::deque<Entry> order_;
    };

    DigestSet set_;
    Tier reports_;
    Tier logoffs_;
};

}  // namespace orvane
