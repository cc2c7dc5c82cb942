#pragma once
// Whether a UDP port is taken on this machine: the table of UDP endpoints, read from
// /proc/net/udp and /proc/net/udp6 (a seam lets tests hand in their own table text).
#include <functional>
#include <string>

namespace orvane::console {

// Fills `table` with the endpoint table text; false with the system error in `error`.
using UdpTableSource = std::function<bool(std::string& table, int& error)>;

// The system's table: both files, one after the other. Fails only when neither can be read.
bool ReadSystemUdpTable(std::string& table, int& error);

// True when a row's local port equals the low 16 bits of `port`. A table that cannot be read
// logs "[ERR]Get size of udptable buffer fail! error:%d" and counts the port as free.
bool UdpPortInUse(long port, const UdpTableSource& source = ReadSystemUdpTable);

}  // namespace orvane::console
