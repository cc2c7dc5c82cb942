#pragma once
// The client share key handed to the reporter on an inherited descriptor (the session hook's
// pipe), so that it never shows in the process list, the environment or the autostart entry.
#include <string>

namespace orvane {

inline constexpr char kKeyDescriptorOption[] = "--key-fd";
// Longer lines are refused: a key keeps only its first 31 bytes anyway.
inline constexpr std::size_t kKeyLineLimit = 255;
// The hook writes the key before the reporter starts; a descriptor that stays silent this long
// is not going to deliver one.
inline constexpr unsigned kKeyReadTimeoutMs = 10000;

// A descriptor number as given after --key-fd: decimal digits only, 0 to 1023.
bool ParseKeyDescriptor(const char* text, int& fd);

enum class KeyRead { Ok, ReadFailed, TimedOut, Empty, TooLong };

// Reads one line (without "\n" or "\r\n"; end of input ends it too) from `fd` within `timeoutMs`,
// then closes the descriptor (a standard stream is put back on /dev/null). `err` holds errno when
// the read failed. Everything read is wiped from memory except the key itself.
KeyRead ReadKeyFromDescriptor(int fd, unsigned timeoutMs, std::string& key, int& err);

// Logs the failure with its message; nothing for Ok.
void LogKeyReadFailure(KeyRead result, int fd, int err);

// Stops other processes of the same user from attaching to this one or reading its memory,
// environment or descriptors through /proc; done before the key is read. False with errno.
bool MakeProcessUndumpable(int& err);

// True when a debugger was attached before the process made itself undumpable (a program file its
// user can read starts dumpable): the key is then not read, as the tracer could read it too.
bool BeingTraced();

}  // namespace orvane
