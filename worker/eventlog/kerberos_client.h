#pragma once
// Kerberos for the remote event source, through MIT krb5's GSS-API: a ticket-granting ticket for
// the entry's account, got with its password into a private in-memory credential cache (no
// keytab, no system cache, nothing on disk), and SPNEGO tokens (the Negotiate scheme with the
// Kerberos mechanism alone) for one service principal, bound to the TLS channel. The KDC is
// found as for every Kerberos client of this machine: krb5.conf ($KRB5_CONFIG or
// /etc/krb5.conf), else the realm's DNS SRV records.
#include <memory>
#include <string>
#include <string_view>

namespace orvane {

enum class KerberosFailure {
    None,
    ClockSkew,
    UnknownClient,
    UnknownService,
    WrongPassword,
    AccountRevoked,
    KdcUnreachable,
    TicketExpired,
    Other,
};

struct KerberosError {
    KerberosFailure kind = KerberosFailure::None;
    std::string detail;  // the library's own words
};

// What an administrator should read for a failure; "" for None.
const char* KerberosFailureText(KerberosFailure kind);
// The KDC refused the account itself: another mechanism with the same password fails as well.
bool KerberosRefusedAccount(KerberosFailure kind);

class KerberosClient {
public:
    // `principal` is user@REALM.
    KerberosClient(std::string principal, std::string password);
    ~KerberosClient();
    KerberosClient(const KerberosClient&) = delete;
    KerberosClient& operator=(const KerberosClient&) = delete;

    // A ticket-granting ticket valid past the renewal margin: got anew when none is held or the
    // one held ends within the margin (a quarter of its lifetime, at most ten minutes).
    bool EnsureTicket(KerberosError& error);
    // Starts a context with `service` (HTTP/host@REALM): the first token to send. Mutual
    // authentication is asked for, so the server's answer goes to Finish.
    bool Start(const std::string& service, std::string_view channelBindings, std::string& token, KerberosError& error);
    // Checks the server's answer token; true once the server has proved itself.
    bool Finish(std::string_view reply, KerberosError& error);
    // Drops the ticket-granting ticket (and the service tickets got with it).
    void Forget();

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace orvane
