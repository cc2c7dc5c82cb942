#pragma once
// What Kerberos needs to know about a DC that the configuration names by address only: its DNS
// host name (the service principal is HTTP/<that name>) and its domain's DNS name (the realm
// of an account given as DOMAIN\user). Both come from the DC itself: the dnsHostName and
// defaultNamingContext of its rootDSE, read anonymously over LDAP with StartTLS and a verified
// certificate, as the directory lookups connect. Reverse DNS is not used: it names whatever the
// resolver's zone says, not the DC.
#include <string>

namespace orvane {

struct DcIdentity {
    std::string hostName;   // dc1.corp.example.com
    std::string dnsDomain;  // corp.example.com
};

// False with the reason when the rootDSE cannot be read or lacks either value.
bool ReadDcIdentity(const std::string& server, DcIdentity& out, std::string& error);

// The Kerberos principal of an account: "user@REALM" from DOMAIN\user (a NetBIOS domain is the
// DC's domain; a DNS domain is taken as it is), user@dns.domain, or a bare user in the DC's
// domain. The realm is upper case, as AD's realms are.
std::string KerberosPrincipalOf(const std::string& domain, const std::string& user, const std::string& dcDnsDomain);
// WinRM's service principal on the DC: HTTP/<host name>@<the DC's realm> (an account of another,
// trusted domain reaches it through its own KDC's referral).
std::string WinRmPrincipalOf(const DcIdentity& dc);

}  // namespace orvane
