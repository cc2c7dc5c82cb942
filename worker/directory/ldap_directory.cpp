#include "worker/directory/ldap_directory.h"

#include <ldap.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "worker/status/worker_statistics.h"

namespace orvane {
namespace {

struct LdapCloser {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapPtr = std::unique_ptr<LDAP, LdapCloser>;

struct MessageFreer {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFreer>;

struct BerFreer {
    void operator()(BerElement* b) const { ber_free(b, 0); }
};
using BerPtr = std::unique_ptr<BerElement, BerFreer>;

struct ValuesFreer {
    void operator()(berval** v) const { ldap_value_free_len(v); }
};
using ValuesPtr = std::unique_ptr<berval*, ValuesFreer>;

bool ConnectionLost(int rc) { return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_UNAVAILABLE; }

class LdapSession {
public:
    LdapSession(std::string server, int timeoutMs) : server_(std::move(server)), timeoutMs_(timeoutMs) {}

    const std::string& Server() const { return server_; }
    const std::string& NamingContext() const { return namingContext_; }
    LDAP* Handle() const { return ld_.get(); }
    std::uint64_t Binds() const { return binds_; }
    void Drop() { ld_.reset(); }

    timeval Timeout() const { return timeval{timeoutMs_ / 1000, (timeoutMs_ % 1000) * 1000}; }

    // The whole binding sequence; on failure says which step failed.
    bool Bind(const std::string& user, const std::string& password, DirectoryError& error) {
        ld_.reset();
        if (!Connect(error)) return false;
        if (!ReadNamingContext(error)) return false;
        return BindAndCheck(user, password, error);
    }

    // After a lost connection: the same binding sequence with the name that worked before.
    bool Rebind(DirectoryError& error) {
        ld_.reset();
        if (!Connect(error)) return false;
        return BindAs(bindName_, password_, error);
    }

private:
    bool Fail(DirectoryError& error, BindStage stage, int code) {
        error.stage = stage;
        error.code = code;
        ld_.reset();
        return false;
    }

    bool Connect(DirectoryError& error) {
        if (server_.empty()) return Fail(error, BindStage::RootDse, EDESTADDRREQ);
        const std::string url = "ldap://" + server_;
        LDAP* raw = nullptr;
        if (ldap_initialize(&raw, url.c_str()) != LDAP_SUCCESS || !raw) {
            if (raw) ldap_unbind_ext_s(raw, nullptr, nullptr);
            return Fail(error, BindStage::RootDse, EINVAL);
        }
        ld_.reset(raw);
        const int version = LDAP_VERSION3;
        const timeval tv = Timeout();
        ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
        // Continuation references (other partitions) are not followed: accounts are found in
        // the server's own naming context.
        ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
        ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
        if (!PinTls(raw)) {
            LogError("[ERR]Set up TLS for the directory server %s fail!", server_.c_str());
            return Fail(error, BindStage::RootDse, EPROTO);
        }
        int rc = ldap_start_tls_s(raw, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            LogStartTlsFailure(rc);
            return Fail(error, BindStage::RootDse, SystemCodeOfLdapResult(rc));
        }
        return true;
    }

    // The server's certificate is always verified, whatever ldap.conf, an ldaprc or
    // LDAPTLS_REQCERT say. The handle gets a TLS context of its own for that setting to count;
    // a new handle starts without the global trust settings, so those (from ldap.conf or
    // LDAPTLS_CACERT and the like) are handed over first.
    static bool PinTls(LDAP* ld) {
        static constexpr int kInherited[] = {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR,
                                             LDAP_OPT_X_TLS_CRLFILE, LDAP_OPT_X_TLS_CIPHER_SUITE};
        for (int option : kInherited) {
            char* value = nullptr;
            if (ldap_get_option(nullptr, option, &value) != LDAP_OPT_SUCCESS) return false;
            const bool ok = !value || ldap_set_option(ld, option, value) == LDAP_OPT_SUCCESS;
            ldap_memfree(value);
            if (!ok) return false;
        }
        int minimum = 0;
        if (ldap_get_option(nullptr, LDAP_OPT_X_TLS_PROTOCOL_MIN, &minimum) != LDAP_OPT_SUCCESS ||
            ldap_set_option(ld, LDAP_OPT_X_TLS_PROTOCOL_MIN, &minimum) != LDAP_OPT_SUCCESS)
            return false;
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        const int clientContext = 0;
        return ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
               ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &clientContext) == LDAP_OPT_SUCCESS;
    }

    // A failed handshake is reported by libldap as a connect error, mostly an unverified
    // certificate; say where trust comes from.
    void LogStartTlsFailure(int rc) const {
        LogError("[ERR]StartTLS with the directory server %s fail: %s%s", server_.c_str(), ldap_err2string(rc),
                 rc == LDAP_CONNECT_ERROR
                     ? " (is its certificate trusted by TLS_CACERT in /etc/ldap/ldap.conf or LDAPTLS_CACERT?)"
                     : "");
    }

    bool ReadNamingContext(DirectoryError& error) {
        char attr[] = "defaultNamingContext";
        char* attrs[] = {attr, nullptr};
        timeval tv = Timeout();
        LDAPMessage* raw = nullptr;
        int rc = ldap_search_ext_s(ld_.get(), "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr,
                                   &tv, 1, &raw);
        MessagePtr res(raw);
        if (rc != LDAP_SUCCESS) return Fail(error, BindStage::RootDse, SystemCodeOfLdapResult(rc));
        LDAPMessage* entry = ldap_first_entry(ld_.get(), res.get());
        if (!entry) return Fail(error, BindStage::RootDse, ENOENT);
        ValuesPtr values(ldap_get_values_len(ld_.get(), entry, attr));
        if (!values || !values.get()[0] || values.get()[0]->bv_len == 0)
            return Fail(error, BindStage::NamingContext, ENODATA);
        namingContext_.assign(values.get()[0]->bv_val, values.get()[0]->bv_len);
        return true;
    }

    bool BindAndCheck(const std::string& user, const std::string& password, DirectoryError& error) {
        if (!BindAs(QualifiedBindName(user, namingContext_), password, error)) return false;
        // Opening the naming context: it must be there and readable with these credentials.
        char noAttrs[] = LDAP_NO_ATTRS;
        char* attrs[] = {noAttrs, nullptr};
        timeval tv = Timeout();
        LDAPMessage* raw = nullptr;
        int rc = ldap_search_ext_s(ld_.get(), namingContext_.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                                   nullptr, nullptr, &tv, 1, &raw);
        MessagePtr res(raw);
        if (rc == LDAP_NO_SUCH_OBJECT || (rc == LDAP_SUCCESS && !ldap_first_entry(ld_.get(), res.get())))
            return Fail(error, BindStage::NoHandle, ENOENT);
        if (rc != LDAP_SUCCESS) return Fail(error, BindStage::BindDomain, SystemCodeOfLdapResult(rc));
        return true;
    }

    bool BindAs(const std::string& name, const std::string& password, DirectoryError& error) {
        if (password.empty()) return Fail(error, BindStage::BindDomain, EACCES);
        berval cred;
        cred.bv_val = const_cast<char*>(password.data());
        cred.bv_len = password.size();
        int rc = ldap_sasl_bind_s(ld_.get(), name.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) return Fail(error, BindStage::BindDomain, SystemCodeOfLdapResult(rc));
        bindName_ = name;
        password_ = password;
        ++binds_;
        return true;
    }

    std::string server_;
    int timeoutMs_;
    LdapPtr ld_;
    std::string namingContext_;
    std::string bindName_;
    std::string password_;
    std::uint64_t binds_ = 0;
};

class LdapSearch final : public DirectorySearch {
public:
    explicit LdapSearch(std::unique_ptr<LdapSession> session) : session_(std::move(session)) {}

    const std::string& Server() const override { return session_->Server(); }
    const std::string& NamingContext() const override { return session_->NamingContext(); }
    std::uint64_t BindCount() const override { return session_->Binds(); }

    int FindAccounts(std::string_view filter, bool withLastLogon, AccountVisitor& visitor) override {
        for (int attempt = 0;; ++attempt) {
            if (!session_->Handle()) {
                DirectoryError error;
                if (!session_->Rebind(error)) return error.code;
            }
            LDAPMessage* raw = nullptr;
            int msgid = 0;
            int rc = LDAP_SUCCESS;
            // An answer sent ahead is read; otherwise the search is sent now.
            if (attempt != 0 || !TakeSent(filter, withLastLogon, msgid)) {
                filter_.assign(filter);
                rc = Send(filter_, withLastLogon, msgid);
            }
            if (rc == LDAP_SUCCESS) rc = Await(msgid, raw);
            MessagePtr res(raw);
            if (ConnectionLost(rc)) {
                // Servers drop idle connections (AD after 15 minutes) and restart: the handle
                // stays valid and binds again once, as an ADSI handle would.
                Drop();
                if (attempt == 0) continue;
                return SystemCodeOfLdapResult(rc);
            }
            // A server that stopped answering gets a fresh connection at the next search.
            if (rc == LDAP_TIMEOUT) Drop();
            if (res) VisitEntries(res.get(), visitor);
            return rc == LDAP_SUCCESS ? 0 : SystemCodeOfLdapResult(rc);
        }
    }

    bool Prefetch(std::string_view filter, bool withLastLogon) override {
        if (!session_->Handle()) return false;
        if (sentCount_ == kLookupPipelineDepth) {
            // Lookups read their answers in the order they were sent, so the oldest is the one
            // no lookup asked for.
            Abandon(sent_[sentHead_].msgid);
            WorkerStatistics::Add(Statistics().searchesUnread);
            sentHead_ = (sentHead_ + 1) % kLookupPipelineDepth;
            --sentCount_;
        }
        Sent& slot = sent_[(sentHead_ + sentCount_) % kLookupPipelineDepth];
        slot.filter.assign(filter);
        slot.withLastLogon = withLastLogon;
        // On failure the lookup itself finds out what is wrong and follows the reconnection rules.
        if (Send(slot.filter, withLastLogon, slot.msgid) != LDAP_SUCCESS) return false;
        ++sentCount_;
        WorkerStatistics::Add(Statistics().searchesSentAhead);
        return true;
    }

private:
    struct Sent {
        std::string filter;
        bool withLastLogon = false;
        int msgid = 0;
    };

    // Finds the sent search of this lookup. Those sent before it are abandoned: no lookup
    // will read them any more (they were for reports decided without one).
    bool TakeSent(std::string_view filter, bool withLastLogon, int& msgid) {
        for (std::size_t i = 0; i < sentCount_; ++i) {
            const Sent& s = sent_[(sentHead_ + i) % kLookupPipelineDepth];
            if (s.withLastLogon != withLastLogon || s.filter != filter) continue;
            msgid = s.msgid;
            for (std::size_t j = 0; j < i; ++j) Abandon(sent_[(sentHead_ + j) % kLookupPipelineDepth].msgid);
            WorkerStatistics::Add(Statistics().searchesUnread, i);
            sentHead_ = (sentHead_ + i + 1) % kLookupPipelineDepth;
            sentCount_ -= i + 1;
            return true;
        }
        return false;
    }

    // One subtree search below the naming context, sent without waiting: its message id.
    int Send(const std::string& filter, bool withLastLogon, int& msgid) {
        char lastLogon[] = "lastLogon";
        char noAttrs[] = LDAP_NO_ATTRS;
        char* attrs[] = {withLastLogon ? lastLogon : noAttrs, nullptr};
        timeval tv = session_->Timeout();
        return ldap_search_ext(session_->Handle(), session_->NamingContext().c_str(), LDAP_SCOPE_SUBTREE,
                               filter.c_str(), attrs, 0, nullptr, nullptr, &tv, 0, &msgid);
    }

    // The whole answer of a sent search within the time-out, as the synchronous search would
    // return it (a search not answered in time is abandoned).
    int Await(int msgid, LDAPMessage*& res) {
        LDAP* ld = session_->Handle();
        timeval tv = session_->Timeout();
        const int type = ldap_result(ld, msgid, LDAP_MSG_ALL, &tv, &res);
        if (type == 0) {
            Abandon(msgid);
            return LDAP_TIMEOUT;
        }
        if (type < 0) {
            int rc = LDAP_OTHER;
            ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
            return rc == LDAP_SUCCESS ? LDAP_OTHER : rc;
        }
        int rc = LDAP_OTHER;
        if (ldap_parse_result(ld, res, &rc, nullptr, nullptr, nullptr, nullptr, 0) != LDAP_SUCCESS) return LDAP_OTHER;
        return rc;
    }

    void Abandon(int msgid) { ldap_abandon_ext(session_->Handle(), msgid, nullptr, nullptr); }

    // The connection is closed; what was sent on it is gone with it.
    void Drop() {
        session_->Drop();
        WorkerStatistics::Add(Statistics().searchesUnread, sentCount_);
        sentHead_ = 0;
        sentCount_ = 0;
    }

    void VisitEntries(LDAPMessage* res, AccountVisitor& visitor) {
        LDAP* ld = session_->Handle();
        for (LDAPMessage* e = ldap_first_entry(ld, res); e; e = ldap_next_entry(ld, e)) {
            DirectoryAccount account;
            values_.clear();
            BerElement* rawBer = nullptr;
            berval dn{};
            // The DN and the values point into the received message: nothing is copied.
            if (ldap_get_dn_ber(ld, e, &rawBer, &dn) == LDAP_SUCCESS && dn.bv_val)
                account.dn = std::string_view(dn.bv_val, dn.bv_len);
            BerPtr ber(rawBer);
            if (ber) {
                berval attr{};
                berval* vals = nullptr;
                while (ldap_get_attribute_ber(ld, e, ber.get(), &attr, &vals) == LDAP_SUCCESS && attr.bv_val) {
                    if (EqualsNoCase(std::string_view(attr.bv_val, attr.bv_len), "lastLogon") && vals) {
                        account.hasLastLogon = true;
                        for (berval* v = vals; v->bv_val; ++v) values_.emplace_back(v->bv_val, v->bv_len);
                    }
                    ber_memfree(vals);
                    vals = nullptr;
                }
            }
            account.lastLogon = values_;
            if (!visitor.Visit(account)) return;
        }
    }

    std::unique_ptr<LdapSession> session_;
    std::string filter_;
    std::vector<std::string_view> values_;
    // The searches sent ahead, oldest first: a ring of kLookupPipelineDepth.
    std::array<Sent, kLookupPipelineDepth> sent_;
    std::size_t sentHead_ = 0;
    std::size_t sentCount_ = 0;
};

LdapDirectoryClient g_ldapClient;
DirectoryClient* g_client = &g_ldapClient;

}  // namespace

std::unique_ptr<DirectorySearch> LdapDirectoryClient::Open(const std::string& server, const std::string& user,
                                                           const std::string& password, DirectoryError& error) {
    // libldap writes to its sockets without MSG_NOSIGNAL: a server that closed the connection
    // (restart, idle time-out) would otherwise kill the process with SIGPIPE instead of
    // failing the call. A handler the program installed itself is left alone.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    });
    auto session = std::make_unique<LdapSession>(server, timeoutMs_);
    if (!session->Bind(user, password, error)) return nullptr;
    return std::make_unique<LdapSearch>(std::move(session));
}

std::string QualifiedBindName(std::string_view user, std::string_view namingContext) {
    std::string name(user);
    if (user.find_first_of("@\\=") != std::string_view::npos) return name;
    std::string domain = DnsDomainOfDn(namingContext);
    if (domain.empty()) return name;
    name.push_back('@');
    name.append(domain);
    return name;
}

int SystemCodeOfLdapResult(int rc) {
    switch (rc) {
        case LDAP_SUCCESS: return 0;
        case LDAP_SERVER_DOWN: return EHOSTDOWN;
        case LDAP_TIMEOUT:
        case LDAP_TIMELIMIT_EXCEEDED: return ETIMEDOUT;
        case LDAP_CONNECT_ERROR:  // StartTLS refused, certificate not trusted
        case LDAP_PROTOCOL_ERROR: return EPROTO;
        case LDAP_INVALID_CREDENTIALS:
        case LDAP_INSUFFICIENT_ACCESS:
        case LDAP_INAPPROPRIATE_AUTH: return EACCES;
        case LDAP_STRONG_AUTH_REQUIRED:
        case LDAP_CONFIDENTIALITY_REQUIRED:
        case LDAP_UNWILLING_TO_PERFORM: return EPERM;
        case LDAP_NO_SUCH_OBJECT: return ENOENT;
        case LDAP_NO_MEMORY: return ENOMEM;
        case LDAP_PARAM_ERROR:
        case LDAP_FILTER_ERROR:
        case LDAP_INVALID_DN_SYNTAX: return EINVAL;
        case LDAP_BUSY: return EBUSY;
        case LDAP_UNAVAILABLE: return EAGAIN;
        case LDAP_NO_RESULTS_RETURNED: return ENODATA;
        case LDAP_SIZELIMIT_EXCEEDED:
        case LDAP_ADMINLIMIT_EXCEEDED: return EOVERFLOW;
        default: return EIO;
    }
}

DirectoryClient& GetDirectoryClient() { return *g_client; }

void SetDirectoryClient(DirectoryClient* client) { g_client = client ? client : &g_ldapClient; }

}  // namespace orvane
