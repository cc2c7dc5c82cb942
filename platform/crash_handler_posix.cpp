#include "platform/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

namespace orvane::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kFolderMax = 1024;

char g_folder[kFolderMax] = ".";
// The name's first part; empty means the process id (the worker's dumps).
char g_prefix[64] = "";
// Offset of local time from UTC, refreshed outside the handler (localtime is not signal-safe).
std::atomic<long> g_gmtOffset{0};
alignas(16) char g_altStack[64 * 1024];

// Small signal-safe formatting into a fixed buffer.
struct Out {
    char buf[512];
    std::size_t len = 0;
    void Str(const char* s) {
        while (*s && len < sizeof buf - 1) buf[len++] = *s++;
    }
    void Dec(unsigned long v, int width = 0) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 24);
        while (n < width && n < 24) tmp[n++] = '0';
        while (n > 0 && len < sizeof buf - 1) buf[len++] = tmp[--n];
    }
    void Hex(unsigned long v) {
        Str("0x");
        char tmp[16];
        int n = 0;
        do {
            tmp[n++] = "0123456789ABCDEF"[v & 0xF];
            v >>= 4;
        } while (v && n < 16);
        while (n > 0 && len < sizeof buf - 1) buf[len++] = tmp[--n];
    }
    void Flush(int fd) {
        if (len) {
            ssize_t r = ::write(fd, buf, len);
            (void)r;
        }
        len = 0;
    }
};

void CivilFromDays(long z, int& y, int& m, int& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned long doe = static_cast<unsigned long>(z - era * 146097);
    const unsigned long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long yy = static_cast<long>(yoe) + era * 400;
    const unsigned long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2 ? 1 : 0));
}

void AppendName(Out& o, const char* prefix, unsigned pid, int year, int month, int day, int hour, int minute,
                int second) {
    if (prefix && *prefix)
        o.Str(prefix);
    else
        o.Dec(pid);
    o.Str("-");
    o.Dec(static_cast<unsigned long>(year), 4);
    o.Str("-");
    o.Dec(static_cast<unsigned long>(month), 2);
    o.Str("-");
    o.Dec(static_cast<unsigned long>(day), 2);
    o.Str(" ");
    o.Dec(static_cast<unsigned long>(hour), 2);
    o.Dec(static_cast<unsigned long>(minute), 2);
    o.Dec(static_cast<unsigned long>(second), 2);
    o.Str(" .dmp");
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

void WriteRegisters(int fd, void* context) {
#if defined(__x86_64__)
    static const char* const kNames[] = {"R8", "R9", "R10", "R11", "R12", "R13", "R14", "R15", "RDI", "RSI", "RBP",
                                         "RBX", "RDX", "RAX", "RCX", "RSP", "RIP"};
    auto* uc = static_cast<ucontext_t*>(context);
    Out o;
    o.Str("registers:\n");
    o.Flush(fd);
    for (int i = 0; i < 17; ++i) {
        o.Str("  ");
        o.Str(kNames[i]);
        o.Str(" = ");
        o.Hex(static_cast<unsigned long>(uc->uc_mcontext.gregs[i]));
        o.Str("\n");
        o.Flush(fd);
    }
#else
    (void)fd;
    (void)context;
#endif
}

void CopyFile(int out, const char* path) {
    int in = ::open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(in, buf, sizeof buf)) > 0) {
        if (::write(out, buf, static_cast<std::size_t>(n)) != n) break;
    }
    ::close(in);
}

void Handler(int sig, siginfo_t* info, void* context) {
    std::time_t now = std::time(nullptr) + g_gmtOffset.load(std::memory_order_relaxed);
    long days = static_cast<long>(now / 86400);
    long rem = static_cast<long>(now % 86400);
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    int y, m, d;
    CivilFromDays(days, y, m, d);

    Out path;
    path.Str(g_folder);
    path.Str("/");
    AppendName(path, g_prefix, static_cast<unsigned>(::getpid()), y, m, d, static_cast<int>(rem / 3600),
               static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
    path.buf[path.len] = '\0';

    // A new file only: whatever stands under the name already, a link above all, is left alone.
    int fd = ::open(path.buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Let the system handle it as if no handler were installed.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    Out o;
    o.Str("Orvane crash dump\nprocess: ");
    o.Dec(static_cast<unsigned long>(::getpid()));
    o.Str("\nthread: ");
    o.Dec(static_cast<unsigned long>(::gettid()));
    o.Str("\nsignal: ");
    o.Dec(static_cast<unsigned long>(sig));
    o.Str(" (");
    o.Str(SignalName(sig));
    o.Str(")\ncode: ");
    o.Dec(static_cast<unsigned long>(info ? info->si_code : 0));
    o.Str("\nfault address: ");
    o.Hex(reinterpret_cast<unsigned long>(info ? info->si_addr : nullptr));
    o.Str("\n");
    o.Flush(fd);
    WriteRegisters(fd, context);
    o.Str("backtrace:\n");
    o.Flush(fd);
    void* frames[64];
    int n = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, n, fd);
    o.Str("memory map:\n");
    o.Flush(fd);
    CopyFile(fd, "/proc/self/maps");
    ::close(fd);
    ::_exit(128 + sig);
}

void RefreshOffset() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm)) g_gmtOffset.store(tm.tm_gmtoff, std::memory_order_relaxed);
}

}  // namespace

void InstallCrashHandler() {
    ::tzset();
    RefreshOffset();
    // Load the unwinder now: backtrace() would otherwise dlopen it inside the handler.
    void* frames[2];
    ::backtrace(frames, 2);
    // No core file: the dump is the record of a crash.
    rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);

    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    ::sigaltstack(&ss, nullptr);
    struct sigaction sa{};
    sa.sa_sigaction = Handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

void SetCrashDumpFolder(const std::string& folder) {
    std::size_t n = folder.size() < kFolderMax - 1 ? folder.size() : kFolderMax - 1;
    std::memcpy(g_folder, folder.data(), n);
    g_folder[n] = '\0';
    RefreshOffset();
}

void RefreshCrashDumpClock() { RefreshOffset(); }

std::string CrashDumpName(unsigned pid, int year, int month, int day, int hour, int minute, int second) {
    Out o;
    AppendName(o, nullptr, pid, year, month, day, hour, minute, second);
    return std::string(o.buf, o.len);
}

void SetCrashDumpPrefix(const std::string& prefix) {
    std::size_t n = prefix.size() < sizeof g_prefix - 1 ? prefix.size() : sizeof g_prefix - 1;
    std::memcpy(g_prefix, prefix.data(), n);
    g_prefix[n] = '\0';
}

std::string CrashDumpName(const std::string& prefix, int year, int month, int day, int hour, int minute,
                          int second) {
    Out o;
    AppendName(o, prefix.c_str(), 0, year, month, day, hour, minute, second);
    return std::string(o.buf, o.len);
}

}  // namespace orvane::platform
