#include "console/core/udp_ports.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string_view>

#include "common/log.h"

namespace orvane::console {
namespace {

bool ReadWholeFile(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out += ss.str();
    return true;
}

// The local port of one table row ("  sl  local_address rem_address ..."), where the local address
// is "<hex address>:<hex port>". False for the header and anything else.
bool LocalPort(std::string_view row, unsigned& port) {
    std::size_t colon = row.find(':');  // after the slot number
    if (colon == std::string_view::npos) return false;
    std::size_t start = row.find_first_not_of(' ', colon + 1);
    if (start == std::string_view::npos) return false;
    std::size_t end = row.find(' ', start);
    std::string_view local = row.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::size_t portColon = local.rfind(':');
    if (portColon == std::string_view::npos) return false;
    std::string_view hex = local.substr(portColon + 1);
    auto [ptr, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), port, 16);
    return ec == std::errc() && ptr == hex.data() + hex.size() && !hex.empty();
}

}  // namespace

bool ReadSystemUdpTable(std::string& table, int& error) {
    table.clear();
    bool v4 = ReadWholeFile("/proc/net/udp", table);
    int v4Error = errno;
    // A machine without IPv6 has no udp6 table; that is no failure.
    bool v6 = ReadWholeFile("/proc/net/udp6", table);
    if (!v4 && !v6) {
        error = v4Error;
        return false;
    }
    return true;
}

bool UdpPortInUse(long port, const UdpTableSource& source) {
    std::string table;
    int error = 0;
    if (!source || !source(table, error)) {
        LogError("[ERR]Get size of udptable buffer fail! error:%d", error);
        return false;
    }
    const unsigned wanted = static_cast<std::uint16_t>(port);
    std::string_view rest = table;
    while (!rest.empty()) {
        std::size_t nl = rest.find('\n');
        std::string_view row = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        unsigned local = 0;
        if (LocalPort(row, local) && local == wanted) return true;
    }
    return false;
}

}  // namespace orvane::console
