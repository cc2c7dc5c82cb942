#pragma once
// Channel bindings of a WS-Management connection: the "tls-server-end-point" of the server's
// certificate (RFC 5929), as Kerberos carries them (the GSS-API channel-bindings structure) and
// as NTLM does (MsvAvChannelBindings: the MD5 of that structure's serialisation). A DC whose
// WinRM requires Strict channel binding refuses either mechanism without them.
#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::binding {

// The certificate's hash with its signature's hash function; SHA-256 where that is MD5 or
// SHA-1, or where the signature names none (RFC 5929 section 4.1). False when it cannot be made.
bool TlsServerEndPoint(X509* certificate, std::string& hash);
// The application data of the bindings: "tls-server-end-point:" and the hash.
std::string ApplicationData(std::string_view hash);
// The GSS-API channel-bindings structure with no addresses, serialised as RFC 4121 4.1.1.2 hashes it.
std::string Serialise(std::string_view applicationData);
// MsvAvChannelBindings: MD5 of Serialise(applicationData).
std::array<unsigned char, 16> NtlmChannelBindingHash(std::string_view applicationData);

}  // namespace orvane::binding
