#pragma once
// Distinguished names as an administrator writes them in config.ini and as the directory returns
// them: "CN=VPN-Users,CN=Users,DC=corp,DC=example,DC=com".
#include <string>
#include <string_view>

namespace orvane {

// "corp.example.com" for "DC=corp,DC=example,DC=com" (the DC components, in order).
std::string DnsDomainOfDn(std::string_view dn);

// False with the reason when the text is not a DN: every RDN (commas between them; "\," is a
// comma inside a value) must be attr=value with both parts non-empty.
bool CheckDnSyntax(std::string_view dn, std::string& why);

}  // namespace orvane
