// Both gateway ciphers against the `openssl enc` command-line tool, in both directions: a
// gateway built on any other OpenSSL-based stack must read what we send and vice versa.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/gateway_message.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

class GatewayCipherOpenssl : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/orvane-cipher-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        ASSERT_EQ(std::system("openssl version >/dev/null 2>&1"), 0) << "the openssl tool is required";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Runs `openssl enc -<cipher> -nopad` over `in`; empty on failure.
    Bytes Enc(const std::string& cipher, const std::string& keyHex, const std::string& ivHex, const Bytes& in,
              bool decrypt) {
        std::string inPath = dir_ + "/in", outPath = dir_ + "/out";
        {
            std::ofstream f(inPath, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));
        }
        std::filesystem::remove(outPath);
        std::string cmd = "openssl enc -" + cipher + (decrypt ? " -d" : " -e") + " -nopad -K " + keyHex + " -iv " +
                          ivHex + " -in '" + inPath + "' -out '" + outPath + "' 2>'" + dir_ + "/err'";
        int rc = std::system(cmd.c_str());
        EXPECT_EQ(rc, 0) << cmd;
        std::ifstream f(outPath, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    std::string dir_;
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 37 + (i >> 3));
    return b;
}

TEST_F(GatewayCipherOpenssl, GeneralCipherMatchesDesEde3CbcBothWays) {
    const std::string ivHex = Hex(kGeneralIv, 8);
    ASSERT_EQ(ivHex, "4B37257121775274");  // the ASCII bytes of K7%q!wRt
    int seed = 0;
    for (std::string_view keyText : {"", "abcdefgh", "0123456789abcdefghij", "a-full-thirty-one-byte-key-1234"}) {
        KeyField key = MakeKeyField(keyText);
        const std::string keyHex = Hex(key.data(), 24);
        for (std::size_t len : {8u, 24u, 2048u}) {
            Bytes plain = Pattern(len, static_cast<std::uint8_t>(++seed));
            Bytes ours(len);
            ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, ours.data(), plain.data(), len, true), 0);
            EXPECT_EQ(ours, Enc("des-ede3-cbc", keyHex, ivHex, plain, false)) << keyText << " " << len;
            EXPECT_EQ(Enc("des-ede3-cbc", keyHex, ivHex, ours, true), plain) << keyText << " " << len;

            Bytes theirs = Enc("des-ede3-cbc", keyHex, ivHex, Pattern(len, 0x77), false);
            Bytes back(len);
            ASSERT_EQ(CryptGeneral(key.data(), kGeneralIv, back.data(), theirs.data(), len, false), 0);
            EXPECT_EQ(back, Pattern(len, 0x77)) << keyText << " " << len;
        }
    }
}

TEST_F(GatewayCipherOpenssl, EnhancedCipherMatchesAes128CbcBothWays) {
    int seed = 0;
    for (std::string_view keyText : {"", "short", "0123456789abcdefghij"}) {
        KeyField key = MakeKeyField(keyText);
        const std::string keyHex = Hex(key.data(), 16);
        for (std::size_t len : {16u, 32u, 1040u}) {
            Bytes plain = Pattern(len, static_cast<std::uint8_t>(++seed));
            Bytes env(kEnhancedHeaderSize + len, 0);
            EncryptEnhanced(plain.data(), len, key.data(), env.data());
            ASSERT_EQ((std::size_t{env[2]} << 8) | env[3], len);
            const std::string ivHex = Hex(env.data() + 20, 16);
            Bytes cipher(env.begin() + kEnhancedHeaderSize, env.end());
            EXPECT_EQ(cipher, Enc("aes-128-cbc", keyHex, ivHex, plain, false)) << keyText << " " << len;
            EXPECT_EQ(Enc("aes-128-cbc", keyHex, ivHex, cipher, true), plain) << keyText << " " << len;

            const std::uint8_t iv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0};
            Bytes theirs = Enc("aes-128-cbc", keyHex, Hex(iv, 16), Pattern(len, 0x33), false);
            Bytes back(len);
            ASSERT_EQ(DecryptEnhanced(theirs.data(), len, key.data(), iv, back.data()), 0);
            EXPECT_EQ(back, Pattern(len, 0x33)) << keyText << " " << len;
        }
    }
}

}  // namespace
}  // namespace orvane
