#pragma once
// The event source of a remote Windows domain controller: WMI's root/cimv2 over
// WS-Management (WinRM over HTTPS, port 5986), authenticated in the Negotiate scheme with the
// entry's domain, user and password: Kerberos (SPNEGO) for HTTP/<the DC's host name>, else NTLM,
// both with the TLS channel's bindings (tls-server-end-point). The peer's certificate is
// verified before any credential is sent: against the CA file the directory lookups trust
// (LDAPTLS_CACERT, else TLS_CACERT of /etc/ldap/ldap.conf), else the system's trust store.
#include <memory>
#include <string>

#include "worker/eventlog/event_source.h"

namespace orvane {

// WMI-like results of the transport.
constexpr HResult kRpcServerUnavailable = static_cast<HResult>(0x800706BAu);
constexpr HResult kEAccessDenied = static_cast<HResult>(0x80070005u);

// The port of the WS-Management listener: $ORVANE_WSMAN_PORT when set, else 5986.
unsigned WsmanPort();
// The CA file peers are verified against; empty for the system's trust store.
std::string WsmanCaFile();

// Items asked for per Enumerate or Pull; the envelope size limits a batch as well.
constexpr unsigned kWsmanMaxElements = 32000;

// Carries one SOAP message to the listener and back: the HTTPS session, or a test's stand-in.
class WsmanTransport {
public:
    virtual ~WsmanTransport() = default;
    virtual const std::string& Url() const = 0;
    // Sends `request`; on true Body() holds the answer (a 200's body or a fault's 500), which the
    // caller may parse in place until the next Post. False with `error`, and `denied` when the
    // credentials were refused.
    virtual bool Post(const std::string& request, bool& denied, std::string& error) = 0;
    virtual std::string& Body() = 0;
    // "Kerberos" or "NTLM": what authenticated the connection in use; null before that.
    virtual const char* Mechanism() const { return nullptr; }
};

// How the remote source authenticates. Auto: Kerberos first, NTLM only when Kerberos cannot be
// used (no host name or ticket for the DC, KDC unreachable, ticket refused by the server) and
// allowNtlm; an account the KDC refuses is refused, never retried with NTLM. Kerberos or Ntlm:
// that mechanism alone (orvane-wmiquery --auth).
enum class WsmanAuth { Auto, Kerberos, Ntlm };
struct WsmanAuthPolicy {
    WsmanAuth mechanism = WsmanAuth::Auto;
    bool allowNtlm = true;
};
// For the connections made from now on.
void SetWsmanAuthPolicy(const WsmanAuthPolicy& policy);
WsmanAuthPolicy GetWsmanAuthPolicy();

// The mechanism that authenticated a remote source's connection; null for any other source.
const char* WsmanMechanism(const EventServices& services);

// The queries of a connected listener. An enumeration stopped before its end (the caller's
// enumerator destroyed early, or an answer that could not be read) is released on the server.
std::unique_ptr<EventServices> MakeWsmanServices(std::shared_ptr<WsmanTransport> transport);

class WsmanLocator final : public EventLocator {
public:
    // `path` is "\\host\root\cimv2"; `authority` is "ntlmdomain:<domain>" or empty.
    HResult ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                          const std::string& authority, std::unique_ptr<EventServices>& out) override;
};

}  // namespace orvane
