#pragma once
// Who and where the reporter runs: the session's user, the user's distinguished name and the
// PC's host name. On Linux the distinguished name is derived: its domain components come from a
// fully-qualified user name (ann@corp.example.com), else from the Kerberos default realm, else
// from the host's DNS domain.
#include <string>
#include <string_view>

namespace orvane {

// The user name of the session the reporter runs in (the real user id's account name).
bool SessionUserName(std::string& name, int& err);

// "DC=a,DC=b" of a dotted domain ("corp.example.com"); empty when it has an empty label.
std::string DomainComponents(std::string_view dottedDomain);

// The default_realm of [libdefaults] in a krb5.conf; empty when there is none.
std::string DefaultRealmFromKrb5Conf(std::string_view fileText);

// The fully qualified distinguished name of `user`: "CN=<name>" followed by the domain
// components of the first source that names a domain. `krb5Config` is the KRB5_CONFIG value
// (colon-separated files; empty: /etc/krb5.conf), `hostDomain` the host's DNS domain. Without
// any domain the name is "CN=<user>", which has no domain component.
std::string DistinguishedNameOf(std::string_view user, const std::string& krb5Config, std::string_view hostDomain);

// The host's DNS domain (the part of its canonical name after the first dot), empty when unknown.
std::string HostDnsDomain();

// The PC's DNS host name (without its domain part).
bool DnsHostName(std::string& name, int& err);

// What BuildReportText asks about the user and the PC; tests replace it.
class Identity {
public:
    virtual ~Identity() = default;
    virtual bool FullyQualifiedDn(const std::string& user, std::string& dn, int& err) = 0;
    virtual bool HostName(std::string& name, int& err) = 0;
};

class SystemIdentity final : public Identity {
public:
    bool FullyQualifiedDn(const std::string& user, std::string& dn, int& err) override;
    bool HostName(std::string& name, int& err) override { return DnsHostName(name, err); }
};

}  // namespace orvane
