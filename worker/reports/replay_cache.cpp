#include "worker/reports/replay_cache.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include "common/gateway_message.h"

namespace orvane {

ReportDigest DigestReportBody(const std::uint8_t* datagram, std::size_t length) {
    unsigned char full[SHA256_DIGEST_LENGTH];
    static const std::uint8_t kNothing = 0;
    const bool hasBody = datagram && length > kEnhancedHeaderSize;
    SHA256(hasBody ? datagram + kEnhancedHeaderSize : &kNothing, hasBody ? length - kEnhancedHeaderSize : 0, full);
    ReportDigest digest;
    std::memcpy(digest.bytes.data(), full, digest.bytes.size());
    return digest;
}

std::size_t ReplayCache::DigestHash::operator()(const ReportDigest& d) const {
    // The digest is already uniformly distributed: its first bytes are a hash.
    std::size_t h = 0;
    std::memcpy(&h, d.bytes.data(), sizeof h);
    return h;
}

ReplayCache::Tier::Tier(std::int64_t lifetime, std::size_t cap) : lifetime_(lifetime), cap_(cap) {
    set_.reserve(std::min<std::size_t>(cap, 1024));
}

void ReplayCache::Tier::DropOldest() {
    set_.erase(order_.front().digest);
    order_.pop_front();
}

void ReplayCache::Tier::Expire(std::int64_t now) {
    while (!order_.empty() && order_.front().expires <= now) DropOldest();
}

void ReplayCache::Tier::Add(const ReportDigest& digest, std::int64_t now) {
    if (cap_ == 0 || !set_.insert(digest).second) return;
    order_.push_back({digest, now + lifetime_});
    while (order_.size() > cap_) DropOldest();
}

ReplayCache::ReplayCache(std::uint32_t windowSeconds, std::size_t maxReports, std::size_t maxLogoffs)
    : reports_(windowSeconds != 0 ? std::int64_t{windowSeconds} : kDefaultWindowSeconds, maxReports),
      logoffs_(std::max<std::int64_t>(windowSeconds != 0 ? std::int64_t{windowSeconds} : kDefaultWindowSeconds,
                                       kLogoffSeconds),
               maxLogoffs) {}

bool ReplayCache::Seen(const ReportDigest& digest, std::int64_t now) {
    reports_.Expire(now);
    logoffs_.Expire(now);
    return reports_.Contains(digest) || logoffs_.Contains(digest);
}

void ReplayCache::Remember(const ReportDigest& digest, bool logoff, std::int64_t now) {
    (logoff ? logoffs_ : reports_).Add(digest, now);
}

}  // namespace orvane
