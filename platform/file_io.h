#pragma once
// Whole writes to a file descriptor.
#include <cstddef>

namespace orvane::platform {

// Writes all `len` bytes, retrying after signals and short writes. False with errno set on
// failure (EIO when the system wrote nothing without saying why).
bool WriteAll(int fd, const void* data, std::size_t len);

}  // namespace orvane::platform
