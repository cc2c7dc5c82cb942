#include "common/key_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

namespace orvane {
namespace {

bool FirstLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

bool ReadKeyLine(const char* program, bool fromStdin, const std::string& path, std::string& keyText) {
    if (fromStdin) {
        if (FirstLine(std::cin, keyText)) return true;
        std::fprintf(stderr, "%s: --key-stdin: no key line on standard input\n", program);
        return false;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "%s: cannot read the key file %s: %s\n", program, path.c_str(), std::strerror(errno));
        return false;
    }
    if (!FirstLine(f, keyText)) keyText.clear();
    return true;
}

}  // namespace orvane
