// Channel bindings (RFC 5929 tls-server-end-point, the GSS-API structure NTLM hashes) and the
// Kerberos names of an account.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "worker/eventlog/channel_binding.h"
#include "worker/eventlog/dc_identity.h"
#include "worker/eventlog/ntlm_message.h"

namespace orvane {
namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// A self-signed certificate signed with `md`.
std::unique_ptr<X509, X509Free> Certificate(const EVP_MD* md) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, X509Free> x(X509_new());
    if (!key || !x) return nullptr;
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
    X509_set_pubkey(x.get(), key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("dc1"), -1, -1, 0);
    X509_set_issuer_name(x.get(), X509_get_subject_name(x.get()));
    if (X509_sign(x.get(), key.get(), md) == 0) return nullptr;
    return x;
}

std::string DigestOfDer(X509* x, const EVP_MD* md) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(x, &der);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(der, static_cast<std::size_t>(n), out, &len, md, nullptr);
    OPENSSL_free(der);
    return std::string(reinterpret_cast<char*>(out), len);
}

// RFC 5929 4.1: the certificate's own signature hash, except that MD5 and SHA-1 become SHA-256.
TEST(ChannelBinding, EndPointHashFollowsTheSignatureHash) {
    auto sha1 = Certificate(EVP_sha1());
    auto sha384 = Certificate(EVP_sha384());
    ASSERT_TRUE(sha1 && sha384);
    std::string hash;
    ASSERT_TRUE(binding::TlsServerEndPoint(sha1.get(), hash));
    EXPECT_EQ(hash.size(), 32u);
    EXPECT_EQ(hash, DigestOfDer(sha1.get(), EVP_sha256()));
    ASSERT_TRUE(binding::TlsServerEndPoint(sha384.get(), hash));
    EXPECT_EQ(hash.size(), 48u);
    EXPECT_EQ(hash, DigestOfDer(sha384.get(), EVP_sha384()));
    EXPECT_FALSE(binding::TlsServerEndPoint(nullptr, hash));
}

// The structure with no addresses (RFC 4121 4.1.1.2 / MS-NLMP 2.2.2.1 MsvAvChannelBindings):
// four zero words, the data's length little-endian, the data; the MD5 is a value computed apart.
TEST(ChannelBinding, SerialisationAndNtlmHash) {
    std::string hash;
    for (int i = 0; i < 32; ++i) hash.push_back(static_cast<char>(i));
    const std::string data = binding::ApplicationData(hash);
    ASSERT_EQ(data.size(), 53u);
    EXPECT_EQ(data.substr(0, 21), "tls-server-end-point:");
    const std::string s = binding::Serialise(data);
    EXPECT_EQ(s.substr(0, 20), std::string("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x35\0\0\0", 20));
    EXPECT_EQ(s.substr(20), data);
    const std::array<unsigned char, 16> expected = {0x8f, 0x12, 0x14, 0xc9, 0xc9, 0xca, 0xb8, 0xdc,
                                                    0x3b, 0xf8, 0x66, 0xda, 0x9a, 0xba, 0x57, 0xa7};
    EXPECT_EQ(binding::NtlmChannelBindingHash(data), expected);
}

// The NT response of an AUTHENTICATE_MESSAGE.
std::string NtResponseOf(const std::string& m) {
    const std::size_t len = static_cast<unsigned char>(m[20]) | static_cast<unsigned char>(m[21]) << 8;
    std::size_t off = 0;
    for (int i = 3; i >= 0; --i) off = off << 8 | static_cast<unsigned char>(m[24 + static_cast<std::size_t>(i)]);
    return m.substr(off, len);
}

// The AV pairs of an NTLMv2 response: NTProofStr (16) and the blob's fixed part (28) before
// them, four zero bytes after.
std::string ResponsePairsOf(const std::string& m) {
    const std::string nt = NtResponseOf(m);
    return nt.substr(16 + 28, nt.size() - 16 - 28 - 4);
}

// The bindings go into the response as the last pair before MsvAvEOL, after the flags that
// announce the MIC, and the proof covers them.
TEST(ChannelBinding, NtlmResponseCarriesTheBindings) {
    ntlm::Challenge c;
    c.flags = 0xe28a8233;
    c.serverChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    // MS-NLMP 4.2.4's target information with a server timestamp added.
    const unsigned char info[] = {0x02, 0x00, 0x0c, 0x00, 'D', 0, 'o', 0, 'm', 0, 'a', 0, 'i', 0, 'n', 0,
                                  0x01, 0x00, 0x0c, 0x00, 'S', 0, 'e', 0, 'r', 0, 'v', 0, 'e', 0, 'r', 0,
                                  0x07, 0x00, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x00, 0x00, 0x00};
    c.targetInfo.assign(reinterpret_cast<const char*>(info), sizeof info);
    c.raw = std::string("NTLMSSP\0\x02\0\0\0", 12);
    std::array<unsigned char, 8> client;
    client.fill(0xaa);
    const auto cbt = binding::NtlmChannelBindingHash(binding::ApplicationData(std::string(32, '\x5a')));
    std::string bound, unbound, error;
    ASSERT_TRUE(ntlm::AuthenticateMessage(c, "User", "Domain", "Password", client, 0, bound, error, &cbt)) << error;
    ASSERT_TRUE(ntlm::AuthenticateMessage(c, "User", "Domain", "Password", client, 0, unbound, error)) << error;
    const std::string pairs = ResponsePairsOf(bound);
    const std::string server(reinterpret_cast<const char*>(info), sizeof info - 4);
    const std::string flags("\x06\0\x04\0\x02\0\0\0", 8);
    const std::string bindings = std::string("\x0a\0\x10\0", 4) + std::string(reinterpret_cast<const char*>(cbt.data()), 16);
    EXPECT_EQ(pairs, server + flags + bindings + std::string(4, '\0'));
    EXPECT_EQ(ResponsePairsOf(unbound), server + flags + std::string(4, '\0'));
    EXPECT_NE(NtResponseOf(bound).substr(0, 16), NtResponseOf(unbound).substr(0, 16));
}

TEST(KerberosNames, PrincipalOfAnAccount) {
    EXPECT_EQ(KerberosPrincipalOf("CORP", "svc-orvane", "corp.example.com"), "svc-orvane@CORP.EXAMPLE.COM");
    EXPECT_EQ(KerberosPrincipalOf("corp.example.com", "ann", "other.example.com"), "ann@CORP.EXAMPLE.COM");
    EXPECT_EQ(KerberosPrincipalOf("", "ann@corp.example.com", "x.example.com"), "ann@CORP.EXAMPLE.COM");
    EXPECT_EQ(KerberosPrincipalOf("", "ann", "corp.example.com"), "ann@CORP.EXAMPLE.COM");
    EXPECT_EQ(WinRmPrincipalOf({"dc1.corp.example.com", "corp.example.com"}), "HTTP/dc1.corp.example.com@CORP.EXAMPLE.COM");
}

}  // namespace
}  // namespace orvane
