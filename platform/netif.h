#pragma once
// The host's network adapters, as far as the heartbeat needs them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::platform {

enum class MacLookup { Found, NoAdapter, Unreadable };

// The 6-byte hardware address of the first Ethernet adapter (type 1, address length 6) in
// interface-index order. `mac` is written only when one is found. `root` is the folder that
// lists the adapters (tests point it at a fake tree).
MacLookup FirstEthernetMac(std::array<std::uint8_t, 6>& mac, const std::string& root = "/sys/class/net");

// The machine's own IPv4 addresses as dotted texts: every address of a non-loopback interface
// outside 127.0.0.0/8, in interface order (what resolving the host name gives on Windows).
// False with errno in err when the interfaces cannot be listed.
bool LocalIpv4Addresses(std::vector<std::string>& out, int& err);

}  // namespace orvane::platform
