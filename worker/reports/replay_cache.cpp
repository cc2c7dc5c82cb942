#include "worker/reports/replay_cache.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/gateway_message.h"

namespace orvane {

namespace {

// Fetched once and a context per thread: the one-shot SHA256() looks the algorithm up by name on
// every call, which costs more than hashing a report.
const EVP_MD* Sha256() {
    static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

bool Sha256Of(const std::uint8_t* data, std::size_t length, unsigned char* out) {
    thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned int written = 0;
    return ctx && Sha256() && EVP_DigestInit_ex(ctx.get(), Sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx.get(), data, length) == 1 && EVP_DigestFinal_ex(ctx.get(), out, &written) == 1 &&
           written == SHA256_DIGEST_LENGTH;
}

}  // namespace

ReportDigest DigestReportBody(const std::uint8_t* datagram, std::size_t length) {
    unsigned char full[SHA256_DIGEST_LENGTH];
    static const std::uint8_t kNothing = 0;
    const bool hasBody = datagram && length > kEnhancedHeaderSize;
    const std::uint8_t* body = hasBody ? datagram + kEnhancedHeaderSize : &kNothing;
    const std::size_t bodyLength = hasBody ? length - kEnhancedHeaderSize : 0;
    if (!Sha256Of(body, bodyLength, full)) SHA256(body, bodyLength, full);
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

void ReplayCache::Tier::DropOldest() {
    set_.erase(order_.front().digest);
    order_.pop_front();
}

void ReplayCache::Tier::Expire(std::int64_t now) {
    while (!order_.empty() && order_.front().expires <= now) DropOldest();
}

std::int64_t ReplayCache::Tier::AddUntil(const ReportDigest& digest, std::int64_t expires) {
    if (cap_ == 0 || !set_.insert(digest).second) return 0;
    order_.push_back({digest, expires});
    while (order_.size() > cap_) DropOldest();
    return expires;
}

ReplayCache::ReplayCache(std::uint32_t windowSeconds, std::size_t maxReports, std::size_t maxLogoffs)
    : reports_(set_, windowSeconds != 0 ? std::int64_t{windowSeconds} : kDefaultWindowSeconds, maxReports),
      logoffs_(set_,
               std::max<std::int64_t>(windowSeconds != 0 ? std::int64_t{windowSeconds} : kDefaultWindowSeconds,
                                      kLogoffSeconds),
               maxLogoffs) {
    set_.reserve(1024);
}

bool ReplayCache::Seen(const ReportDigest& digest, std::int64_t now) {
    reports_.Expire(now);
    logoffs_.Expire(now);
    return set_.count(digest) != 0;
}

std::int64_t ReplayCache::Remember(const ReportDigest& digest, bool logoff, std::int64_t now) {
    return (logoff ? logoffs_ : reports_).Add(digest, now);
}

void ReplayCache::Restore(const ReportDigest& digest, bool logoff, std::int64_t expires, std::int64_t now) {
    // A stored expiry beyond a lifetime from now (a clock set back, a shorter window now) is cut
    // to the lifetime, so nothing is remembered longer than the settings say.
    Tier& tier = logoff ? logoffs_ : reports_;
    if (expires > now) tier.AddUntil(digest, std::min(expires, now + tier.Lifetime()));
}

}  // namespace orvane
