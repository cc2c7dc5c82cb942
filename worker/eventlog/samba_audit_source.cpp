#include "worker/eventlog/samba_audit_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/log.h"
#include "common/profile.h"
#include "common/text.h"

namespace orvane {
namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kBackChunk = 64 << 10;
// The first bytes of the last line read, compared at every read: a file rewritten in place to
// the same length or longer is noticed too.
constexpr std::uint64_t kSignatureBytes = 64;
constexpr char kDefaultSmbConf[] = "/etc/samba/smb.conf";
constexpr char kSmbConfVariable[] = "ORVANE_SMB_CONF";
// Samba writes successful logons of this class from level 3 on.
constexpr int kAuditLevelNeeded = 3;
// The eventId of every successful authentication line.
constexpr std::int64_t kSambaSuccessId = 4624;

bool ParseDigits(std::string_view s, std::size_t at, std::size_t n, int& v) {
    if (at + n > s.size()) return false;
    v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// "ipv4:10.0.0.7:51234" -> 10.0.0.7 and 51234; "ipv6:::1:51234" -> ::1; null -> "-".
void SplitSambaAddress(std::string_view a, std::string& address, std::string& port) {
    address = "-";
    port = "-";
    if (a.starts_with("ipv4:") || a.starts_with("ipv6:")) a.remove_prefix(5);
    const std::size_t colon = a.rfind(':');
    if (colon == std::string_view::npos || a.empty()) return;
    address.assign(a.substr(0, colon));
    port.assign(a.substr(colon + 1));
    if (address.empty()) address = "-";
}

// Where the user name and the client address go, per event id (the layout Windows uses).
struct Layout {
    std::int64_t eventId;
    std::size_t size, user, domain, address, port;
};
// 4776 has no client address: its slots point past the strings.
constexpr Layout kLayouts[] = {
    {4624, 21, 5, 6, 18, 19},   // an account was logged on (at this DC)
    {4768, 10, 0, 1, 9, 10},    // a Kerberos ticket (TGT) was requested; port element 10 is cut below
    {4769, 9, 0, 1, 6, 7},      // a service ticket was requested
    {4776, 4, 1, 4, 4, 4},      // credentials were validated for another server (NTLM pass-through)
};

// Samba writes every successful authentication as its 4624. The event a Windows DC writes for the
// same act: a logon at another server whose NTLM answer this DC only checked (NETLOGON SamLogon)
// is no logon at the client's address and must not look like one.
const Layout& WindowsEventOf(std::string_view service, std::string_view authDescription) {
    if (service == "Kerberos KDC") return authDescription.find("TGS") != std::string_view::npos ? kLayouts[2] : kLayouts[1];
    if (service == "SamLogon") return kLayouts[3];
    return kLayouts[0];
}

// Reads the fields of one audit line. After any error but a missing field or a value of another
// type, simdjson's on-demand iterator has let go of its parser and must not be touched again (a
// cut or garbled line does that): the first such error ends the reading, and the line is no event.
class LineFields {
public:
    std::string_view String(simdjson::ondemand::object& o, std::string_view key) {
        std::string_view v;
        if (broken_ || !Took(o[key].get_string().get(v))) return {};
        return v;
    }
    bool Int(simdjson::ondemand::object& o, std::string_view key, std::int64_t& v) {
        return !broken_ && Took(o[key].get_int64().get(v));
    }
    bool broken() const { return broken_; }

private:
    bool Took(simdjson::error_code e) {
        if (e != simdjson::SUCCESS && e != simdjson::NO_SUCH_FIELD && e != simdjson::INCORRECT_TYPE) broken_ = true;
        return e == simdjson::SUCCESS;
    }
    bool broken_ = false;
};

}  // namespace

std::string SambaConfigPath() {
    const char* p = std::getenv(kSmbConfVariable);
    return p && *p ? std::string(p) : std::string(kDefaultSmbConf);
}

bool FindSambaAuditLog(const std::string& smbConf, std::string& path, std::string& why) {
    if (::access(smbConf.c_str(), R_OK) != 0) {
        why = "cannot read " + smbConf + ": " + std::strerror(errno);
        return false;
    }
    std::string level = ReadProfileString(smbConf, "global", "log level", "", 4096);
    if (level.empty()) level = ReadProfileString(smbConf, "global", "debug level", "", 4096);
    // Items are "N" (all classes) or "class:N[@file]", separated by blanks or commas.
    std::string file;
    int classLevel = -1;
    std::size_t i = 0;
    while (i < level.size()) {
        while (i < level.size() && (level[i] == ' ' || level[i] == '\t' || level[i] == ',')) ++i;
        std::size_t e = i;
        while (e < level.size() && level[e] != ' ' && level[e] != '\t' && level[e] != ',') ++e;
        std::string_view item(level.data() + i, e - i);
        i = e;
        if (!item.starts_with("auth_json_audit:")) continue;
        item.remove_prefix(std::strlen("auth_json_audit:"));
        const std::size_t at = item.find('@');
        int n = -1;
        std::string_view digits = item.substr(0, at);
        auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (ec != std::errc() || p != digits.data() + digits.size()) continue;
        classLevel = n;
        file = at == std::string_view::npos ? std::string() : std::string(item.substr(at + 1));
    }
    if (classLevel < kAuditLevelNeeded) {
        why = smbConf + " does not log successful logons: add \"log level = 1 auth_json_audit:3@/var/log/samba/auth.json\" to [global]";
        return false;
    }
    if (file.empty()) file = ReadProfileString(smbConf, "global", "log file", "", 4096);
    if (file.empty()) {
        why = smbConf + " names no file for auth_json_audit";
        return false;
    }
    path = file;
    return true;
}

bool IsoToCimDateTime(std::string_view s, std::string& out) {
    // 2026-12-07T09:06:16.359165+0000
    int y, mo, d, h, mi, se, us = 0;
    if (!ParseDigits(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !ParseDigits(s, 5, 2, mo) || s[7] != '-' ||
        !ParseDigits(s, 8, 2, d) || (s[10] != 'T' && s[10] != ' ') || !ParseDigits(s, 11, 2, h) || s[13] != ':' ||
        !ParseDigits(s, 14, 2, mi) || s[16] != ':' || !ParseDigits(s, 17, 2, se))
        return false;
    std::size_t i = 19;
    if (i < s.size() && s[i] == '.') {
        ++i;
        int digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            if (digits < 6) us = us * 10 + (s[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0) return false;
        for (; digits < 6; ++digits) us *= 10;
    }
    int offsetMinutes = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        int oh, om;
        const bool colon = i + 3 < s.size() && s[i + 3] == ':';
        if (!ParseDigits(s, i + 1, 2, oh) || !ParseDigits(s, i + (colon ? 4 : 3), 2, om)) return false;
        offsetMinutes = (oh * 60 + om) * (s[i] == '-' ? -1 : 1);
        i += colon ? 6 : 5;
    } else if (i < s.size() && s[i] == 'Z') {
        ++i;
    }
    if (i != s.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return false;
    // yyyymmddHHMMSS.mmmmmm+000, written digit by digit: this runs once per event read.
    char buf[25];
    auto put = [&buf](std::size_t at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) buf[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    auto finish = [&](int hour, int minute, int second) {
        put(0, y, 4);
        put(4, mo, 2);
        put(6, d, 2);
        put(8, hour, 2);
        put(10, minute, 2);
        put(12, second, 2);
        buf[14] = '.';
        put(15, us, 6);
        std::memcpy(buf + 21, "+000", 4);
        out.assign(buf, sizeof buf);
        return true;
    };
    // Already UTC and a day every month has (times come so from Samba and WinRM): nothing to carry.
    if (offsetMinutes == 0 && d <= 28 && se < 60) {
        // The digits stay as they are, only rearranged.
        std::memcpy(buf, s.data(), 4);
        std::memcpy(buf + 4, s.data() + 5, 2);
        std::memcpy(buf + 6, s.data() + 8, 2);
        std::memcpy(buf + 8, s.data() + 11, 2);
        std::memcpy(buf + 10, s.data() + 14, 2);
        std::memcpy(buf + 12, s.data() + 17, 2);
        buf[14] = '.';
        put(15, us, 6);
        std::memcpy(buf + 21, "+000", 4);
        out.assign(buf, sizeof buf);
        return true;
    }
    std::int64_t t = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se - offsetMinutes * 60;
    std::int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    std::int64_t rest = t - days * 86400;
    CivilFromDays(days, y, mo, d);
    if (y < 0 || y > 9999) return false;
    return finish(static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
}

struct AuditLineMapper::Impl {
    simdjson::ondemand::parser parser;
    std::string padded;
};

AuditLineMapper::AuditLineMapper() : impl_(std::make_unique<Impl>()) {}
AuditLineMapper::~AuditLineMapper() = default;
std::size_t AuditLineMapper::Padding() { return simdjson::SIMDJSON_PADDING; }

bool AuditLineMapper::Map(std::string_view line, EventObject& out, std::string& time) {
    impl_->padded.assign(line);
    impl_->padded.append(Padding(), '\0');
    return Map(impl_->padded.data(), line.size(), impl_->padded.size(), 0, out, time);
}

bool AuditLineMapper::Map(const char* line, std::size_t length, std::size_t capacity, std::uint64_t recordNumber,
                          EventObject& out, std::string& time) {
    time.clear();
    // Only JSON objects: a shared "log file" also holds Samba's ordinary debug lines.
    std::size_t skip = 0;
    while (skip < length && (line[skip] == ' ' || line[skip] == '\t')) ++skip;
    if (skip == length || line[skip] != '{') return false;
    simdjson::ondemand::document doc;
    if (impl_->parser.iterate(simdjson::padded_string_view(line + skip, length - skip, capacity - skip)).get(doc))
        return false;
    simdjson::ondemand::object root;
    if (doc.get_object().get(root)) return false;
    LineFields f;
    std::string_view stamp = f.String(root, "timestamp");
    if (stamp.empty() || !IsoToCimDateTime(stamp, time)) {
        time.clear();
        return false;
    }
    if (f.String(root, "type") != "Authentication") return false;
    simdjson::ondemand::object a;
    if (root["Authentication"].get_object().get(a)) return false;
    // Samba's own id: 4624 for every success, 4625 for a failure.
    std::int64_t sambaId = 0;
    if (!f.Int(a, "eventId", sambaId) || sambaId != kSambaSuccessId) return false;
    // Read in the order Samba writes the fields: the iterator then never wraps around.
    const std::string logonId(f.String(a, "logonId"));
    std::int64_t logonType = 0;
    if (!f.Int(a, "logonType", logonType)) logonType = 0;
    if (f.String(a, "status") != "NT_STATUS_OK") return false;
    std::string address, port;
    SplitSambaAddress(f.String(a, "remoteAddress"), address, port);
    const std::string service(f.String(a, "serviceDescription"));
    const std::string_view how = f.String(a, "authDescription");
    const Layout& layout = WindowsEventOf(service, how);
    const std::string client(f.String(a, "clientAccount"));
    std::string workstation(f.String(a, "workstation"));
    std::string account(f.String(a, "becameAccount"));
    if (account.empty()) account = client;
    const std::string domain(f.String(a, "becameDomain"));
    const std::string sid(f.String(a, "becameSid"));
    if (account.empty() || f.broken()) return false;

    const std::int64_t eventId = layout.eventId;
    std::vector<std::string> strings(layout.size, "-");
    strings[layout.user] = account;
    if (layout.domain < strings.size()) strings[layout.domain] = domain.empty() ? "-" : domain;
    if (layout.address < strings.size()) strings[layout.address] = address;
    if (layout.port < strings.size()) strings[layout.port] = port;
    if (eventId == 4624) {
        strings[0] = "S-1-0-0";
        strings[3] = "0x0";
        strings[4] = sid.empty() ? "S-1-0-0" : sid;
        strings[7] = "0x" + logonId;
        strings[8] = std::to_string(logonType);
        strings[9] = service;
        if (how == "NTLMSSP") strings[10] = "NTLM";
        if (!workstation.empty()) strings[11] = std::move(workstation);
        strings[12] = "{00000000-0000-0000-0000-000000000000}";
        strings[15] = "0";
        strings[16] = "0x0";
        strings[20] = "%%1833";
    } else if (eventId == 4776) {
        strings[0] = "MICROSOFT_AUTHENTICATION_PACKAGE_V1_0";
        if (!workstation.empty()) strings[2] = std::move(workstation);
        strings[3] = "0x0";
    } else {
        strings[2] = sid.empty() ? "S-1-0-0" : sid;
    }
    out.Clear();
    out.Set("LogFile", std::string("Security"));
    out.Set("SourceName", std::string("Microsoft-Windows-Security-Auditing"));
    out.Set("Type", std::string("Audit Success"));
    out.Set("EventType", std::int64_t{4});
    out.Set("EventCode", eventId);
    out.Set("EventIdentifier", eventId);
    out.Set("RecordNumber", static_cast<std::int64_t>(recordNumber));
    out.Set("TimeGenerated", time);
    out.Set("TimeWritten", time);
    out.Set("InsertionStrings", std::move(strings));
    return true;
}

struct SambaAuditLog::File {
    Fd fd;
    dev_t dev = 0;
    ino_t ino = 0;
    explicit File(int f) : fd(f) {}
};

namespace {

bool TimeAbove(const std::string& time, const std::optional<std::string>& bound) { return !bound || time > *bound; }

// Walks the lines before `end` from the last one backwards, a block at a time.
class BackwardLines {
public:
    BackwardLines(int fd, std::uint64_t end) : fd_(fd), end_(end) {}

    // The previous complete line (without its newline) in a buffer padded for the parser.
    bool Previous(const char*& line, std::size_t& length, std::size_t& capacity, std::uint64_t& at) {
        for (;;) {
            // The buffer holds file bytes [bufStart_, end_); lines end at newlines inside it.
            if (pos_ > 0) {
                std::size_t stop = pos_;
                std::size_t b = stop;
                while (b > 0 && data_[b - 1] != '\n') --b;
                if (b > 0 || bufStart_ == 0) {
                    line = data_.data() + b;
                    length = stop - b;
                    capacity = data_.size() - b;
                    at = bufStart_ + b;
                    pos_ = b > 0 ? b - 1 : 0;
                    if (b == 0) done_ = true;
                    if (length > 0) return true;
                    if (done_) return false;
                    continue;
                }
            } else if (done_ || bufStart_ == 0) {
                return false;
            }
            if (!Extend()) return false;
        }
    }

private:
    // Prepends the block before the buffer.
    bool Extend() {
        if (bufStart_ == 0) return false;
        const std::uint64_t from = bufStart_ > kBackChunk ? bufStart_ - kBackChunk : 0;
        const std::size_t n = static_cast<std::size_t>(bufStart_ - from);
        // Keep only the unfinished line of the earlier block.
        std::vector<char> next(n + pos_ + AuditLineMapper::Padding(), '\0');
        if (::pread(fd_, next.data(), n, static_cast<off_t>(from)) != static_cast<ssize_t>(n)) return false;
        std::memcpy(next.data() + n, data_.data(), pos_);
        pos_ += n;
        data_.swap(next);
        bufStart_ = from;
        return true;
    }

public:
    void Start() {
        // The file's bytes [bufStart_, end_) are read lazily; pos_ is the end of unread text.
        bufStart_ = end_;
        pos_ = 0;
        data_.assign(AuditLineMapper::Padding(), '\0');
    }

private:
    int fd_;
    std::uint64_t end_;
    std::uint64_t bufStart_ = 0;
    std::size_t pos_ = 0;
    std::vector<char> data_;
    bool done_ = false;
};

// The events of one query: the new part's matches (already newest first), then, when the
// bound reaches back before the read position, older events read backwards on demand.
class AuditEnumerator final : public EventEnumerator {
public:
    AuditEnumerator(std::vector<EventObject> fresh, std::shared_ptr<void> keep, int fd, std::uint64_t backEnd,
                    bool backward, std::optional<std::string> bound, std::shared_ptr<const wql::Query> query)
        : fresh_(std::move(fresh)), keep_(std::move(keep)), lines_(fd, backEnd), backward_(backward),
          bound_(std::move(bound)), query_(std::move(query)) {
        lines_.Start();
    }

    bool Next(EventObject& out) override {
        if (index_ < fresh_.size()) {
            out = std::move(fresh_[index_++]);
            return true;
        }
        while (backward_) {
            const char* line;
            std::size_t length, capacity;
            std::uint64_t at;
            if (!lines_.Previous(line, length, capacity, at)) break;
            std::string time;
            const bool mapped = mapper_.Map(line, length, capacity, at, out, time);
            if (time.empty() || !mapped) continue;
            // Lines are written in time order: the first one not above the bound ends the walk.
            if (!TimeAbove(time, bound_)) break;
            if (wql::Matches(query_->where.get(), out)) return true;
        }
        backward_ = false;
        return false;
    }

private:
    std::vector<EventObject> fresh_;
    std::size_t index_ = 0;
    std::shared_ptr<void> keep_;
    BackwardLines lines_;
    bool backward_;
    std::optional<std::string> bound_;
    std::shared_ptr<const wql::Query> query_;
    AuditLineMapper mapper_;
};

class ObjectListEnumerator final : public EventEnumerator {
public:
    explicit ObjectListEnumerator(std::vector<EventObject> objects) : objects_(std::move(objects)) {}
    bool Next(EventObject& out) override {
        if (index_ >= objects_.size()) return false;
        out = std::move(objects_[index_++]);
        return true;
    }

private:
    std::vector<EventObject> objects_;
    std::size_t index_ = 0;
};

}  // namespace

SambaAuditLog::SambaAuditLog(std::string path) : path_(std::move(path)) {}
SambaAuditLog::~SambaAuditLog() = default;

bool SambaAuditLog::OpenCurrent(int& err) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    auto f = std::make_shared<File>(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        err = errno;
        return false;
    }
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    file_ = std::move(f);
    return true;
}

void SambaAuditLog::TakeSignature(std::uint64_t lineStart) {
    // The start of the last line read: its time stamp tells one line from the next.
    signatureAt_ = lineStart;
    signature_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kSignatureBytes, offset_ - lineStart)));
    if (::pread(file_->fd.fd, signature_.data(), signature_.size(), static_cast<off_t>(lineStart)) !=
        static_cast<ssize_t>(signature_.size()))
        signature_.clear();
}

bool SambaAuditLog::SignatureHolds() {
    if (signature_.empty()) return true;
    std::string now(signature_.size(), '\0');
    return ::pread(file_->fd.fd, now.data(), now.size(), static_cast<off_t>(signatureAt_)) ==
               static_cast<ssize_t>(now.size()) &&
           now == signature_;
}

bool SambaAuditLog::ReadForward(const wql::Query& query, const std::optional<std::string>& bound,
                                std::vector<EventObject>& fresh) {
    struct stat st {};
    if (::fstat(file_->fd.fd, &st) != 0) return false;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    bool truncated = false;
    if (size < offset_ || !SignatureHolds()) {
        signature_.clear();
        // Truncated (or rewritten in place): what is there now is new.
        offset_ = 0;
        truncated = true;
    }
    EventObject object;
    std::string time;
    std::size_t carried = 0;  // bytes of an unfinished line at the buffer's start
    while (offset_ + carried < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset_ - carried));
        if (buffer_.size() < carried + want + AuditLineMapper::Padding())
            buffer_.resize(carried + want + AuditLineMapper::Padding());
        const ssize_t n = ::pread(file_->fd.fd, buffer_.data() + carried, want, static_cast<off_t>(offset_ + carried));
        if (n <= 0) break;
        const std::size_t filled = carried + static_cast<std::size_t>(n);
        std::memset(buffer_.data() + filled, 0, AuditLineMapper::Padding());
        std::size_t begin = 0;
        std::size_t lastLine = 0;
        while (begin < filled) {
            const char* nl = static_cast<const char*>(std::memchr(buffer_.data() + begin, '\n', filled - begin));
            if (!nl) break;
            const std::size_t len = static_cast<std::size_t>(nl - (buffer_.data() + begin));
            const std::size_t cap = buffer_.size() - begin;
            if (mapper_.Map(buffer_.data() + begin, len, cap, offset_ + begin, object, time)) {
                if (newestBefore_ < time) newestBefore_ = time;
                if (TimeAbove(time, bound) && wql::Matches(query.where.get(), object)) fresh.push_back(std::move(object));
            }
            lastLine = begin;
            begin += len + 1;
        }
        bytesParsed_ += begin;
        offset_ += begin;
        if (begin > 0) TakeSignature(offset_ - begin + lastLine);
        // An unfinished last line waits for the next read; a line longer than the chunk grows it.
        carried = filled - begin;
        if (begin > 0 && carried > 0) std::memmove(buffer_.data(), buffer_.data() + begin, carried);
        if (begin == 0 && offset_ + carried >= size) break;
    }
    return truncated;
}

HResult SambaAuditLog::Query(std::shared_ptr<const wql::Query> query, std::unique_ptr<EventEnumerator>& out) {
    const std::optional<std::string> bound = wql::LowerBound(query->where.get(), "TimeGenerated");
    std::vector<EventObject> fresh;
    int err = 0;
    bool truncated = false;
    if (!file_) {
        // First query: nothing is read ahead; what is there is walked backwards on demand.
        if (!OpenCurrent(err)) {
            LogError("[ERR]Cannot open the Samba audit log %s: %s", path_.c_str(), std::strerror(err));
            return kWbemENotFound;
        }
        struct stat st {};
        if (::fstat(file_->fd.fd, &st) != 0) return kWbemEFailed;
        FindEnd(static_cast<std::uint64_t>(st.st_size));
    }
    const std::shared_ptr<File> backFile = file_;
    const std::uint64_t backEnd = offset_;
    // Events before the read position are only looked at when the bound reaches back to them.
    bool backward = !bound || *bound < newestBefore_;
    truncated = ReadForward(*query, bound, fresh);
    // Rotated: the old file was finished above; the new one is new from its start.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && (st.st_dev != file_->dev || st.st_ino != file_->ino)) {
        auto old = file_;
        if (OpenCurrent(err)) {
            offset_ = 0;
            ReadForward(*query, bound, fresh);
        } else {
            file_ = old;
        }
    }
    if (truncated) backward = false;
    std::stable_sort(fresh.begin(), fresh.end(), [](const EventObject& a, const EventObject& b) {
        return *a.GetString("TimeGenerated") > *b.GetString("TimeGenerated");
    });
    out = std::make_unique<AuditEnumerator>(std::move(fresh), backFile, backFile->fd.fd, backEnd, backward, bound,
                                            std::move(query));
    return kSOk;
}

void SambaAuditLog::FindEnd(std::uint64_t size) {
    // The end of the last complete line, and the time of the newest event before it.
    BackwardLines tail(file_->fd.fd, size);
    tail.Start();
    const char* line;
    std::size_t length, capacity;
    std::uint64_t at;
    EventObject object;
    std::string time;
    bool endFound = false;
    std::uint64_t lastLine = 0;
    offset_ = 0;
    newestBefore_.clear();
    while (tail.Previous(line, length, capacity, at)) {
        if (!endFound) {
            endFound = true;
            if (at + length >= size) continue;  // no newline yet: the writer is still at it
            offset_ = at + length + 1;
            lastLine = at;
        } else if (offset_ == 0) {
            offset_ = at + length + 1;
            lastLine = at;
        }
        if (mapper_.Map(line, length, capacity, at, object, time)) {
            newestBefore_ = time;
            break;
        }
    }
    signature_.clear();
    if (offset_ > 0) TakeSignature(lastLine);
}

std::string LocalOsCaption() {
    std::ifstream in("/etc/os-release");
    std::string line, name = "Linux";
    while (std::getline(in, line)) {
        if (!line.starts_with("PRETTY_NAME=")) continue;
        name = line.substr(std::strlen("PRETTY_NAME="));
        if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'')) name = name.substr(1, name.size() - 2);
    }
    return "Samba Active Directory Domain Controller on " + name;
}

HResult SambaAuditServices::ExecQuery(std::string_view text, std::unique_ptr<EventEnumerator>& out) {
    std::string why;
    auto parsed = wql::Parse(text, &why);
    if (!parsed) {
        LogError("[ERR]Invalid WQL query (%s): %.*s", why.c_str(), static_cast<int>(text.size()), text.data());
        return kWbemEInvalidQuery;
    }
    if (EqualsNoCase(parsed->className, "Win32_OperatingSystem")) {
        EventObject os;
        os.Set("Caption", LocalOsCaption());
        std::vector<EventObject> list;
        if (wql::Matches(parsed->where.get(), os)) list.push_back(std::move(os));
        out = std::make_unique<ObjectListEnumerator>(std::move(list));
        return kSOk;
    }
    if (EqualsNoCase(parsed->className, "Win32_NTLogEvent"))
        return log_.Query(std::make_shared<const wql::Query>(std::move(*parsed)), out);
    return kWbemEInvalidClass;
}

HResult SambaAuditLocator::ConnectServer(const std::string& path, const std::string& user, const std::string&,
                                         const std::string&, std::unique_ptr<EventServices>& out) {
    // A host in the path is a remote server: the remote source's business. Credentials on this
    // machine are refused the way WMI refuses them.
    if (path.starts_with("\\\\")) return kENotImpl;
    if (!user.empty()) return kWbemELocalCredentials;
    if (!EqualsNoCase(path, "root\\cimv2")) return kWbemEInvalidNamespace;
    const std::string conf = SambaConfigPath();
    std::string auditPath, why;
    if (!FindSambaAuditLog(conf, auditPath, why)) {
        LogError("[ERR]No Samba audit log: %s", why.c_str());
        return kWbemEFailed;
    }
    out = std::make_unique<SambaAuditServices>(auditPath);
    return kSOk;
}

}  // namespace orvane
