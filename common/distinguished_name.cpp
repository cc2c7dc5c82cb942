#include "common/distinguished_name.h"

#include "common/text.h"

namespace orvane {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// An attribute type: a name (letter, then letters, digits, hyphens) or a dotted OID.
bool IsAttributeType(std::string_view a) {
    if (a.empty()) return false;
    const bool oid = a.front() >= '0' && a.front() <= '9';
    for (char c : a) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (oid ? !(digit || c == '.') : !(digit || letter || c == '-')) return false;
    }
    return true;
}

}  // namespace

std::string DnsDomainOfDn(std::string_view dn) {
    std::string domain;
    while (!dn.empty()) {
        std::size_t comma = dn.find(',');
        std::string_view rdn = Trim(dn.substr(0, comma));
        dn = comma == std::string_view::npos ? std::string_view() : dn.substr(comma + 1);
        std::size_t eq = rdn.find('=');
        if (eq == std::string_view::npos || !EqualsNoCase(Trim(rdn.substr(0, eq)), "DC")) continue;
        if (!domain.empty()) domain.push_back('.');
        domain.append(Trim(rdn.substr(eq + 1)));
    }
    return domain;
}

bool CheckDnSyntax(std::string_view dn, std::string& why) {
    std::size_t number = 0, start = 0;
    for (std::size_t i = 0; i <= dn.size(); ++i) {
        if (i < dn.size() && dn[i] == '\\') {
            ++i;  // the escaped character belongs to the value
            if (i == dn.size()) {
                why = "the DN ends in a lone \\";
                return false;
            }
            continue;
        }
        if (i < dn.size() && dn[i] != ',') continue;
        ++number;
        const std::string_view rdn = Trim(dn.substr(start, i - start));
        start = i + 1;
        const std::size_t eq = rdn.find('=');
        if (rdn.empty()) {
            why = "part " + std::to_string(number) + " of the DN is empty (two commas, or one at an end)";
            return false;
        }
        if (eq == std::string_view::npos || !IsAttributeType(Trim(rdn.substr(0, eq))) ||
            Trim(rdn.substr(eq + 1)).empty()) {
            why = "part " + std::to_string(number) + " of the DN (\"" + std::string(rdn) +
                  "\") is not attribute=value";
            return false;
        }
    }
    return true;
}

}  // namespace orvane
