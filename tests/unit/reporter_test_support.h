#pragma once
// Fakes for the logon reporter's tests: its identity, address source and watch-copy control.
#include <string>
#include <vector>

#include "reporter/reporter.h"

namespace orvane::testing {

class FakeIdentity final : public Identity {
public:
    std::string dn = "CN=Ann Lee,OU=Sales,DC=Corp,DC=Example,DC=Com";
    std::string host = "PC01";
    bool dnFails = false;
    bool hostFails = false;
    bool FullyQualifiedDn(const std::string&, std::string& out, int& err) override {
        if (dnFails) {
            err = 1332;
            return false;
        }
        out = dn;
        return true;
    }
    bool HostName(std::string& out, int& err) override {
        if (hostFails) {
            err = 87;
            return false;
        }
        out = host;
        return true;
    }
};

class FakeAddresses final : public AddressSource {
public:
    std::vector<std::string> list;
    bool fails = false;
    bool Addresses(std::vector<std::string>& out, int& err) override {
        if (fails) {
            err = 11001;
            return false;
        }
        out = list;
        return true;
    }
};

// A session for user ann reporting to `address`:`port`.
inline ReporterSession MakeSession(Identity& identity, const std::string& address, unsigned port, unsigned kind,
                                   unsigned repetitions, const std::string& key = "clientkey") {
    ReporterSession s;
    std::string portText = std::to_string(port), kindText = std::to_string(kind),
                repText = std::to_string(repetitions);
    const char* five[] = {address.c_str(), portText.c_str(), kindText.c_str(), repText.c_str(), key.c_str()};
    ReadArguments(five, s.args);
    s.userName = s.loginName = "ann";
    s.identity = &identity;
    return s;
}

}  // namespace orvane::testing
