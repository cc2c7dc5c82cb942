#include "platform/netif.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

namespace orvane::platform {
namespace {

std::optional<long> ReadNumber(const std::string& path) {
    std::ifstream in(path);
    long value = 0;
    if (!(in >> value)) return std::nullopt;
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "aa:bb:cc:dd:ee:ff" exactly; false for any other form or length.
bool ParseMac(const std::string& path, std::array<std::uint8_t, 6>& mac) {
    std::ifstream in(path);
    std::string text;
    if (!std::getline(in, text)) return false;
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < 6; ++i) {
        int hi = HexDigit(text[i * 3]);
        int lo = HexDigit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0) return false;
        if (i < 5 && text[i * 3 + 2] != ':') return false;
        mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

struct Candidate {
    long index;
    std::array<std::uint8_t, 6> mac;
};

}  // namespace

MacLookup FirstEthernetMac(std::array<std::uint8_t, 6>& mac, const std::string& root) {
    DIR* dir = ::opendir(root.c_str());
    if (!dir) return MacLookup::Unreadable;
    std::vector<Candidate> found;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string base = root + "/" + name + "/";
        constexpr long kArphrdEther = 1;
        if (ReadNumber(base + "type") != kArphrdEther) continue;
        if (auto len = ReadNumber(base + "addr_len"); len && *len != 6) continue;
        Candidate c{};
        auto index = ReadNumber(base + "ifindex");
        if (!index || !ParseMac(base + "address", c.mac)) continue;
        c.index = *index;
        found.push_back(c);
    }
    ::closedir(dir);
    if (found.empty()) return MacLookup::NoAdapter;
    auto first = std::min_element(found.begin(), found.end(),
                                  [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
    mac = first->mac;
    return MacLookup::Found;
}

bool LocalIpv4Addresses(std::vector<std::string>& out, int& err) {
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
        // 127.0.0.0/8 on another interface is no address a peer could reach either.
        if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) out.emplace_back(text);
    }
    ::freeifaddrs(list);
    return true;
}

}  // namespace orvane::platform
