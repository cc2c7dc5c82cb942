#pragma once
// Reading a secret from standard input, never from the command line.
#include <string>

namespace orvane::ctl {

enum class SecretInput {
    Ok,
    Mismatch,   // the two entries on a terminal differ
    TooLong,    // a line longer than any secret we could protect
    ReadError,  // sysError holds errno
};

// On a terminal: prompts "Secret: " and "Again: " on stderr without echo and requires both
// entries to agree. Otherwise: the first line. The line end ("\n", "\r\n") is removed; end of
// input without a line gives an empty secret.
SecretInput ReadSecretFromStdin(std::string& secret, int& sysError);

}  // namespace orvane::ctl
