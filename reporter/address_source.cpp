#include "reporter/address_source.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "common/text.h"
#include "platform/netif.h"

namespace orvane {

bool InterfaceAddressSource::Addresses(std::vector<std::string>& out, int& err) {
    return platform::LocalIpv4Addresses(out, err);
}

bool FileAddressSource::Addresses(std::vector<std::string>& out, int& err) {
    out.clear();
    std::ifstream in(path_);
    if (!in) {
        err = errno ? errno : ENOENT;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::string t = TrimSpaces(line);
        if (!t.empty() && t.back() == '\r') t.pop_back();
        if (!t.empty()) out.push_back(std::move(t));
    }
    return true;
}

std::unique_ptr<AddressSource> MakeAddressSource() {
    if (const char* p = std::getenv(kAddressFileVariable); p && *p) return std::make_unique<FileAddressSource>(p);
    return std::make_unique<InterfaceAddressSource>();
}

}  // namespace orvane
