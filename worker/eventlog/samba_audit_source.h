#pragma once
// The event source of a Samba domain controller: Win32_NTLogEvent objects made from the JSON
// lines Samba writes per authentication when smb.conf has
//     log level = 1 auth_json_audit:3@/var/log/samba/auth.json
// and a Win32_OperatingSystem object describing this host. The audit file is read
// incrementally: only what was appended since the last query is parsed, rotation (a new file
// under the name) and truncation are followed, and the file is never held in memory whole.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "worker/eventlog/event_source.h"
#include "worker/eventlog/wql.h"

namespace orvane {

// The smb.conf the source reads: $ORVANE_SMB_CONF when set, else /etc/samba/smb.conf.
std::string SambaConfigPath();

// The audit file named by the "log level" (or "debug level") of smb.conf's [global] section:
// the file of the auth_json_audit class, else the "log file" when the class has none. False
// with a reason an administrator can act on when successful logons are not being written.
bool FindSambaAuditLog(const std::string& smbConf, std::string& path, std::string& why);

// "2026-12-07T09:06:16.359165+0100" as a UTC CIM DATETIME, "20261207080616.359165+000".
bool IsoToCimDateTime(std::string_view iso, std::string& out);

// Parses audit lines (one JSON object each) into Win32_NTLogEvent objects.
class AuditLineMapper {
public:
    AuditLineMapper();
    ~AuditLineMapper();
    // `line` must be readable for `capacity` bytes (at least its length plus the parser's
    // padding). True when the line is a successful authentication of a known event id; the
    // object then has LogFile, EventCode, EventIdentifier, TimeGenerated, InsertionStrings...
    // `time` always receives the line's CIM time when it has one (empty otherwise).
    bool Map(const char* line, std::size_t length, std::size_t capacity, std::uint64_t recordNumber,
             EventObject& out, std::string& time);
    // Copies the line into a padded buffer first (tests, tools).
    bool Map(std::string_view line, EventObject& out, std::string& time);
    static std::size_t Padding();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One audit file followed across queries.
class SambaAuditLog {
public:
    explicit SambaAuditLog(std::string path);
    ~SambaAuditLog();
    const std::string& Path() const { return path_; }

    // Answers a parsed Win32_NTLogEvent query, newest first. 0, or a WMI error when the file
    // cannot be read.
    HResult Query(std::shared_ptr<const wql::Query> query, std::unique_ptr<EventEnumerator>& out);

    // Bytes parsed so far (the benchmark checks that a poll reads only the new part).
    std::uint64_t BytesParsed() const { return bytesParsed_; }

private:
    struct File;
    bool OpenCurrent(int& err);
    void FindEnd(std::uint64_t size);
    void TakeSignature(std::uint64_t lineStart);
    bool SignatureHolds();
    // True when the file had been truncated.
    bool ReadForward(const wql::Query& query, const std::optional<std::string>& bound,
                     std::vector<EventObject>& fresh);

    std::string path_;
    std::shared_ptr<File> file_;
    std::uint64_t offset_ = 0;     // everything before was read (or predates the first query)
    std::string newestBefore_;     // time of the newest event before offset_ ("" when none)
    std::string signature_;        // the first bytes of the last line before offset_
    std::uint64_t signatureAt_ = 0;
    std::uint64_t bytesParsed_ = 0;
    AuditLineMapper mapper_;
    std::vector<char> buffer_;
};

// The caption Win32_OperatingSystem gives on this host.
std::string LocalOsCaption();

// The connected "root\cimv2" of this DC: the audit log and the host's caption.
class SambaAuditServices final : public EventServices {
public:
    explicit SambaAuditServices(std::string auditPath) : log_(std::move(auditPath)) {}
    HResult ExecQuery(std::string_view wql, std::unique_ptr<EventEnumerator>& out) override;
    SambaAuditLog& Log() { return log_; }

private:
    SambaAuditLog log_;
};

// The locator of this machine: "root\cimv2" without credentials is the Samba DC's audit log
// (found through SambaConfigPath()); a path naming a host is a remote server, for the remote
// source.
class SambaAuditLocator final : public EventLocator {
public:
    HResult ConnectServer(const std::string& path, const std::string& user, const std::string& password,
                          const std::string& authority, std::unique_ptr<EventServices>& out) override;
};

}  // namespace orvane
