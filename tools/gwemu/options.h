#pragma once
// Command line of the gateway emulator.
#include <cstdint>
#include <string>

#include "platform/udp.h"

namespace orvane::gwemu {

enum class AnswerMode { Always, Never, Every };
enum class KeySource { None, Stdin, File };

struct Options {
    platform::Ipv4Endpoint listen{0x7F000001, 0};
    int encryptType = 1;  // the delivered configuration's defaults
    int encodeType = 1;
    KeySource keySource = KeySource::None;
    std::string keyFile;
    AnswerMode answer = AnswerMode::Always;
    std::uint64_t answerEvery = 1;  // with AnswerMode::Every: the Nth, 2Nth, ... notification
    std::uint64_t count = 0;        // 0: no limit
    std::uint64_t timeoutSeconds = 0;  // 0: no limit
    std::string outPath;            // empty: standard output
    bool help = false;
};

extern const char kUsage[];

// False with a message naming the offending argument.
bool ParseOptions(int argc, char** argv, Options& out, std::string& error);

}  // namespace orvane::gwemu
