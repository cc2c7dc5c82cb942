#include "worker/eventlog/dc_identity.h"

#include <ldap.h>

#include <cctype>
#include <memory>

#include "common/distinguished_name.h"

namespace orvane {
namespace {

constexpr int kTimeoutSeconds = 5;

struct LdapCloser {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MessageFreer {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
struct ValuesFreer {
    void operator()(berval** v) const { ldap_value_free_len(v); }
};

// The certificate is verified whatever ldap.conf or LDAPTLS_REQCERT say; the handle's own TLS
// context starts from the global trust settings.
bool DemandVerifiedTls(LDAP* ld) {
    for (int option : {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR}) {
        char* value = nullptr;
        if (ldap_get_option(nullptr, option, &value) != LDAP_OPT_SUCCESS) return false;
        const bool ok = !value || ldap_set_option(ld, option, value) == LDAP_OPT_SUCCESS;
        ldap_memfree(value);
        if (!ok) return false;
    }
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int clientContext = 0;
    return ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
           ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &clientContext) == LDAP_OPT_SUCCESS;
}

std::string FirstValue(LDAP* ld, LDAPMessage* entry, const char* name) {
    std::unique_ptr<berval*, ValuesFreer> values(ldap_get_values_len(ld, entry, name));
    if (!values || !values.get()[0]) return {};
    return std::string(values.get()[0]->bv_val, values.get()[0]->bv_len);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool ReadDcIdentity(const std::string& server, DcIdentity& out, std::string& error) {
    LDAP* raw = nullptr;
    const std::string url = "ldap://" + server;
    if (ldap_initialize(&raw, url.c_str()) != LDAP_SUCCESS || !raw) {
        error = "cannot make an LDAP handle for " + url;
        return false;
    }
    std::unique_ptr<LDAP, LdapCloser> ld(raw);
    const int version = LDAP_VERSION3;
    timeval tv{kTimeoutSeconds, 0};
    ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
    if (!DemandVerifiedTls(raw)) {
        error = "cannot set up TLS for LDAP";
        return false;
    }
    if (const int rc = ldap_start_tls_s(raw, nullptr, nullptr); rc != LDAP_SUCCESS) {
        error = std::string("StartTLS failed: ") + ldap_err2string(rc);
        return false;
    }
    char host[] = "dnsHostName", context[] = "defaultNamingContext";
    char* attrs[] = {host, context, nullptr};
    LDAPMessage* res = nullptr;
    const int rc = ldap_search_ext_s(raw, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr, &tv, 1, &res);
    std::unique_ptr<LDAPMessage, MessageFreer> result(res);
    if (rc != LDAP_SUCCESS) {
        error = std::string("reading the rootDSE failed: ") + ldap_err2string(rc);
        return false;
    }
    LDAPMessage* entry = ldap_first_entry(raw, res);
    if (!entry) {
        error = "the rootDSE is empty";
        return false;
    }
    out.hostName = FirstValue(raw, entry, host);
    out.dnsDomain = DnsDomainOfDn(FirstValue(raw, entry, context));
    if (out.hostName.empty() || out.dnsDomain.empty()) {
        error = "the rootDSE names no dnsHostName or defaultNamingContext";
        return false;
    }
    return true;
}

std::string KerberosPrincipalOf(const std::string& domain, const std::string& user, const std::string& dcDnsDomain) {
    if (const std::size_t at = user.rfind('@'); at != std::string::npos)
        return user.substr(0, at) + "@" + Upper(user.substr(at + 1));
    // A NetBIOS name has no dot; anything else is the domain's DNS name already.
    const std::string realm = domain.find('.') != std::string::npos ? domain : dcDnsDomain;
    return user + "@" + Upper(realm);
}

std::string WinRmPrincipalOf(const DcIdentity& dc) { return "HTTP/" + dc.hostName + "@" + Upper(dc.dnsDomain); }

}  // namespace orvane
