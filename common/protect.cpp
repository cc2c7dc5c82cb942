#include "common/protect.h"

#include <openssl/crypto.h>

#include <string_view>

#include "common/log.h"
#include "common/text.h"
#include "platform/machine_protect.h"
#include "platform/os_version.h"

namespace orvane {
namespace {

using platform::MachineProtectResult;
using platform::ProtectionPath;

// Version values up to this one use the legacy path, in both directions.
constexpr int kLastLegacyVersion = 61;

constexpr std::size_t kMaxBlobBytes = kMaxProtectedTextLength / 2;
static_assert(kMaxProtectableUnits == (kMaxBlobBytes - platform::kMachineBlobOverhead) / 2);

// Status numbers of the CNG decrypt message, in the form NCrypt reports them.
constexpr unsigned kStatusBadKey = 0x80090003;   // key file holds no key
constexpr unsigned kStatusBadData = 0x80090005;  // blob of another path or machine, or altered
constexpr unsigned kStatusFail = 0x80090020;     // the cipher itself failed

// A buffer that held clear text is wiped before it is freed.
struct ClearBuffer {
    std::string bytes;
    ~ClearBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The protection path of this machine; false (logged) when its version cannot be read.
bool ReadProtectionPath(ProtectionPath& path) {
    int versionValue = 0;
    if (!platform::GetOsVersionValue(versionValue)) {
        LogError("[ERR]Get OS version failed!");
        return false;
    }
    path = versionValue <= kLastLegacyVersion ? ProtectionPath::Legacy : ProtectionPath::Cng;
    return true;
}

// The machine key stands where the CNG library is loaded: without it nothing can be done.
void LogKeyUnavailable(int sysError) { LogError("[ERR]Load ncrypt.dll failed! ErrorCode:%d", sysError); }

void EncodeHex(std::string_view blob, std::string& out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.resize(blob.size() * 2);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        auto b = static_cast<unsigned char>(blob[i]);
        out[2 * i] = kDigits[b >> 4];
        out[2 * i + 1] = kDigits[b & 0x0F];
    }
}

// The value of one character: upper-cased, below ':' its distance from '0', else from 55
// ('A' gives 10). Nothing is validated; the platform refuses what does not decrypt.
int NibbleOf(unsigned char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    return c < ':' ? c - '0' : c - 55;
}

// Half the length rounded up; an odd text's last byte pairs its final character with the
// terminating zero, which is read as a value here, never from memory.
std::string DecodeHex(std::string_view hex) {
    std::string bytes((hex.size() + 1) / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int hi = NibbleOf(static_cast<unsigned char>(hex[2 * i]));
        int lo = 2 * i + 1 < hex.size() ? NibbleOf(static_cast<unsigned char>(hex[2 * i + 1])) : NibbleOf(0);
        bytes[i] = static_cast<char>(static_cast<unsigned char>((hi * 16 + lo) & 0xFF));
    }
    return bytes;
}

}  // namespace

int ProtectText(const std::string& clearText, std::string& protectedText) {
    if (clearText.empty()) return -1;
    ClearBuffer clear{Utf8ToUtf16LeBytes(clearText)};
    if (clear.bytes.size() / 2 > kMaxProtectableUnits) return -1;
    {
        // Text that would not come back as given (invalid UTF-8, or a zero that would end it
        // early) is refused rather than stored altered.
        ClearBuffer back{Utf16LeBytesToUtf8(clear.bytes)};
        if (back.bytes != clearText) return -1;
    }

    ProtectionPath path;
    if (!ReadProtectionPath(path)) return -1;
    std::string blob;
    platform::MachineProtectStatus st = platform::MachineProtect(path, clear.bytes, blob);
    if (!st.ok()) {
        if (path == ProtectionPath::Legacy) return -1;
        switch (st.result) {
            case MachineProtectResult::KeyUnavailable:
                LogKeyUnavailable(st.sysError);
                break;
            case MachineProtectResult::KeyInvalid:
                LogError("[ERR]Create protection descriptor failed!");
                break;
            default:
                LogError("[ERR]Encrypt data by CNG cryptography failed!");
                break;
        }
        return -1;
    }
    EncodeHex(blob, protectedText);
    return 0;
}

void UnprotectText(const std::string& protectedText, std::string& field, std::size_t capacity) {
    // Like the wide text it stands for, the text ends at a zero. A text longer than the working
    // buffer (counted in bytes, never fewer than its characters) is refused the way the platform
    // refuses a blob it does not accept, with the same message.
    std::string_view hex(protectedText.c_str());
    std::string blob;
    if (hex.size() <= kMaxProtectedTextLength) blob = DecodeHex(hex);

    ProtectionPath path;
    if (!ReadProtectionPath(path)) return;
    ClearBuffer clear;
    platform::MachineProtectStatus st = platform::MachineUnprotect(path, blob, clear.bytes);
    if (!st.ok()) {
        if (path == ProtectionPath::Legacy) return;
        if (st.result == MachineProtectResult::KeyUnavailable) {
            LogKeyUnavailable(st.sysError);
            return;
        }
        unsigned status = st.result == MachineProtectResult::KeyInvalid ? kStatusBadKey
                          : st.result == MachineProtectResult::BadBlob  ? kStatusBadData
                                                                        : kStatusFail;
        LogError("[ERR]Decrypt data by CNG cryptography failed! Status:0x%0X", status);
        return;
    }
    ClearBuffer text{Utf16LeBytesToUtf8(clear.bytes)};
    if (!FitsCapacity(text.bytes, capacity)) {
        ClearBuffer cut{CutToCapacity(text.bytes, capacity)};
        text.bytes.resize(cut.bytes.size());
    }
    field.swap(text.bytes);
}

}  // namespace orvane
