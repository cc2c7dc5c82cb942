#pragma once
#include <cstddef>
#include <string>

namespace orvane {

// Writes the fixed file version of the executable at pszAppPath as "%u.%u.%u.%u" into
// pszVersionNumber when twice its length is below `capacity` (characters). Returns 1, or 0
// with the failure logged.
int GetFileVersionText(const char* pszAppPath, std::string* pszVersionNumber, std::size_t capacity);

}  // namespace orvane
