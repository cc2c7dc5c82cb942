#include "platform/machine_protect.h"

#include "platform/file_io.h"
#include "platform/process.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvane::platform {
namespace {

constexpr char kDefaultKeyPath[] = "/var/lib/orvane/machine.key";
constexpr unsigned char kFormatVersion = 0x01;
constexpr unsigned char kLegacyMarker = 'L';
constexpr unsigned char kCngMarker = 'C';
constexpr std::string_view kLegacyContext = "This is pwd.";
constexpr std::string_view kCngContext = "LOCAL=machine";
constexpr std::size_t kHeaderSize = 2;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
static_assert(kMachineBlobOverhead == kHeaderSize + kNonceSize + kTagSize);

// The key never outlives its use in memory.
struct MachineKey {
    unsigned char bytes[kMachineKeySize];
    MachineKey() = default;
    MachineKey(const MachineKey&) = delete;
    MachineKey& operator=(const MachineKey&) = delete;
    ~MachineKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting a failed close (a write the kernel could not complete).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

MachineProtectStatus Fail(MachineProtectResult r, int err = 0) { return {r, err}; }

unsigned char MarkerOf(ProtectionPath path) { return path == ProtectionPath::Legacy ? kLegacyMarker : kCngMarker; }
std::string_view ContextOf(ProtectionPath path) {
    return path == ProtectionPath::Legacy ? kLegacyContext : kCngContext;
}

// The associated data: the blob's header, then the path's context text.
std::string AssociatedData(ProtectionPath path) {
    std::string aad;
    aad += static_cast<char>(kFormatVersion);
    aad += static_cast<char>(MarkerOf(path));
    aad += ContextOf(path);
    return aad;
}

// 0, or why the key's folder is not to be trusted: it must be a folder of the caller's or root's
// that nobody else may write to, or another user could put a key of their own in its place.
int KeyFolderProblem(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & 022) != 0) return EPERM;
    return 0;
}

MachineProtectStatus ReadKey(const std::string& path, MachineKey& key) {
    if (int problem = KeyFolderProblem(FolderOf(path)); problem != 0 && problem != ENOENT)
        return Fail(MachineProtectResult::KeyUnavailable, problem);
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return Fail(MachineProtectResult::KeyUnavailable, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail(MachineProtectResult::KeyUnavailable, errno);
    if (!S_ISREG(st.st_mode)) return Fail(MachineProtectResult::KeyInvalid);
    if (st.st_uid != ::geteuid()) return Fail(MachineProtectResult::KeyUnavailable, EPERM);
    // A key someone made readable by others is closed again (never opened wider).
    if ((st.st_mode & 077) != 0) ::fchmod(fd.get(), st.st_mode & 0600);
    // One byte more than a key, to tell a longer file from a key.
    unsigned char buf[kMachineKeySize + 1];
    std::size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = ::read(fd.get(), buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            OPENSSL_cleanse(buf, sizeof buf);
            return Fail(MachineProtectResult::KeyUnavailable, err);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bool ok = got == kMachineKeySize;
    if (ok) std::memcpy(key.bytes, buf, kMachineKeySize);
    OPENSSL_cleanse(buf, sizeof buf);
    return ok ? MachineProtectStatus{} : Fail(MachineProtectResult::KeyInvalid);
}

// Writes a new key to a private temporary file and links it under the final name: the link
// fails when another process got there first, and then its key is the machine's. Nobody can
// ever read a half-written key.
MachineProtectStatus CreateKey(const std::string& path, MachineKey& key) {
    std::string folder = FolderOf(path);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return Fail(MachineProtectResult::KeyUnavailable, errno);
    if (int problem = KeyFolderProblem(folder)) return Fail(MachineProtectResult::KeyUnavailable, problem);

    MachineKey fresh;
    unsigned char tag[8];
    if (RAND_priv_bytes(fresh.bytes, sizeof fresh.bytes) != 1 || RAND_bytes(tag, sizeof tag) != 1)
        return Fail(MachineProtectResult::CryptoFailed);
    char suffix[2 * sizeof tag + 1];
    for (std::size_t i = 0; i < sizeof tag; ++i) std::snprintf(suffix + 2 * i, 3, "%02x", tag[i]);
    std::string temp = path + ".new-" + suffix;

    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return Fail(MachineProtectResult::KeyUnavailable, errno);
    int err = 0;
    if (::fchmod(fd.get(), 0600) != 0 || !WriteAll(fd.get(), fresh.bytes, sizeof fresh.bytes) ||
        ::fsync(fd.get()) != 0 || !fd.Close()) {
        err = errno;
    } else if (::link(temp.c_str(), path.c_str()) != 0) {
        err = errno;
    }
    ::unlink(temp.c_str());
    if (err == EEXIST) return ReadKey(path, key);
    if (err != 0) return Fail(MachineProtectResult::KeyUnavailable, err);

    // The key must survive a power loss once a blob made with it may have been stored.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    std::memcpy(key.bytes, fresh.bytes, sizeof key.bytes);
    return {};
}

}  // namespace

std::string MachineKeyPath() {
    const char* env = std::getenv("ORVANE_MACHINE_KEY");
    return env && *env ? std::string(env) : std::string(kDefaultKeyPath);
}

MachineProtectStatus MachineProtect(ProtectionPath path, std::string_view clear, std::string& blob) {
    if (clear.size() > static_cast<std::size_t>(INT_MAX) - kMachineBlobOverhead)
        return Fail(MachineProtectResult::CryptoFailed);
    std::string keyPath = MachineKeyPath();
    MachineKey key;
    MachineProtectStatus st = ReadKey(keyPath, key);
    if (st.result == MachineProtectResult::KeyUnavailable && st.sysError == ENOENT) st = CreateKey(keyPath, key);
    if (!st.ok()) return st;

    std::string out(kMachineBlobOverhead + clear.size(), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    p[0] = kFormatVersion;
    p[1] = MarkerOf(path);
    unsigned char* nonce = p + kHeaderSize;
    unsigned char* body = nonce + kNonceSize;
    unsigned char* tag = body + clear.size();
    if (RAND_bytes(nonce, kNonceSize) != 1) return Fail(MachineProtectResult::CryptoFailed);

    std::string aad = AssociatedData(path);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
              EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.bytes, nonce) == 1 &&
              EVP_EncryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(aad.data()),
                                static_cast<int>(aad.size())) == 1 &&
              EVP_EncryptUpdate(ctx.get(), body, &len, reinterpret_cast<const unsigned char*>(clear.data()),
                                static_cast<int>(clear.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx.get(), body + len, &len) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
    if (!ok) return Fail(MachineProtectResult::CryptoFailed);
    blob = std::move(out);
    return {};
}

MachineProtectStatus MachineUnprotect(ProtectionPath path, std::string_view blob, std::string& clear) {
    MachineKey key;
    MachineProtectStatus st = ReadKey(MachineKeyPath(), key);
    if (!st.ok()) return st;

    const auto* p = reinterpret_cast<const unsigned char*>(blob.data());
    if (blob.size() < kMachineBlobOverhead || blob.size() > static_cast<std::size_t>(INT_MAX) ||
        p[0] != kFormatVersion || p[1] != MarkerOf(path))
        return Fail(MachineProtectResult::BadBlob);
    std::size_t n = blob.size() - kMachineBlobOverhead;
    const unsigned char* nonce = p + kHeaderSize;
    const unsigned char* body = nonce + kNonceSize;
    const unsigned char* tag = body + n;

    std::string out(n, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    std::string aad = AssociatedData(path);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    bool ready = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                 EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
                 EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.bytes, nonce) == 1 &&
                 EVP_DecryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(aad.data()),
                                   static_cast<int>(aad.size())) == 1 &&
                 EVP_DecryptUpdate(ctx.get(), o, &len, body, static_cast<int>(n)) == 1 &&
                 EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, const_cast<unsigned char*>(tag)) == 1;
    if (!ready) {
        OPENSSL_cleanse(out.data(), out.size());
        return Fail(MachineProtectResult::CryptoFailed);
    }
    // The tag is checked here: another key, another path or an altered byte all end in this refusal.
    if (EVP_DecryptFinal_ex(ctx.get(), o + len, &len) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return Fail(MachineProtectResult::BadBlob);
    }
    clear = std::move(out);
    return {};
}

}  // namespace orvane::platform
