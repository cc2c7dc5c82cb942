#include "worker/eventlog/channel_binding.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace orvane::binding {

bool TlsServerEndPoint(X509* certificate, std::string& hash) {
    if (!certificate) return false;
    int digest = NID_undef;
    if (X509_get_signature_info(certificate, &digest, nullptr, nullptr, nullptr) != 1) digest = NID_undef;
    const EVP_MD* md = digest == NID_undef ? nullptr : EVP_get_digestbynid(digest);
    if (!md || digest == NID_md5 || digest == NID_sha1) md = EVP_sha256();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(certificate, md, out, &n) != 1) return false;
    hash.assign(reinterpret_cast<const char*>(out), n);
    return true;
}

std::string ApplicationData(std::string_view hash) {
    std::string data = "tls-server-end-point:";
    data += hash;
    return data;
}

std::string Serialise(std::string_view applicationData) {
    // Initiator and acceptor address types and lengths, all zero, then the data's length (LE).
    std::string s(16, '\0');
    const auto n = static_cast<std::uint32_t>(applicationData.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
    s += applicationData;
    return s;
}

std::array<unsigned char, 16> NtlmChannelBindingHash(std::string_view applicationData) {
    const std::string s = Serialise(applicationData);
    std::array<unsigned char, 16> out{};
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), out.data(), &n, EVP_md5(), nullptr);
    return out;
}

}  // namespace orvane::binding
