#pragma once
// The directory seam: binding a directory server and searching it for accounts. The worker's
// lookups (directory_servers.h) only talk to this interface; the real implementation is
// libldap (ldap_directory.h), unit tests install a fake.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace orvane {

// HRESULT-style results of the directory operations.
using HResult = std::int32_t;
constexpr HResult kSOk = 0;
constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);
// A failed directory call reported with a system (errno) code, in the Win32 facility.
constexpr HResult HResultFromSystemError(int code) {
    return code == 0 ? kEFail : static_cast<HResult>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

// The result of a user lookup when no server vouched for the user and at least one could not
// be reached: the user may well exist. A failure like kEFail to every caller that tests for 0.
constexpr HResult kEDirectoryUnreachable = HResultFromSystemError(EHOSTDOWN);

// The step of binding a server that failed. Binding is: open the server's rootDSE, read its
// defaultNamingContext, open the naming context with the credentials (the search handle).
enum class BindStage {
    RootDse,        // server unreachable, StartTLS refused or failed, rootDSE unreadable
    NamingContext,  // the rootDSE has no defaultNamingContext
    BindDomain,     // the credentials were refused or the naming context could not be read
    NoHandle,       // everything answered, yet the naming context object is not there
};

struct DirectoryError {
    BindStage stage = BindStage::RootDse;
    int code = 0;  // errno-style, for FormatSystemError
};

// One account entry of a search, valid only during the visit.
struct DirectoryAccount {
    std::string_view dn;                         // distinguished name; empty when unreadable
    bool hasLastLogon = false;                   // the entry carries the lastLogon attribute
    std::span<const std::string_view> lastLogon;  // its values as sent (decimal FILETIME)
};

class AccountVisitor {
public:
    // Returns false to end the walk.
    virtual bool Visit(const DirectoryAccount& account) = 0;

protected:
    ~AccountVisitor() = default;
};

// How many searches a handle keeps in flight ahead of the lookups that will read them
// (DirectorySearch::Prefetch). A lookup waits one round trip either way; sixteen in flight
// let a DC 10 ms away answer about 1,600 lookups a second instead of 100, and cost the DC no
// more than sixteen queued requests of one connection.
inline constexpr std::size_t kLookupPipelineDepth = 16;

// A bound search handle: a connection to one server, bound with the credentials, positioned
// at the server's default naming context.
struct ResolvedGroups;

class DirectorySearch {
public:
    virtual ~DirectorySearch() = default;

    // Rises with every bind of the handle, its own reconnections included: what the lookups
    // read once per bind (the member groups' DNs) is read again after one.
    virtual std::uint64_t BindCount() const { return 1; }
    // The member groups as resolved on this handle, kept by the lookups (member_groups.h).
    std::shared_ptr<const ResolvedGroups> groups;

    // The address the handle was opened with and the naming context it searches below.
    virtual const std::string& Server() const = 0;
    virtual const std::string& NamingContext() const = 0;

    // One subtree search below the naming context, returning each entry's DN and, when
    // withLastLogon, its lastLogon values, in one round trip. Entries are visited in the order
    // the server sent them until the visitor returns false. Returns 0 when the walk ended
    // normally or was stopped by the visitor, else the errno-style code of the failure
    // (entries received before a failure have been visited). A handle whose connection was
    // lost reconnects once by itself before it reports a failure.
    virtual int FindAccounts(std::string_view filter, bool withLastLogon, AccountVisitor& visitor) = 0;

    // Sends the search a later FindAccounts with the same filter and attributes will make, so
    // that the lookups of reports waiting behind one another overlap; that FindAccounts then
    // reads its answer instead of asking again. Nothing waits for the answer here. False when
    // nothing was sent: no connection (a prefetch never reconnects), or a handle without it.
    // Of more than kLookupPipelineDepth in flight the oldest is abandoned.
    virtual bool Prefetch(std::string_view filter, bool withLastLogon) {
        (void)filter;
        (void)withLastLogon;
        return false;
    }
};

class DirectoryClient {
public:
    virtual ~DirectoryClient() = default;
    // Binds `server` with `user` and `password`; on failure returns null and says where and why.
    virtual std::unique_ptr<DirectorySearch> Open(const std::string& server, const std::string& user,
                                                  const std::string& password, DirectoryError& error) = 0;
};

// The process-wide client: libldap unless a test installed another.
DirectoryClient& GetDirectoryClient();
// Installs a client (nullptr restores libldap). Not for use while lookups run.
void SetDirectoryClient(DirectoryClient* client);

}  // namespace orvane
