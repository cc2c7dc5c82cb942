#include "reporter/identity.h"

#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/text.h"

namespace orvane {

bool SessionUserName(std::string& name, int& err) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    int rc = ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result);
    if (rc != 0 || !result || !pw.pw_name || !*pw.pw_name) {
        err = rc != 0 ? rc : ENOENT;
        return false;
    }
    name = pw.pw_name;
    return true;
}

std::string DomainComponents(std::string_view dotted) {
    while (!dotted.empty() && dotted.back() == '.') dotted.remove_suffix(1);
    if (dotted.empty()) return {};
    std::string out;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = dotted.find('.', start);
        std::string_view label = dotted.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty()) return {};
        if (!out.empty()) out += ',';
        out += "DC=";
        out += label;
        if (dot == std::string_view::npos) return out;
        start = dot + 1;
    }
}

std::string DefaultRealmFromKrb5Conf(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string line;
    bool inLibDefaults = false;
    while (std::getline(in, line)) {
        std::string t = TrimSpaces(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t[0] == '[') {
            inLibDefaults = t.rfind("[libdefaults]", 0) == 0;
            continue;
        }
        if (!inLibDefaults) continue;
        std::size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        if (TrimSpaces(std::string_view(t).substr(0, eq)) != "default_realm") continue;
        return TrimSpaces(std::string_view(t).substr(eq + 1));
    }
    return {};
}

namespace {

std::string RealmFromConfigFiles(const std::string& krb5Config) {
    std::string list = krb5Config.empty() ? std::string("/etc/krb5.conf") : krb5Config;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t colon = list.find(':', start);
        std::string file = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!file.empty()) {
            std::ifstream in(file, std::ios::binary);
            if (in) {
                std::ostringstream ss;
                ss << in.rdbuf();
                std::string realm = DefaultRealmFromKrb5Conf(ss.str());
                if (!realm.empty()) return realm;
            }
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return {};
}

}  // namespace

std::string DistinguishedNameOf(std::string_view user, const std::string& krb5Config, std::string_view hostDomain) {
    std::string dn = "CN=";
    std::string_view name = user;
    std::string dcs;
    if (std::size_t at = user.rfind('@'); at != std::string_view::npos) {
        name = user.substr(0, at);
        dcs = DomainComponents(user.substr(at + 1));
    }
    if (dcs.empty()) dcs = DomainComponents(RealmFromConfigFiles(krb5Config));
    if (dcs.empty()) dcs = DomainComponents(hostDomain);
    dn += name;
    if (!dcs.empty()) {
        dn += ',';
        dn += dcs;
    }
    return dn;
}

std::string HostDnsDomain() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    std::string name = host;
    if (name.find('.') == std::string::npos) {
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        hints.ai_family = AF_UNSPEC;
        addrinfo* res = nullptr;
        if (::getaddrinfo(host, nullptr, &hints, &res) == 0 && res) {
            if (res->ai_canonname) name = res->ai_canonname;
            ::freeaddrinfo(res);
        }
    }
    std::size_t dot = name.find('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool DnsHostName(std::string& name, int& err) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        err = errno;
        return false;
    }
    name = host;
    if (std::size_t dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    if (name.empty()) {
        err = ENOENT;
        return false;
    }
    return true;
}

bool SystemIdentity::FullyQualifiedDn(const std::string& user, std::string& dn, int& err) {
    (void)err;
    const char* krb5 = std::getenv("KRB5_CONFIG");
    std::string config = krb5 ? krb5 : "";
    // The DNS lookup is the last resort only: a domain-joined PC names its realm in krb5.conf.
    std::string viaName = DistinguishedNameOf(user, config, {});
    if (viaName.find(",DC=") != std::string::npos) {
        dn = std::move(viaName);
        return true;
    }
    dn = DistinguishedNameOf(user, config, HostDnsDomain());
    return true;
}

}  // namespace orvane
