#pragma once
// Shared by the datagram tests: a fixed random source for a scope, and OpenSSL run directly as
// the reference the message code's encryption is checked against.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

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

}  // namespace orvane::testing
