// Placeholder until the machine-bound implementation lands.
#include "common/protect.h"

namespace orvane {

int ProtectText(const std::string&, std::string&) { return -1; }

void UnprotectText(const std::string&, std::string&, std::size_t) {}

}  // namespace orvane
