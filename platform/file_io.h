#pragma once
// Whole writes to a file descriptor, and whole replacements of a file.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::platform {

// Writes all `len` bytes, retrying after signals and short writes. False with errno set on
// failure (EIO when the system wrote nothing without saying why).
bool WriteAll(int fd, const void* data, std::size_t len);

// Replaces `path` with `text` at once: a new file "<path>.tmp.<pid>" (never one already there:
// a link planted under that name is removed, not followed), created with `mode`, then renamed
// over `path` (a link at `path` is replaced, not followed). False with errno set on failure.
bool ReplaceFile(const std::string& path, std::string_view text, unsigned mode);

}  // namespace orvane::platform
