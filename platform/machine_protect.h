#pragma once
// Protection bound to the machine (the stand-in for CryptProtectData and NCrypt "LOCAL=machine").
//
// Every program on the machine that can read the machine key can turn a blob back, whichever
// account it runs under; a blob taken to another machine (another key) cannot be.
//
// Machine key: 32 random bytes in a root-only file, MachineKeyPath(). The first MachineProtect
// creates it (folder 0700 when the folder is new, file 0600), publishing a fully written file
// under its final name with one atomic link so that two first users never end up with two
// keys. MachineUnprotect never creates a key.
//
// Blob (AES-256-GCM), kMachineBlobOverhead bytes more than the clear bytes:
//   offset 0   1 byte   format version, 0x01
//   offset 1   1 byte   path marker: 'L' (0x4C) legacy, 'C' (0x43) CNG
//   offset 2  12 bytes  random nonce
//   offset 14  n bytes  ciphertext, as long as the clear bytes
//   offset 14+n 16 bytes authentication tag
// The associated data is the two header bytes followed by the path's context text
// ("This is pwd." for legacy, "LOCAL=machine" for CNG), so a blob written on one path is
// refused on the other, as the two Windows facilities refuse each other's blobs.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::platform {

enum class ProtectionPath { Legacy, Cng };

enum class MachineProtectResult {
    Ok,
    KeyUnavailable,  // the key file could not be opened, read or created (sysError holds errno)
    KeyInvalid,      // the key file exists but does not hold a key
    CryptoFailed,    // the cipher or the random source failed
    BadBlob,         // not a blob of this path and this machine, or altered
};

struct MachineProtectStatus {
    MachineProtectResult result = MachineProtectResult::Ok;
    int sysError = 0;
    bool ok() const { return result == MachineProtectResult::Ok; }
};

inline constexpr std::size_t kMachineKeySize = 32;
inline constexpr std::size_t kMachineBlobOverhead = 2 + 12 + 16;

// The machine key file: $ORVANE_MACHINE_KEY when set and not empty, else
// "/var/lib/orvane/machine.key".
std::string MachineKeyPath();

// Protects the clear bytes; `blob` is written only on success.
MachineProtectStatus MachineProtect(ProtectionPath path, std::string_view clear, std::string& blob);

// Turns a blob of the same path and machine back; `clear` is written only on success.
MachineProtectStatus MachineUnprotect(ProtectionPath path, std::string_view blob, std::string& clear);

}  // namespace orvane::platform
