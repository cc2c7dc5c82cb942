#pragma once
// The directory over OpenLDAP: ldap://<server> with StartTLS required (TLS trust from ldap.conf
// or LDAPTLS_*, like every OpenLDAP client), then a simple bind.
//
// Binding: connect + StartTLS + read the rootDSE anonymously (BindStage::RootDse), take its
// defaultNamingContext (NamingContext), simple-bind and read the naming context object
// (BindDomain, or NoHandle when the object is not there). The bind name is qualified as
// user@<DNS domain of the naming context> when it has no domain part of its own; a name with
// '@', '\' (DOMAIN\user, accepted by AD and Samba as it is) or '=' (a DN) is sent unchanged.
// An empty password is refused: LDAP would take it as an anonymous bind.
//
// No call waits longer than the network timeout for a server that is down or does not answer.
#include <string>
#include <string_view>

#include "common/distinguished_name.h"
#include "worker/directory/directory_client.h"

namespace orvane {

class LdapDirectoryClient final : public DirectoryClient {
public:
    static constexpr int kDefaultTimeoutMs = 5000;
    explicit LdapDirectoryClient(int timeoutMs = kDefaultTimeoutMs) : timeoutMs_(timeoutMs) {}

    std::unique_ptr<DirectorySearch> Open(const std::string& server, const std::string& user,
                                          const std::string& password, DirectoryError& error) override;

private:
    int timeoutMs_;
};

// The name a simple bind sends for `user` below the naming context (see above).
std::string QualifiedBindName(std::string_view user, std::string_view namingContext);
// The errno-style code reported for a libldap result code (for FormatSystemError).
int SystemCodeOfLdapResult(int ldapResult);

}  // namespace orvane
