#include "reporter/address_source.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "common/text.h"

namespace orvane {

bool InterfaceAddressSource::Addresses(std::vector<std::string>& out, int& err) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        err = errno;
        return false;
    }
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if (a->ifa_flags & IFF_LOOPBACK) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        // 127.0.0.0/8 on another interface is no address a worker could reach either.
        if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) out.emplace_back(text);
    }
    ::freeifaddrs(list);
    return true;
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
