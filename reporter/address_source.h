#pragma once
// Where network-watch mode learns the PC's IPv4 addresses.
#include <memory>
#include <string>
#include <vector>

namespace orvane {

class AddressSource {
public:
    virtual ~AddressSource() = default;
    // The PC's IPv4 addresses as dotted texts, in a stable order; false with the system error.
    virtual bool Addresses(std::vector<std::string>& out, int& err) = 0;
};

// getifaddrs: every non-loopback IPv4 address, in interface order.
class InterfaceAddressSource final : public AddressSource {
public:
    bool Addresses(std::vector<std::string>& out, int& err) override;
};

// A file whose lines are the addresses, read again at every call. A test and diagnostic hook:
// the watch copy uses it only when ORVANE_REPORTER_ADDRESS_FILE names such a file.
class FileAddressSource final : public AddressSource {
public:
    explicit FileAddressSource(std::string path) : path_(std::move(path)) {}
    bool Addresses(std::vector<std::string>& out, int& err) override;

private:
    std::string path_;
};

inline constexpr char kAddressFileVariable[] = "ORVANE_REPORTER_ADDRESS_FILE";

// The file source when the variable is set (and not empty), else the interface source.
std::unique_ptr<AddressSource> MakeAddressSource();

}  // namespace orvane
