#include "worker/eventlog/wsman_event_source.h"

#include <curl/curl.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/text.h"
#include "platform/clock.h"
#include "worker/eventlog/channel_binding.h"
#include "worker/eventlog/dc_identity.h"
#include "worker/eventlog/kerberos_client.h"
#include "worker/eventlog/ntlm_message.h"
#include "worker/eventlog/wsman_soap.h"

namespace orvane {
namespace {

constexpr unsigned kDefaultPort = 5986;
constexpr long kConnectTimeoutMs = 15000;
// Longer than the operation timeout the requests carry (60 s).
constexpr long kTransferTimeoutMs = 90000;
constexpr long kHttpUnauthorized = 401;
constexpr char kNegotiate[] = "Negotiate ";
constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000ull;
constexpr long kReceiveBufferBytes = 512 * 1024;

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::mutex policyMutex;
WsmanAuthPolicy policy;

}  // namespace

void SetWsmanAuthPolicy(const WsmanAuthPolicy& p) {
    std::lock_guard lock(policyMutex);
    policy = p;
}

WsmanAuthPolicy GetWsmanAuthPolicy() {
    std::lock_guard lock(policyMutex);
    return policy;
}

unsigned WsmanPort() {
    const char* p = std::getenv("ORVANE_WSMAN_PORT");
    if (!p || !*p) return kDefaultPort;
    const long v = std::strtol(p, nullptr, 10);
    return v > 0 && v < 65536 ? static_cast<unsigned>(v) : kDefaultPort;
}

std::string WsmanCaFile() {
    if (const char* p = std::getenv("LDAPTLS_CACERT"); p && *p) return p;
    std::ifstream in("/etc/ldap/ldap.conf");
    std::string line;
    constexpr std::string_view kKey = "TLS_CACERT";
    while (std::getline(in, line)) {
        std::string_view v(line);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        if (v.size() <= kKey.size() || !EqualsNoCase(v.substr(0, kKey.size()), kKey)) continue;
        v.remove_prefix(kKey.size());
        if (v.front() != ' ' && v.front() != '\t') continue;  // TLS_CACERTDIR and the like
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
        if (!v.empty()) return std::string(v);
    }
    return {};
}

// One HTTPS connection to a WS-Management listener, authenticated per connection: Kerberos
// first, NTLM when Kerberos cannot be used and the policy allows it, both bound to the channel.
class WsmanSession final : public WsmanTransport {
public:
    WsmanSession(std::string url, std::string host, std::string user, std::string domain, std::string password,
                 WsmanAuthPolicy policy)
        : url_(std::move(url)), host_(std::move(host)), user_(std::move(user)), domain_(std::move(domain)),
          password_(std::move(password)), policy_(policy) {}

    ~WsmanSession() override { OPENSSL_cleanse(password_.data(), password_.size()); }

    const std::string& Url() const override { return url_; }
    std::string& Body() override { return body_; }
    const char* Mechanism() const override { return mechanism_; }

    bool Open(std::string& error) {
        GlobalInit();
        curl_.reset(curl_easy_init());
        if (!curl_) {
            error = "cannot create an HTTP handle";
            return false;
        }
        CURL* c = curl_.get();
        curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        const std::string ca = WsmanCaFile();
        if (!ca.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &WsmanSession::OnBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &WsmanSession::OnHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError_);
        // Large reads: a batch of items arrives in few TLS reads and write callbacks.
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        // A poll moves megabytes: AES-128-GCM first, the cheapest of the strong suites for both
        // ends (a server that chooses by its own order still may take another).
        curl_easy_setopt(c, CURLOPT_TLS13_CIPHERS, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
        return true;
    }

    bool Post(const std::string& body, bool& denied, std::string& error) override {
        denied = false;
        long status = 0;
        if (authenticated_) {
            if (!Send(body, nullptr, status, error)) return false;
            if (status != kHttpUnauthorized) return Answer(status, error);
            // A new connection under the same handle: authenticate it again.
            authenticated_ = false;
        }
        if (!Handshake(body, status, denied, error)) return false;
        return Answer(status, error);
    }

private:
    static std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* self) {
        auto* s = static_cast<WsmanSession*>(self);
        const std::size_t bytes = size * n;
        if (s->body_.size() + bytes > wsman::kMaxResponseBytes) {
            s->tooLarge_ = true;
            return 0;  // aborts the transfer
        }
        s->body_.append(data, bytes);
        return bytes;
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* self) {
        auto* s = static_cast<WsmanSession*>(self);
        std::string_view h(data, size * n);
        // The connection is up while its answer arrives: the moment to read its certificate.
        if (h.starts_with("HTTP/")) s->ReadChannelBindings();
        constexpr std::string_view kLength = "Content-Length:";
        if (h.size() > kLength.size() && EqualsNoCase(h.substr(0, kLength.size()), kLength)) {
            // The body lands in one buffer that keeps its size from answer to answer.
            h.remove_prefix(kLength.size());
            while (!h.empty() && (h.front() == ' ' || h.front() == '\t')) h.remove_prefix(1);
            std::size_t length = 0;
            std::from_chars(h.data(), h.data() + h.size(), length);
            if (length <= wsman::kMaxResponseBytes) s->body_.reserve(length);
            return size * n;
        }
        constexpr std::string_view kName = "WWW-Authenticate:";
        if (h.size() > kName.size() && EqualsNoCase(h.substr(0, kName.size()), kName)) {
            h.remove_prefix(kName.size());
            while (!h.empty() && (h.front() == ' ' || h.front() == '\t')) h.remove_prefix(1);
            while (!h.empty() && (h.back() == '\r' || h.back() == '\n' || h.back() == ' ')) h.remove_suffix(1);
            if (h.size() > 10 && EqualsNoCase(h.substr(0, 10), kNegotiate)) s->token_.assign(h.substr(10));
        }
        return size * n;
    }

    bool Send(const std::string& body, const std::string* authorization, long& status, std::string& error) {
        CURL* c = curl_.get();
        body_.clear();
        token_.clear();
        tooLarge_ = false;
        curlError_[0] = '\0';
        std::unique_ptr<curl_slist, SlistDeleter> headers(
            curl_slist_append(nullptr, "Content-Type: application/soap+xml;charset=UTF-8"));
        std::string auth;
        if (authorization) {
            auth = "Authorization: ";
            auth += kNegotiate;
            auth += *authorization;
            headers.reset(curl_slist_append(headers.release(), auth.c_str()));
        }
        if (!headers) {
            error = "out of memory";
            return false;
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        const CURLcode rc = curl_easy_perform(c);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        if (tooLarge_) {
            error = "the answer is larger than " + std::to_string(wsman::kMaxResponseBytes) + " bytes";
            return false;
        }
        if (rc != CURLE_OK) {
            error = curlError_[0] ? curlError_ : curl_easy_strerror(rc);
            return false;
        }
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        return true;
    }

    bool Answer(long status, std::string& error) {
        // WS-Management sends its faults with status 500.
        if (status != 200 && !(status == 500 && !body_.empty())) {
            error = "HTTP status " + std::to_string(status);
            return false;
        }
        return true;
    }

    // The channel's tls-server-end-point bindings, from the certificate of the connection in use.
    void ReadChannelBindings() {
        const curl_tlssessioninfo* info = nullptr;
        if (curl_easy_getinfo(curl_.get(), CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
            info->backend != CURLSSLBACKEND_OPENSSL || !info->internals)
            return;
        std::string hash;
        if (binding::TlsServerEndPoint(SSL_get0_peer_certificate(static_cast<SSL*>(info->internals)), hash))
            bindings_ = binding::ApplicationData(hash);
    }

    // The last transfer needed a new connection: a handshake begun on the old one is lost.
    bool NewConnection() const {
        long connects = 0;
        curl_easy_getinfo(curl_.get(), CURLINFO_NUM_CONNECTS, &connects);
        return connects != 0;
    }

    bool Handshake(const std::string& body, long& status, bool& denied, std::string& error) {
        mechanism_ = nullptr;
        const bool ntlmAllowed = policy_.mechanism == WsmanAuth::Ntlm || (policy_.mechanism == WsmanAuth::Auto && policy_.allowNtlm);
        if (policy_.mechanism == WsmanAuth::Ntlm) return NtlmHandshake(body, status, denied, error);
        std::string why;
        switch (KerberosHandshake(body, status, why, error)) {
            case Outcome::Done:
                return true;
            case Outcome::Failed:
                return false;
            case Outcome::AccountRefused:
                denied = true;
                return false;
            case Outcome::Unusable:
                break;
        }
        if (!ntlmAllowed) {
            denied = true;
            error = "cannot authenticate: Kerberos cannot be used (" + why + ") and NTLM is " +
                    (policy_.mechanism == WsmanAuth::Auto ? "forbidden (AllowNtlm=0)" : "not asked for");
            return false;
        }
        LogInfo("[INF]WS-Management %s: Kerberos cannot be used (%s); falling back to NTLM.", url_.c_str(), why.c_str());
        return NtlmHandshake(body, status, denied, error);
    }

    enum class Outcome { Done, Failed, AccountRefused, Unusable };

    // What Kerberos needs beside the account: the DC's host name and domain, read from the DC.
    bool PrepareKerberos(std::string& why) {
        if (kerberos_) return true;
        DcIdentity dc;
        std::string error;
        if (!ReadDcIdentity(host_, dc, error)) {
            why = "the DC's host name is unknown: " + error;
            return false;
        }
        principal_ = KerberosPrincipalOf(domain_, user_, dc.dnsDomain);
        service_ = WinRmPrincipalOf(dc);
        kerberos_ = std::make_unique<KerberosClient>(principal_, password_);
        return true;
    }

    void LogKerberos(const KerberosError& e) const {
        LogError("[ERR]WS-Management %s: Kerberos as %s for %s: %s (%s)", url_.c_str(), principal_.c_str(),
                 service_.c_str(), KerberosFailureText(e.kind), e.detail.c_str());
    }

    // Kerberos inside Negotiate: one request to learn the channel, one carrying the ticket and
    // the first request's body, whose answer proves the server (mutual authentication).
    Outcome KerberosHandshake(const std::string& body, long& status, std::string& why, std::string& error) {
        if (!PrepareKerberos(why)) return Outcome::Unusable;
        KerberosError ke;
        if (!kerberos_->EnsureTicket(ke)) {
            LogKerberos(ke);
            why = KerberosFailureText(ke.kind);
            if (!KerberosRefusedAccount(ke.kind)) return Outcome::Unusable;
            error = std::string("the KDC refused the account: ") + why;
            return Outcome::AccountRefused;
        }
        bindings_.clear();
        if (!Send(std::string(), nullptr, status, error)) return Outcome::Failed;
        if (bindings_.empty()) {
            error = "the server's certificate cannot be read for the channel bindings";
            return Outcome::Failed;
        }
        std::string token;
        bool started = kerberos_->Start(service_, bindings_, token, ke);
        if (!started && ke.kind == KerberosFailure::TicketExpired) {
            // Aged in between (a suspended machine, a clock set forward): once more with a new one.
            kerberos_->Forget();
            started = kerberos_->EnsureTicket(ke) && kerberos_->Start(service_, bindings_, token, ke);
        }
        if (!started) {
            LogKerberos(ke);
            why = KerberosFailureText(ke.kind);
            return Outcome::Unusable;
        }
        // One message carries the whole of it: a server that closed the first connection is
        // answered on a new one (the same certificate, so the same bindings).
        const std::string encoded = ntlm::Base64(token);
        if (!Send(body, &encoded, status, error)) return Outcome::Failed;
        if (status == kHttpUnauthorized) {
            why = "the server refused the Kerberos ticket for " + service_;
            LogError("[ERR]WS-Management %s: %s.", url_.c_str(), why.c_str());
            return Outcome::Unusable;
        }
        std::string reply;
        if (!token_.empty() && !ntlm::FromBase64(token_, reply)) reply.clear();
        if (!kerberos_->Finish(reply, ke)) {
            // The answer did not come from the service the ticket was for: it is not used.
            error = "the server did not prove itself to Kerberos: " + ke.detail;
            body_.clear();
            return Outcome::Failed;
        }
        Authenticated("Kerberos");
        return Outcome::Done;
    }

    void Authenticated(const char* mechanism) {
        authenticated_ = true;
        mechanism_ = mechanism;
        // Once per session, and again when a later connection took the other mechanism.
        if (logged_ != mechanism) {
            logged_ = mechanism;
            LogInfo("[INF]WS-Management %s: authenticated with %s as %s.", url_.c_str(), mechanism,
                    std::strcmp(mechanism, "Kerberos") == 0 ? principal_.c_str()
                    : domain_.empty()                     ? user_.c_str()
                                                          : (domain_ + "\\" + user_).c_str());
        }
    }

    bool NtlmHandshake(const std::string& body, long& status, bool& denied, std::string& error) {
        bindings_.clear();
        const std::string hello = ntlm::Base64(ntlm::NegotiateMessage());
        if (!Send(std::string(), &hello, status, error)) return false;
        std::string raw;
        ntlm::Challenge challenge;
        if (status != kHttpUnauthorized || token_.empty() || !ntlm::FromBase64(token_, raw) ||
            !ntlm::ParseChallenge(raw, challenge, error)) {
            if (error.empty()) error = "the server offers no NTLM challenge (HTTP status " + std::to_string(status) + ")";
            return false;
        }
        std::array<unsigned char, 8> clientChallenge{};
        if (RAND_bytes(clientChallenge.data(), 8) != 1) {
            error = "no random bytes for the NTLM client challenge";
            return false;
        }
        const std::uint64_t fileTime =
            static_cast<std::uint64_t>(platform::GetClock().Now()) * 10000000ull + kFileTimeOf1970;
        std::string answer;
        const auto cbt = binding::NtlmChannelBindingHash(bindings_);
        if (!ntlm::AuthenticateMessage(challenge, user_, domain_, password_, clientChallenge, fileTime, answer, error,
                                       bindings_.empty() ? nullptr : &cbt))
            return false;
        const std::string encoded = ntlm::Base64(answer);
        if (!Send(body, &encoded, status, error)) return false;
        // The handshake binds to one connection: a reconnect in between would lose it.
        if (status == kHttpUnauthorized) {
            denied = !NewConnection();
            error = denied ? "the server refused the credentials" : "the connection was lost during NTLM authentication";
            return false;
        }
        Authenticated("NTLM");
        return true;
    }

    std::string url_, host_, user_, domain_, password_;
    WsmanAuthPolicy policy_;
    std::unique_ptr<KerberosClient> kerberos_;
    std::string principal_, service_;
    std::string bindings_;  // application data of the connection's channel bindings
    const char* mechanism_ = nullptr;  // of the connection in use
    const char* logged_ = nullptr;
    std::unique_ptr<CURL, CurlDeleter> curl_;
    std::string body_, token_;
    bool tooLarge_ = false;
    bool authenticated_ = false;
    char curlError_[CURL_ERROR_SIZE] = {};
};

namespace {

// The result of a parsed answer; logs what went wrong.
HResult Outcome(wsman::ParseResult parsed, const wsman::Fault& fault, const std::string& error, const std::string& url) {
    switch (parsed) {
        case wsman::ParseResult::Ok:
            return kSOk;
        case wsman::ParseResult::Fault:
            LogError("[ERR]WS-Management fault from %s: %s %s: %s", url.c_str(), fault.code.c_str(),
                     fault.subcode.c_str(), fault.reason.c_str());
            return wsman::FaultResult(fault);
        case wsman::ParseResult::Malformed:
            break;
    }
    LogError("[ERR]WS-Management %s: %s", url.c_str(), error.c_str());
    return kWbemEFailed;
}

// The result of a message that did not get through; logs why.
HResult Undelivered(const std::string& url, bool denied, const std::string& error) {
    LogError("[ERR]WS-Management %s: %s", url.c_str(), error.c_str());
    return denied ? kEAccessDenied : kRpcServerUnavailable;
}

// Sends one message; false (logged) when it did not get through. `hr` is the failure.
bool Deliver(WsmanTransport& transport, const std::string& request, HResult& hr) {
    std::string error;
    bool denied = false;
    if (transport.Post(request, denied, error)) return true;
    hr = Undelivered(transport.Url(), denied, error);
    return false;
}

void Release(WsmanTransport& transport, const std::string& context) {
    HResult hr = kSOk;
    if (Deliver(transport, wsman::BuildRelease(transport.Url(), context, wsman::NewMessageId()), hr)) {
        wsman::LoadedAnswer answer;
        answer.body.swap(transport.Body());
        // A ReleaseResponse carries no enumeration; only a fault is worth a line in the log.
        if (wsman::LoadEnumeration(answer) == wsman::ParseResult::Fault)
            Outcome(wsman::ParseResult::Fault, answer.fault, answer.error, transport.Url());
        answer.body.swap(transport.Body());
    }
}

// One answer to a Pull, taken off the transport; parsed later, on the thread that maps it.
struct Answer {
    bool delivered = false;
    bool denied = false;
    std::string error;
    std::string pulledWith;  // the context the Pull named
    std::unique_ptr<wsman::LoadedAnswer> loaded;  // its body when delivered; else only buffers to reuse
};

// One query's results. A receiver thread pulls batch after batch: it learns the next context
// from the head of each answer and asks again at once, so the server's work and the transfer
// go on while this thread parses and maps the answers it has. At most kAhead answers wait, so
// memory stays bounded. The transport is used by one thread at a time: the receiver is
// stopped and joined before anything else is sent, and only then is an enumeration stopped
// early (the caller's enumerator destroyed, or an answer that could not be read) released.
class WsmanEnumerator final : public EventEnumerator {
public:
    explicit WsmanEnumerator(std::shared_ptr<WsmanTransport> transport) : transport_(std::move(transport)) {}

    ~WsmanEnumerator() override {
        StopReceiver();
        if (ended_) return;
        // The server holds the enumeration until it times out unless it is released.
        std::string open = std::move(batch_.context);
        if (!ready_.empty()) open = LeftOpen(ready_.back());
        if (!open.empty()) Release(*transport_, open);
    }

    // Sends the Enumerate and reads its first batch.
    HResult Start(std::string_view wql) {
        HResult hr = kSOk;
        if (!Deliver(*transport_, wsman::BuildEnumerate(transport_->Url(), wql, kWsmanMaxElements, wsman::NewMessageId()),
                     hr))
            return hr;
        Answer first;
        first.delivered = true;
        first.loaded = std::make_unique<wsman::LoadedAnswer>();
        first.loaded->body.swap(transport_->Body());
        return Read(first);
    }

    bool Next(EventObject& out) override {
        while (index_ >= batch_.items.size()) {
            Answer a;
            if (ended_ || !TakeAnswer(a)) return false;
            if (const HResult hr = Read(a); hr != kSOk) {
                LogError("[ERR]The enumeration of %s ended early: 0x%lX", transport_->Url().c_str(),
                         static_cast<unsigned long>(static_cast<std::uint32_t>(hr)));
                return false;
            }
        }
        // The caller's last object takes this one's place: its storage is rewritten by the next batch.
        std::swap(out, batch_.items[index_++]);
        return true;
    }

private:
    static constexpr std::size_t kAhead = 2;

    // Parses an answer and maps it into the batch (its item slots are reused from pull to
    // pull); when nothing pulls yet, the next pull leaves before the mapping starts. On failure
    // the enumeration is over: released when the answer came but could not be read, as the
    // server still holds it then.
    HResult Read(Answer& a) {
        index_ = 0;
        HResult hr = kSOk;
        bool gone = !a.delivered;
        if (!a.delivered) {
            hr = Undelivered(transport_->Url(), a.denied, a.error);
        } else {
            wsman::LoadedAnswer& l = *a.loaded;
            std::string error;
            wsman::ParseResult parsed = wsman::LoadEnumeration(l);
            if (parsed == wsman::ParseResult::Ok) {
                if (!l.context.empty() && Idle()) StartReceiver(l.context);
                parsed = wsman::MapItems(l, batch_, error);
            } else {
                error = l.error;
            }
            hr = Outcome(parsed, l.fault, error, transport_->Url());
            gone = parsed == wsman::ParseResult::Fault && ContextGone(l.fault);
        }
        // What the server still holds if this answer ends the enumeration here: the context it
        // names when it was read, else the one it was pulled with.
        std::string left = a.pulledWith;
        if (a.delivered && a.loaded->result == wsman::ParseResult::Ok) left = a.loaded->context;
        Recycle(std::move(a.loaded));
        if (hr == kSOk) {
            if (batch_.endOfSequence) {
                // Whatever was pulled past the end (a server that named a context anyway) is dropped.
                ended_ = true;
                StopReceiver();
                ready_.clear();
            }
            return hr;
        }
        batch_.items.clear();
        batch_.context.clear();
        StopReceiver();
        std::string open = gone ? std::string() : left;
        // Later pulls may have left before this answer proved unreadable.
        if (!ready_.empty()) open = LeftOpen(ready_.back());
        ready_.clear();
        ended_ = true;
        if (!open.empty()) Release(*transport_, open);
        return hr;
    }

    // After a fault the enumeration stays open on the server unless the fault says it is gone.
    static bool ContextGone(const wsman::Fault& fault) { return fault.subcode.ends_with("InvalidEnumerationContext"); }

    // The context an answer not yet read leaves open, empty when none.
    static std::string LeftOpen(Answer& a) {
        if (!a.delivered) return {};  // the connection is gone, and the enumeration with it
        wsman::LoadedAnswer& l = *a.loaded;
        switch (wsman::LoadEnumeration(l)) {
            case wsman::ParseResult::Ok:
                return l.context;
            case wsman::ParseResult::Fault:
                if (ContextGone(l.fault)) return {};
                break;
            case wsman::ParseResult::Malformed:
                break;
        }
        return a.pulledWith;
    }

    // The next answer, waiting for the receiver; false when no more are coming.
    bool TakeAnswer(Answer& a) {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !ready_.empty() || !receiving_; });
            if (!ready_.empty()) break;
            // The receiver stopped where an answer's head did not tell the context; the parse did.
            if (batch_.context.empty()) return false;
            lock.unlock();
            const std::string context = std::move(batch_.context);
            batch_.context.clear();
            if (!StartReceiver(context)) {
                Answer pulled = Pull(context);
                lock.lock();
                ready_.push_back(std::move(pulled));
                break;
            }
            lock.lock();
        }
        a = std::move(ready_.front());
        ready_.pop_front();
        changed_.notify_all();
        return true;
    }

    // Sends one Pull and takes its answer off the transport.
    Answer Pull(const std::string& context) {
        Answer a;
        a.pulledWith = context;
        {
            std::lock_guard lock(mutex_);
            if (!spares_.empty()) {
                a.loaded = std::move(spares_.back());
                spares_.pop_back();
            }
        }
        if (!a.loaded) a.loaded = std::make_unique<wsman::LoadedAnswer>();
        a.delivered = transport_->Post(wsman::BuildPull(transport_->Url(), context, kWsmanMaxElements, wsman::NewMessageId()),
                                       a.denied, a.error);
        // The answer leaves with the transport's buffer; the transport gets this one's to fill.
        a.loaded->body.swap(transport_->Body());
        return a;
    }

    // The receiver: pulls until an answer's head names no context or it is told to stop.
    void Receive(std::string context) {
        for (;;) {
            Answer a = Pull(context);
            std::string next = a.delivered ? wsman::PeekContext(a.loaded->body) : std::string();
            std::unique_lock lock(mutex_);
            ready_.push_back(std::move(a));
            changed_.notify_all();
            changed_.wait(lock, [this] { return stop_ || ready_.size() < kAhead; });
            if (stop_ || next.empty()) {
                receiving_ = false;
                changed_.notify_all();
                return;
            }
            context = std::move(next);
        }
    }

    // Nothing pulls, and nothing pulled waits: the next pull is this thread's to start.
    bool Idle() {
        std::lock_guard lock(mutex_);
        return !receiving_ && ready_.empty();
    }

    // False when no thread can be had: the caller then pulls itself.
    bool StartReceiver(const std::string& context) {
        if (receiver_.joinable()) receiver_.join();
        std::lock_guard lock(mutex_);
        receiving_ = true;
        stop_ = false;
        try {
            receiver_ = std::thread(&WsmanEnumerator::Receive, this, context);
        } catch (const std::system_error&) {
            receiving_ = false;
            return false;
        }
        return true;
    }

    // Waits for the pull in flight: its answer joins the others.
    void StopReceiver() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        if (receiver_.joinable()) receiver_.join();
    }

    // An answer's buffers and document pages serve a later pull.
    void Recycle(std::unique_ptr<wsman::LoadedAnswer> loaded) {
        if (!loaded) return;
        loaded->doc.reset();
        std::lock_guard lock(mutex_);
        if (spares_.size() < kAhead + 1) spares_.push_back(std::move(loaded));
    }

    std::shared_ptr<WsmanTransport> transport_;
    wsman::EnumerationBatch batch_;
    std::size_t index_ = 0;
    bool ended_ = false;  // the end was read, or a failure: nothing is left to release

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Answer> ready_;  // pulled, not yet read; at most kAhead
    std::vector<std::unique_ptr<wsman::LoadedAnswer>> spares_;
    bool receiving_ = false;
    bool stop_ = false;
    std::thread receiver_;
};

class WsmanServices final : public EventServices {
public:
    explicit WsmanServices(std::shared_ptr<WsmanTransport> transport) : transport_(std::move(transport)) {}

    const char* Mechanism() const { return transport_->Mechanism(); }

    HResult ExecQuery(std::string_view wql, std::unique_ptr<EventEnumerator>& out) override {
        auto e = std::make_unique<WsmanEnumerator>(transport_);
        if (const HResult hr = e->Start(wql); hr != kSOk) return hr;
        out = std::move(e);
        return kSOk;
    }

private:
    std::shared_ptr<WsmanTransport> transport_;
};

}  // namespace

std::unique_ptr<EventServices> MakeWsmanServices(std::shared_ptr<WsmanTransport> transport) {
    return std::make_unique<WsmanServices>(std::move(transport));
}

const char* WsmanMechanism(const EventServices& services) {
    const auto* wsman = dynamic_cast<const WsmanServices*>(&services);
    return wsman ? wsman->Mechanism() : nullptr;
}

HResult WsmanLocator::ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                                    const std::string& authority, std::unique_ptr<EventServices>& out) {
    // "\\host\root\cimv2"
    if (!path.starts_with("\\\\")) return kWbemEInvalidNamespace;
    const std::size_t slash = path.find('\\', 2);
    const std::string host = path.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    if (host.empty() || slash == std::string::npos || !EqualsNoCase(std::string_view(path).substr(slash + 1), "root\\cimv2"))
        return kWbemEInvalidNamespace;
    if (host.find_first_of("/@[]?# ") != std::string::npos) return kWbemEInvalidNamespace;
    if (user.empty()) {
        LogError("[ERR]WS-Management needs an account: %s has no user name", host.c_str());
        return kEAccessDenied;
    }
    constexpr std::string_view kNtlmDomain = "ntlmdomain:";
    std::string domain;
    if (authority.size() >= kNtlmDomain.size() && EqualsNoCase(std::string_view(authority).substr(0, kNtlmDomain.size()), kNtlmDomain))
        domain = authority.substr(kNtlmDomain.size());
    const std::string url = "https://" + host + ":" + std::to_string(WsmanPort()) + "/wsman";
    auto session = std::make_shared<WsmanSession>(url, host, user, domain, password, GetWsmanAuthPolicy());
    std::string error;
    if (!session->Open(error)) {
        LogError("[ERR]WS-Management %s: %s", url.c_str(), error.c_str());
        return kRpcServerUnavailable;
    }
    // An authenticated Identify proves the listener, its certificate and the credentials.
    HResult hr = kSOk;
    if (!Deliver(*session, wsman::BuildIdentify(), hr)) return hr;
    wsman::Fault fault;
    hr = Outcome(wsman::ParseIdentify(session->Body(), fault, error), fault, error, url);
    if (hr == kSOk) out = MakeWsmanServices(std::move(session));
    return hr;
}

}  // namespace orvane
