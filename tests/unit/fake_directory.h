#pragma once
// A directory double: servers by address, each with a naming context, accounts and the
// failures a test wants; it records what the code under test asked for.
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_types.h"
#include "common/text.h"
#include "worker/directory/directory_client.h"
#include "worker/directory/directory_servers.h"

namespace orvane::testing {

struct FakeAccount {
    std::string name;  // sAMAccountName, matched ignoring ASCII case like AD does
    std::string dn;    // empty: the entry's DN cannot be read
    bool hasLastLogon = true;
    std::vector<std::string> lastLogon{"0"};
};

struct FakeServer {
    std::string namingContext = "DC=corp,DC=example,DC=com";
    std::optional<DirectoryError> bindFailure;  // Open fails with this
    bool throwOnOpen = false;
    std::vector<FakeAccount> accounts;
    int searchFailure = 0;  // FindAccounts returns this after visiting the matching entries
    // Groups by sAMAccountName → DN, and the (user DN, group DN) pairs of nested membership,
    // already flattened: what a DC's in-chain rule answers.
    std::map<std::string, std::string> groups;
    std::vector<std::pair<std::string, std::string>> members;
    std::uint64_t binds = 1;

    // What was asked.
    int opens = 0;
    int searches = 0;
    std::vector<std::string> bindUsers;
    std::vector<std::string> passwords;
    std::vector<std::string> filters;
    std::vector<bool> withLastLogon;
    std::vector<std::pair<std::string, bool>> prefetched;  // (filter, withLastLogon) sent ahead
};

class FakeSearch final : public DirectorySearch {
public:
    FakeSearch(std::string address, FakeServer& server) : address_(std::move(address)), server_(server) {}
    const std::string& Server() const override { return address_; }
    const std::string& NamingContext() const override { return server_.namingContext; }
    std::uint64_t BindCount() const override { return server_.binds; }

    int FindAccounts(std::string_view filter, bool withLastLogon, AccountVisitor& visitor) override {
        ++server_.searches;
        server_.filters.emplace_back(filter);
        server_.withLastLogon.push_back(withLastLogon);
        if (filter.find("(objectClass=group)") != std::string_view::npos) return FindGroups(filter, visitor);
        // The value of (sAMAccountName=...) as sent, escapes included.
        constexpr std::string_view key = "(sAMAccountName=";
        std::size_t at = filter.find(key);
        std::string_view wanted;
        if (at != std::string_view::npos) {
            wanted = filter.substr(at + key.size());
            wanted = wanted.substr(0, wanted.find(')'));
        }
        for (const FakeAccount& a : server_.accounts) {
            if (!EqualsNoCase(a.name, wanted)) continue;
            if (!InGroupsOfFilter(a.dn, filter, "(memberOf:1.2.840.113556.1.4.1941:=")) continue;
            std::vector<std::string_view> values(a.lastLogon.begin(), a.lastLogon.end());
            DirectoryAccount account;
            account.dn = a.dn;
            account.hasLastLogon = withLastLogon && a.hasLastLogon;
            if (account.hasLastLogon) account.lastLogon = values;
            if (!visitor.Visit(account)) return 0;
        }
        return server_.searchFailure;
    }

    bool Prefetch(std::string_view filter, bool withLastLogon) override {
        server_.prefetched.emplace_back(std::string(filter), withLastLogon);
        return true;
    }

private:
    // Every value of `key`...`)` in the filter (values as sent; the tests' DNs need no escapes).
    static std::vector<std::string_view> Values(std::string_view filter, std::string_view key) {
        std::vector<std::string_view> out;
        for (std::size_t at = filter.find(key); at != std::string_view::npos; at = filter.find(key, at + 1)) {
            std::string_view v = filter.substr(at + key.size());
            out.push_back(v.substr(0, v.find(')')));
        }
        return out;
    }
    bool Member(std::string_view user, std::string_view group) const {
        for (const auto& [u, g] : server_.members)
            if (EqualsNoCase(u, user) && EqualsNoCase(g, group)) return true;
        return false;
    }
    // No such condition in the filter, or the user is in one of its groups.
    bool InGroupsOfFilter(std::string_view userDn, std::string_view filter, std::string_view key) const {
        const std::vector<std::string_view> groups = Values(filter, key);
        if (groups.empty()) return true;
        for (std::string_view g : groups)
            if (Member(userDn, g)) return true;
        return false;
    }
    int FindGroups(std::string_view filter, AccountVisitor& visitor) {
        const std::vector<std::string_view> names = Values(filter, "(sAMAccountName=");
        const std::vector<std::string_view> dns = Values(filter, "(distinguishedName=");
        const std::vector<std::string_view> users = Values(filter, "(member:1.2.840.113556.1.4.1941:=");
        for (const auto& [name, dn] : server_.groups) {
            bool match = false;
            for (std::string_view n : names) match = match || EqualsNoCase(n, name);
            for (std::string_view d : dns) match = match || EqualsNoCase(d, dn);
            if (!match) continue;
            if (!users.empty() && !Member(users.front(), dn)) continue;
            DirectoryAccount account;
            account.dn = dn;
            if (!visitor.Visit(account)) return 0;
        }
        return server_.searchFailure;
    }

    std::string address_;
    FakeServer& server_;
};

class FakeDirectory final : public DirectoryClient {
public:
    // Servers not added here are down.
    FakeServer& Add(const std::string& address) { return servers_[address]; }
    FakeServer& At(const std::string& address) { return servers_.at(address); }

    std::unique_ptr<DirectorySearch> Open(const std::string& server, const std::string& user,
                                          const std::string& password, DirectoryError& error) override {
        auto it = servers_.find(server);
        if (it == servers_.end()) {
            error = DirectoryError{BindStage::RootDse, 112};  // EHOSTDOWN
            return nullptr;
        }
        FakeServer& s = it->second;
        ++s.opens;
        s.bindUsers.push_back(user);
        s.passwords.push_back(password);
        if (s.throwOnOpen) throw std::runtime_error("fake directory failure");
        if (s.bindFailure) {
            error = *s.bindFailure;
            return nullptr;
        }
        return std::make_unique<FakeSearch>(server, s);
    }

private:
    std::map<std::string, FakeServer> servers_;
};

// Installs a directory client for the life of the object.
class ScopedDirectoryClient {
public:
    explicit ScopedDirectoryClient(DirectoryClient& c) { SetDirectoryClient(&c); }
    ~ScopedDirectoryClient() { SetDirectoryClient(nullptr); }
};

// Installs `fake` as the process's directory and connects the worker's table to `servers`, in
// order (client-report mode, as start-up does); afterwards empties the table and restores libldap.
class ScopedWorkerDirectory {
public:
    ScopedWorkerDirectory(FakeDirectory& fake, std::vector<ServerEntry> servers) : client_(fake) {
        WorkerSettings settings;
        settings.adServerNum = static_cast<std::uint16_t>(servers.size());
        settings.servers = std::move(servers);
        LoadDirectoryServers(settings);
        ConnectDirectoryServers();
    }
    ~ScopedWorkerDirectory() {
        DirectoryServerList empty;
        GetDirectoryServerTable().ConnectDirectoryServers(empty, 0);
        ServerEntry left;
        while (TakeDirectoryServer(left)) {
        }
    }

private:
    ScopedDirectoryClient client_;
};

}  // namespace orvane::testing
