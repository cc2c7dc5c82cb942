#include "worker/eventlog/kerberos_client.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"

namespace orvane {
namespace {

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
gss_OID_desc kKrb5 = {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
// A KDC may refuse service tickets from a ticket-granting ticket in its last minutes (Samba does
// in the last five): renewal comes well before those.
constexpr std::int64_t kMaxRenewalMargin = 600;

KerberosFailure Classify(long code) {
    switch (code) {
        case 0: return KerberosFailure::None;
        case KRB5KRB_AP_ERR_SKEW: return KerberosFailure::ClockSkew;
        case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN: return KerberosFailure::UnknownClient;
        case KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN: return KerberosFailure::UnknownService;
        case KRB5KDC_ERR_PREAUTH_FAILED:
        case KRB5KRB_AP_ERR_BAD_INTEGRITY: return KerberosFailure::WrongPassword;
        case KRB5KDC_ERR_CLIENT_REVOKED:
        case KRB5KDC_ERR_KEY_EXP: return KerberosFailure::AccountRevoked;
        case KRB5_KDC_UNREACH:
        case KRB5_REALM_UNKNOWN:
        case KRB5_REALM_CANT_RESOLVE: return KerberosFailure::KdcUnreachable;
        case KRB5KRB_AP_ERR_TKT_EXPIRED:
        case KRB5KRB_AP_ERR_TKT_NYV:
        case KRB5KDC_ERR_TGT_REVOKED: return KerberosFailure::TicketExpired;
        default: return KerberosFailure::Other;
    }
}

std::string GssText(OM_uint32 status, int type) {
    std::string text;
    OM_uint32 minor = 0, context = 0;
    do {
        gss_buffer_desc b = GSS_C_EMPTY_BUFFER;
        if (GSS_ERROR(gss_display_status(&minor, status, type, GSS_C_NO_OID, &context, &b))) break;
        if (!text.empty()) text += "; ";
        text.append(static_cast<const char*>(b.value), b.length);
        gss_release_buffer(&minor, &b);
    } while (context != 0);
    return text;
}

void GssFailed(OM_uint32 major, OM_uint32 minor, KerberosError& error) {
    error.kind = Classify(static_cast<long>(static_cast<std::int32_t>(minor)));
    if (error.kind == KerberosFailure::None) error.kind = KerberosFailure::Other;
    error.detail = GssText(major, GSS_C_GSS_CODE);
    if (minor != 0) error.detail += ": " + GssText(minor, GSS_C_MECH_CODE);
}

}  // namespace

const char* KerberosFailureText(KerberosFailure kind) {
    switch (kind) {
        case KerberosFailure::None: return "";
        case KerberosFailure::ClockSkew:
            return "clock skew: this machine's time and the KDC's differ by more than the KDC allows (synchronise the clocks)";
        case KerberosFailure::UnknownClient: return "the KDC does not know the account (unknown client principal)";
        case KerberosFailure::UnknownService:
            return "the KDC knows no service principal HTTP/<DC host name> (unknown server principal or SPN)";
        case KerberosFailure::WrongPassword: return "the KDC refused the password (pre-authentication failed)";
        case KerberosFailure::AccountRevoked: return "the KDC refused the account (disabled, locked out or password expired)";
        case KerberosFailure::KdcUnreachable: return "no KDC of the realm could be reached";
        case KerberosFailure::TicketExpired: return "the ticket has expired";
        case KerberosFailure::Other: return "Kerberos failed";
    }
    return "Kerberos failed";
}

bool KerberosRefusedAccount(KerberosFailure kind) {
    return kind == KerberosFailure::UnknownClient || kind == KerberosFailure::WrongPassword ||
           kind == KerberosFailure::AccountRevoked;
}

struct KerberosClient::State {
    std::string principal, password, cacheName;
    krb5_context ctx = nullptr;
    krb5_ccache cache = nullptr;
    std::int64_t ticketStart = 0, ticketEnd = 0;
    gss_ctx_id_t gss = GSS_C_NO_CONTEXT;
    gss_name_t target = GSS_C_NO_NAME;  // the context's server; every call of one context names it

    void DropContext() {
        OM_uint32 minor = 0;
        if (gss != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &gss, GSS_C_NO_BUFFER);
        if (target != GSS_C_NO_NAME) gss_release_name(&minor, &target);
        gss = GSS_C_NO_CONTEXT;
        target = GSS_C_NO_NAME;
    }

    bool Fail(krb5_error_code code, KerberosError& error) {
        error.kind = Classify(code);
        if (error.kind == KerberosFailure::None) error.kind = KerberosFailure::Other;
        const char* text = ctx ? krb5_get_error_message(ctx, code) : nullptr;
        error.detail = text ? text : "error " + std::to_string(code);
        if (text) krb5_free_error_message(ctx, text);
        return false;
    }

    // A service ticket for `service` in the cache, from the KDC unless the cache holds a valid one.
    bool ServiceTicket(const std::string& service, KerberosError& error) {
        krb5_creds in{};
        krb5_creds* out = nullptr;
        krb5_error_code rc = krb5_cc_get_principal(ctx, cache, &in.client);
        if (rc == 0) rc = krb5_parse_name(ctx, service.c_str(), &in.server);
        if (rc == 0) rc = krb5_get_credentials(ctx, 0, cache, &in, &out);
        if (out) krb5_free_creds(ctx, out);
        krb5_free_cred_contents(ctx, &in);
        return rc == 0 || Fail(rc, error);
    }

    // The private cache: a MEMORY cache of a random name, known only to this process.
    bool Open(KerberosError& error) {
        if (cache) return true;
        if (!ctx) {
            if (const krb5_error_code rc = krb5_init_context(&ctx); rc != 0) {
                ctx = nullptr;
                return Fail(rc, error);
            }
        }
        unsigned char random[12];
        if (RAND_bytes(random, sizeof random) != 1) {
            error = {KerberosFailure::Other, "no random bytes for the credential cache's name"};
            return false;
        }
        cacheName = "MEMORY:orvane-";
        char hex[3];
        for (unsigned char b : random) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            cacheName += hex;
        }
        if (const krb5_error_code rc = krb5_cc_resolve(ctx, cacheName.c_str(), &cache); rc != 0) {
            cache = nullptr;
            return Fail(rc, error);
        }
        return true;
    }
};

KerberosClient::KerberosClient(std::string principal, std::string password) : s_(std::make_unique<State>()) {
    s_->principal = std::move(principal);
    s_->password = std::move(password);
}

KerberosClient::~KerberosClient() {
    s_->DropContext();
    if (s_->cache) krb5_cc_destroy(s_->ctx, s_->cache);
    if (s_->ctx) krb5_free_context(s_->ctx);
    OPENSSL_cleanse(s_->password.data(), s_->password.size());
}

void KerberosClient::Forget() {
    s_->DropContext();
    if (s_->cache) krb5_cc_destroy(s_->ctx, s_->cache);
    s_->cache = nullptr;
    s_->ticketStart = s_->ticketEnd = 0;
}

bool KerberosClient::EnsureTicket(KerberosError& error) {
    State& s = *s_;
    const std::int64_t now = platform::GetClock().Now();
    const std::int64_t margin = std::min(kMaxRenewalMargin, (s.ticketEnd - s.ticketStart) / 4);
    if (s.ticketEnd != 0 && now < s.ticketEnd - margin) return true;
    // The ticket held serves until its end should the KDC not answer now: the cache is set up
    // afresh only with a new ticket in hand.
    const bool stillValid = s.ticketEnd != 0 && now < s.ticketEnd;
    if (!s.Open(error)) return false;
    krb5_principal client = nullptr;
    if (const krb5_error_code rc = krb5_parse_name(s.ctx, s.principal.c_str(), &client); rc != 0) return s.Fail(rc, error);
    krb5_get_init_creds_opt* options = nullptr;
    krb5_error_code rc = krb5_get_init_creds_opt_alloc(s.ctx, &options);
    if (rc == 0) {
        krb5_get_init_creds_opt_set_forwardable(options, 0);
        krb5_get_init_creds_opt_set_proxiable(options, 0);
        rc = krb5_get_init_creds_opt_set_out_ccache(s.ctx, options, s.cache);
    }
    krb5_creds creds{};
    if (rc == 0)
        rc = krb5_get_init_creds_password(s.ctx, &creds, client, s.password.c_str(), nullptr, nullptr, 0, nullptr, options);
    if (options) krb5_get_init_creds_opt_free(s.ctx, options);
    krb5_free_principal(s.ctx, client);
    if (rc != 0 && stillValid) return true;
    if (rc != 0) return s.Fail(rc, error);
    s.ticketStart = creds.times.starttime ? creds.times.starttime : creds.times.authtime;
    s.ticketEnd = creds.times.endtime;
    krb5_free_cred_contents(s.ctx, &creds);
    return true;
}

bool KerberosClient::Start(const std::string& service, std::string_view channelBindings, std::string& token,
                           KerberosError& error) {
    State& s = *s_;
    s.DropContext();
    if (!s.cache) {
        error = {KerberosFailure::TicketExpired, "no ticket-granting ticket is held"};
        return false;
    }
    // The service ticket first, straight from the library: its failures keep their own codes
    // (the GSS-API layer hands them on as codes of its own).
    if (!s.ServiceTicket(service, error)) return false;
    OM_uint32 major = 0, minor = 0, ignored = 0;
    // SPNEGO over credentials from the private cache, offering the Kerberos mechanism alone.
    gss_key_value_element_desc element = {"ccache", s.cacheName.c_str()};
    gss_key_value_set_desc store = {1, &element};
    gss_OID_set_desc spnegoOnly = {1, &kSpnego}, krb5Only = {1, &kKrb5};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &spnegoOnly, GSS_C_INITIATE, &store, &cred,
                                  nullptr, nullptr);
    if (GSS_ERROR(major)) {
        GssFailed(major, minor, error);
        return false;
    }
    major = gss_set_neg_mechs(&minor, cred, &krb5Only);
    if (GSS_ERROR(major)) {
        GssFailed(major, minor, error);
        gss_release_cred(&ignored, &cred);
        return false;
    }
    gss_buffer_desc nameText = {service.size(), const_cast<char*>(service.data())};
    major = gss_import_name(&minor, &nameText, GSS_KRB5_NT_PRINCIPAL_NAME, &s.target);
    if (GSS_ERROR(major)) {
        GssFailed(major, minor, error);
        gss_release_cred(&ignored, &cred);
        return false;
    }
    gss_channel_bindings_struct bindings{};
    bindings.initiator_addrtype = GSS_C_AF_UNSPEC;
    bindings.acceptor_addrtype = GSS_C_AF_UNSPEC;
    bindings.application_data = {channelBindings.size(), const_cast<char*>(channelBindings.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    major = gss_init_sec_context(&minor, cred, &s.gss, s.target, &kSpnego,
                                 GSS_C_MUTUAL_FLAG | GSS_C_SEQUENCE_FLAG | GSS_C_REPLAY_FLAG, GSS_C_INDEFINITE,
                                 channelBindings.empty() ? GSS_C_NO_CHANNEL_BINDINGS : &bindings, GSS_C_NO_BUFFER,
                                 nullptr, &out, nullptr, nullptr);
    gss_release_cred(&ignored, &cred);
    if (GSS_ERROR(major)) {
        GssFailed(major, minor, error);
        gss_release_buffer(&ignored, &out);
        s.DropContext();
        return false;
    }
    token.assign(static_cast<const char*>(out.value), out.length);
    gss_release_buffer(&ignored, &out);
    return true;
}

bool KerberosClient::Finish(std::string_view reply, KerberosError& error) {
    State& s = *s_;
    if (s.gss == GSS_C_NO_CONTEXT) {
        error = {KerberosFailure::Other, "no security context was started"};
        return false;
    }
    if (reply.empty()) {
        error = {KerberosFailure::Other, "the server did not prove itself (no answer token for mutual authentication)"};
        s.DropContext();
        return false;
    }
    OM_uint32 minor = 0, ignored = 0;
    gss_buffer_desc in = {reply.size(), const_cast<char*>(reply.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    const OM_uint32 major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &s.gss, s.target, &kSpnego, 0,
                                                 GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS, &in, nullptr, &out,
                                                 nullptr, nullptr);
    gss_release_buffer(&ignored, &out);
    if (major != GSS_S_COMPLETE) {
        if (GSS_ERROR(major)) GssFailed(major, minor, error);
        else error = {KerberosFailure::Other, "the server's answer leaves the authentication unfinished"};
        s.DropContext();
        return false;
    }
    s.DropContext();
    return true;
}

}  // namespace orvane
