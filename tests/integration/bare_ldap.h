#pragma once
// A bare libldap connection (StartTLS, simple bind, the default naming context) without the
// worker's code: the yardstick the benchmarks measure the worker's lookups against.
#include <ldap.h>

#include <memory>
#include <string>
#include <vector>

#include "common/config_types.h"
#include "worker/directory/directory_servers.h"
#include "worker/directory/ldap_directory.h"

namespace orvane::bench {

struct BareLdap {
    LDAP* ld = nullptr;
    std::string base;
    BareLdap() = default;
    BareLdap(const BareLdap&) = delete;
    BareLdap& operator=(const BareLdap&) = delete;
    ~BareLdap() {
        if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
    }

    // Null when the server cannot be reached or refuses the bind.
    static std::unique_ptr<BareLdap> Open(const ServerEntry& server) {
        auto c = std::make_unique<BareLdap>();
        std::string url = "ldap://" + server.ip;
        int version = LDAP_VERSION3;
        if (ldap_initialize(&c->ld, url.c_str()) != LDAP_SUCCESS) return nullptr;
        ldap_set_option(c->ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        ldap_set_option(c->ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        char nc[] = "defaultNamingContext";
        char* rootAttrs[] = {nc, nullptr};
        LDAPMessage* res = nullptr;
        if (ldap_start_tls_s(c->ld, nullptr, nullptr) != LDAP_SUCCESS) return nullptr;
        if (ldap_search_ext_s(c->ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", rootAttrs, 0, nullptr, nullptr, nullptr,
                              1, &res) == LDAP_SUCCESS) {
            if (LDAPMessage* e = ldap_first_entry(c->ld, res)) {
                if (berval** v = ldap_get_values_len(c->ld, e, nc)) {
                    if (v[0]) c->base.assign(v[0]->bv_val, v[0]->bv_len);
                    ldap_value_free_len(v);
                }
            }
        }
        ldap_msgfree(res);
        std::string who = QualifiedBindName(BindUserOf(server.userName), c->base);
        berval cred{server.password.size(), const_cast<char*>(server.password.data())};
        if (c->base.empty() ||
            ldap_sasl_bind_s(c->ld, who.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) != LDAP_SUCCESS)
            return nullptr;
        return c;
    }

    // One subtree search for the account, as the worker's lookups send it (with `clause` as one
    // more condition); true when found.
    bool Find(const std::string& user, const char* attribute, const std::string& clause = {}) {
        std::string filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=" + user + ")" + clause + ")";
        char attr[32];
        std::snprintf(attr, sizeof attr, "%s", attribute);
        char* attrs[] = {attr, nullptr};
        LDAPMessage* r = nullptr;
        int rc = ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, nullptr, nullptr,
                                   nullptr, 0, &r);
        bool found = rc == LDAP_SUCCESS && ldap_first_entry(ld, r);
        ldap_msgfree(r);
        return found;
    }

    // n of the same searches with up to `depth` of them in flight on the connection, each answer
    // taken by its message id in the order asked; true when every one found the account.
    bool FindPipelined(const std::string& user, const char* attribute, long n, int depth) {
        const std::string filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=" + user + "))";
        char attr[32];
        std::snprintf(attr, sizeof attr, "%s", attribute);
        char* attrs[] = {attr, nullptr};
        std::vector<int> ids;
        long sent = 0, done = 0;
        while (done < n) {
            while (sent < n && static_cast<int>(ids.size() - static_cast<std::size_t>(done)) < depth) {
                int id = 0;
                if (ldap_search_ext(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0, nullptr, nullptr,
                                    nullptr, 0, &id) != LDAP_SUCCESS)
                    return false;
                ids.push_back(id);
                ++sent;
            }
            LDAPMessage* r = nullptr;
            if (ldap_result(ld, ids[static_cast<std::size_t>(done)], LDAP_MSG_ALL, nullptr, &r) != LDAP_RES_SEARCH_RESULT) {
                ldap_msgfree(r);
                return false;
            }
            const bool found = ldap_first_entry(ld, r) != nullptr;
            ldap_msgfree(r);
            if (!found) return false;
            ++done;
        }
        return true;
    }
};

}  // namespace orvane::bench
