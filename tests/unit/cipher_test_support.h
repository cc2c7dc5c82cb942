#pragma once
// Shared by the datagram tests: a fixed random source for a scope, OpenSSL run directly as the
// reference the message code's encryption is checked against, and sealing of arbitrary report texts.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/client_report.h"
#include "common/gateway_message.h"

namespace orvane::testing {

class ScopedRandom {
public:
    explicit ScopedRandom(RandomSource* source) : previous_(SetRandomSource(source)) {}
    ~ScopedRandom() { SetRandomSource(previous_); }
    ScopedRandom(const ScopedRandom&) = delete;
    ScopedRandom& operator=(const ScopedRandom&) = delete;

private:
    RandomSource* previous_;
};

// `cipher` without padding, with an explicit key (as long as the cipher's key), independent of
// the key field.
inline std::vector<std::uint8_t> EvpRun(const EVP_CIPHER* cipher, const std::vector<std::uint8_t>& key,
                                        const std::uint8_t* iv, const std::vector<std::uint8_t>& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<std::uint8_t> out(in.size() + 32);
    int n = 0, f = 0;
    bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n, &f) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_TRUE(ok);
    out.resize(static_cast<std::size_t>(n + f));
    return out;
}

// Seals an arbitrary report text (the builder only makes well-formed ones).
inline std::vector<std::uint8_t> SealText(std::string_view text, const KeyField& key) {
    std::uint8_t plain[kReportTextCapacity] = {};
    EXPECT_LT(text.size(), sizeof plain);
    std::memcpy(plain, text.data(), std::min(text.size(), sizeof plain - 1));
    std::vector<std::uint8_t> d(kMaxBuiltReportDatagram);
    std::size_t n = SealClientReport(plain, text.size() + 1, key, d.data());
    EXPECT_NE(n, 0u);
    d.resize(n);
    return d;
}

}  // namespace orvane::testing
