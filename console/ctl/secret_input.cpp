#include "console/ctl/secret_input.h"

#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console/core/secret_protection.h"

namespace orvane::ctl {
namespace {

// Far beyond anything that can be protected, so a longer line is refused, not cut.
constexpr std::size_t kMaxLineBytes = 65536;

// The terminal settings to put back if a signal ends the process while echo is off.
struct termios g_savedTerminal;
volatile std::sig_atomic_t g_echoOff = 0;
constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreTerminalAndDie(int sig) {
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        ssize_t ignored = ::write(STDERR_FILENO, "\n", 1);
        (void)ignored;
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Echo off (the line end still echoed) for the lifetime of the object.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return;
        struct sigaction sa {};
        sa.sa_handler = RestoreTerminalAndDie;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) ::sigaction(kRestoreSignals[i], &sa, &old_[i]);
        struct termios quiet = g_savedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOff = 1;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) g_echoOff = 0;
        active_ = true;
    }
    ~EchoOff() {
        if (!active_) return;
        if (g_echoOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        g_echoOff = 0;
        for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) ::sigaction(kRestoreSignals[i], &old_[i], nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool active_ = false;
    struct sigaction old_[std::size(kRestoreSignals)] {};
};

// One line from fd without its line end. A terminal in line mode hands over one line per
// read; from a pipe whatever follows the first line is simply not used.
SecretInput ReadLine(int fd, std::string& line, int& sysError) {
    line.clear();
    // Reserved once, so no copy of the secret is left behind in freed memory by a reallocation.
    line.reserve(kMaxLineBytes);
    char buf[512];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            sysError = errno;
            OPENSSL_cleanse(buf, sizeof buf);
            console::WipeSecret(line);
            return SecretInput::ReadError;
        }
        if (n == 0) break;
        const char* end = static_cast<const char*>(std::memchr(buf, '\n', static_cast<std::size_t>(n)));
        std::size_t take = end ? static_cast<std::size_t>(end - buf) : static_cast<std::size_t>(n);
        if (line.size() + take > kMaxLineBytes) {
            OPENSSL_cleanse(buf, sizeof buf);
            console::WipeSecret(line);
            return SecretInput::TooLong;
        }
        line.append(buf, take);
        if (end) break;
    }
    OPENSSL_cleanse(buf, sizeof buf);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return SecretInput::Ok;
}

}  // namespace

SecretInput ReadSecretFromStdin(std::string& secret, int& sysError) {
    if (!::isatty(STDIN_FILENO)) return ReadLine(STDIN_FILENO, secret, sysError);

    EchoOff quiet;
    std::fputs("Secret: ", stderr);
    std::fflush(stderr);
    SecretInput r = ReadLine(STDIN_FILENO, secret, sysError);
    if (r != SecretInput::Ok || secret.empty()) return r;
    std::fputs("Again: ", stderr);
    std::fflush(stderr);
    std::string again;
    r = ReadLine(STDIN_FILENO, again, sysError);
    bool same = r == SecretInput::Ok && again == secret;
    console::WipeSecret(again);
    if (r != SecretInput::Ok) {
        console::WipeSecret(secret);
        return r;
    }
    if (!same) {
        console::WipeSecret(secret);
        return SecretInput::Mismatch;
    }
    return SecretInput::Ok;
}

}  // namespace orvane::ctl
