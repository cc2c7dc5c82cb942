#pragma once
// The share key for the command-line tools: given on standard input or in a file, never as an
// argument (which other users could read from the process list).
#include <string>

namespace orvane {

// Reads the first line, without its line end ("\n" or "\r\n"), of standard input (fromStdin) or of
// the file at `path`; an empty file gives an empty key. On failure prints "<program>: <reason>" to
// stderr and returns false.
bool ReadKeyLine(const char* program, bool fromStdin, const std::string& path, std::string& keyText);

}  // namespace orvane
