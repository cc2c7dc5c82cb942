#include "common/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "common/text.h"
#include "platform/file_io.h"
#include "platform/process.h"

namespace orvane {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
// config.ini is a few kilobytes; anything this large is not a profile.
constexpr std::size_t kMaxFileBytes = 64u << 20;
constexpr auto kLockWait = std::chrono::seconds(10);
constexpr auto kLockPoll = std::chrono::milliseconds(5);

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimView(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (IsBlank(s[b]) || s[b] == '\r')) ++b;
    while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

// A value that the reader's trimming or unquoting would change is stored inside quotes.
bool NeedsQuotes(std::string_view v) {
    if (v.empty()) return false;
    if (IsBlank(v.front()) || IsBlank(v.back())) return true;
    return v.size() >= 2 && v.front() == '"' && v.back() == '"';
}

bool ReadAll(int fd, std::string& out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        errno = EFBIG;
        return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxFileBytes) {
            errno = EFBIG;
            return false;
        }
    }
}

// Keeps errno of the failure across the clean-up calls.
struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Parsing and queries.

ProfileFile::Line ProfileFile::ParseLine(std::string text, std::string eol, bool inSection) {
    Line line;
    std::string_view t = TrimView(text);
    if (t.empty()) {
        line.kind = Kind::Blank;
    } else if (t.front() == ';' || t.front() == '#') {
        line.kind = Kind::Comment;
    } else if (t.front() == '[') {
        std::size_t close = t.find(']');
        if (close != t.npos) {
            line.kind = Kind::Section;
            line.name = std::string(TrimView(t.substr(1, close - 1)));
        }
    } else if (inSection) {
        std::size_t eq = t.find('=');
        std::string_view name = TrimView(t.substr(0, eq));
        if (!name.empty()) {
            line.kind = Kind::Key;
            line.name = std::string(name);
            if (eq != t.npos) {
                std::string_view v = TrimView(t.substr(eq + 1));
                if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
                line.value = std::string(v);
                line.hasValue = true;
            }
        }
    }
    line.text = std::move(text);
    line.eol = std::move(eol);
    return line;
}

void ProfileFile::Parse(std::string_view bytes) {
    lines_.clear();
    oddByte_.clear();
    modified_ = false;
    std::string utf8;
    if (bytes.substr(0, kUtf16LeBom.size()) == kUtf16LeBom) {
        encoding_ = Encoding::Utf16Le;
        // Every unit is kept, even a zero or a lone surrogate, so a write loses nothing.
        utf8 = Utf16LeFileBytesToUtf8(bytes.substr(kUtf16LeBom.size()), oddByte_);
        bytes = utf8;
    } else if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        encoding_ = Encoding::Utf8Bom;
        bytes.remove_prefix(kUtf8Bom.size());
    } else {
        encoding_ = Encoding::Utf8;
    }
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t nl = bytes.find('\n', pos);
        std::size_t end = nl == bytes.npos ? bytes.size() : nl;
        std::size_t textEnd = end;
        std::string eol;
        if (nl != bytes.npos) {
            if (end > pos && bytes[end - 1] == '\r') {
                --textEnd;
                eol = "\r\n";
            } else {
                eol = "\n";
            }
        }
        Line line = ParseLine(std::string(bytes.substr(pos, textEnd - pos)), std::move(eol), inSection);
        if (line.kind == Kind::Section) inSection = true;
        lines_.push_back(std::move(line));
        pos = nl == bytes.npos ? bytes.size() : nl + 1;
    }
}

std::string ProfileFile::Serialize() const {
    std::string body;
    std::size_t total = 0;
    for (const Line& l : lines_) total += l.text.size() + l.eol.size();
    body.reserve(total);
    for (const Line& l : lines_) {
        body += l.text;
        body += l.eol;
    }
    switch (encoding_) {
        case Encoding::Utf8:
            return body;
        case Encoding::Utf8Bom:
            return std::string(kUtf8Bom) + body;
        case Encoding::Utf16Le:
            return std::string(kUtf16LeBom) + Utf8ToUtf16LeFileBytes(body) + oddByte_;
    }
    return body;
}

bool ProfileFile::Load(const std::string& path) {
    lines_.clear();
    oddByte_.clear();
    encoding_ = Encoding::Utf8;
    modified_ = false;
    exists_ = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    std::string bytes;
    bool ok = ReadAll(fd, bytes);
    {
        ErrnoKeeper keep;
        ::close(fd);
    }
    if (!ok) return false;
    exists_ = true;
    Parse(bytes);
    return true;
}

std::size_t ProfileFile::FindKeyLine(std::string_view section, std::string_view key) const {
    bool inMatch = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& l = lines_[i];
        if (l.kind == Kind::Section) {
            inMatch = EqualsNoCase(l.name, section);
        } else if (inMatch && l.kind == Kind::Key && EqualsNoCase(l.name, key)) {
            return i;
        }
    }
    return std::string::npos;
}

const std::string* ProfileFile::Find(std::string_view section, std::string_view key) const {
    std::size_t i = FindKeyLine(section, key);
    if (i == std::string::npos || !lines_[i].hasValue) return nullptr;
    return &lines_[i].value;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key, std::string_view def,
                                   std::size_t size) const {
    const std::string* v = Find(section, key);
    return CutToCapacity(v ? std::string_view(*v) : def, size);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int def) const {
    const std::string* v = Find(section, key);
    // An empty value counts as missing, as it does for GetPrivateProfileIntW.
    if (!v || v->empty()) return def;
    std::string_view s = *v;
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    // Accumulated in 32 bits, as the 32-bit result of the platform function is.
    std::uint32_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        n = n * 10u + static_cast<std::uint32_t>(c - '0');
    }
    if (negative) n = 0u - n;
    return static_cast<std::int32_t>(n);
}

std::vector<std::string> ProfileFile::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    bool inMatch = false;
    for (const Line& l : lines_) {
        if (l.kind == Kind::Section) {
            inMatch = EqualsNoCase(l.name, section);
        } else if (inMatch && l.kind == Kind::Key) {
            bool seen = false;
            for (const std::string& n : names) seen = seen || EqualsNoCase(n, l.name);
            if (!seen) names.push_back(l.name);
        }
    }
    return names;
}

bool ProfileFile::HasSection(std::string_view section) const {
    for (const Line& l : lines_) {
        if (l.kind == Kind::Section && EqualsNoCase(l.name, section)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Changes.

const std::string& ProfileFile::NewLineEnd() const {
    static const std::string kLf = "\n";
    for (const Line& l : lines_) {
        if (!l.eol.empty()) return l.eol;
    }
    return kLf;
}

std::size_t ProfileFile::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
    return i;
}

bool ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (section.empty() || HasLineBreakOrNul(section) || section.find(']') != section.npos ||
        TrimView(section) != section) {
        return false;
    }
    if (key.empty() || HasLineBreakOrNul(key) || key.find('=') != key.npos || TrimView(key) != key ||
        key.front() == ';' || key.front() == '#' || key.front() == '[') {
        return false;
    }
    if (HasLineBreakOrNul(value)) return false;

    std::string stored = NeedsQuotes(value) ? "\"" + std::string(value) + "\"" : std::string(value);
    const std::string nl = NewLineEnd();
    modified_ = true;

    if (std::size_t i = FindKeyLine(section, key); i != std::string::npos) {
        Line& l = lines_[i];
        std::string text;
        std::size_t eq = l.text.find('=');
        if (eq != std::string::npos) {
            // Keep the line's own spelling and spacing up to where the value starts.
            std::size_t start = eq + 1;
            while (start < l.text.size() && IsBlank(l.text[start])) ++start;
            text = l.text.substr(0, start < l.text.size() ? start : eq + 1) + stored;
        } else {
            std::size_t lead = 0;
            while (lead < l.text.size() && IsBlank(l.text[lead])) ++lead;
            text = l.text.substr(0, lead) + l.name + "=" + stored;
        }
        l.text = std::move(text);
        l.value = std::string(value);
        l.hasValue = true;
        return true;
    }

    Line added = ParseLine(std::string(key) + "=" + stored, nl, true);
    for (std::size_t h = 0; h < lines_.size(); ++h) {
        if (lines_[h].kind != Kind::Section || !EqualsNoCase(lines_[h].name, section)) continue;
        // After the section's last entry, so comments that lead into the next section stay there.
        std::size_t end = SectionEnd(h), at = h + 1;
        for (std::size_t i = h + 1; i < end; ++i) {
            if (lines_[i].kind == Kind::Key || lines_[i].kind == Kind::Other) at = i + 1;
        }
        if (lines_[at - 1].eol.empty()) lines_[at - 1].eol = nl;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(added));
        return true;
    }

    if (!lines_.empty()) {
        if (lines_.back().eol.empty()) lines_.back().eol = nl;
        if (lines_.back().kind != Kind::Blank) lines_.push_back(ParseLine("", nl, false));
    }
    lines_.push_back(ParseLine("[" + std::string(section) + "]", nl, false));
    lines_.push_back(std::move(added));
    return true;
}

bool ProfileFile::RemoveKey(std::string_view section, std::string_view key) {
    bool inMatch = false, removed = false;
    std::size_t out = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& l = lines_[i];
        if (l.kind == Kind::Section) inMatch = EqualsNoCase(l.name, section);
        if (inMatch && l.kind == Kind::Key && EqualsNoCase(l.name, key)) {
            removed = true;
            continue;
        }
        if (out != i) lines_[out] = std::move(l);
        ++out;
    }
    lines_.resize(out);
    if (removed) modified_ = true;
    return removed;
}

bool ProfileFile::RemoveSection(std::string_view section) {
    bool removed = false;
    for (std::size_t h = 0; h < lines_.size();) {
        if (lines_[h].kind != Kind::Section || !EqualsNoCase(lines_[h].name, section)) {
            ++h;
            continue;
        }
        // The header and everything up to the section's last entry; trailing comments and blank
        // lines usually introduce the next section and are kept.
        std::size_t end = SectionEnd(h), cut = h + 1;
        for (std::size_t i = h + 1; i < end; ++i) {
            if (lines_[i].kind == Kind::Key || lines_[i].kind == Kind::Other) cut = i + 1;
        }
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(h), lines_.begin() + static_cast<std::ptrdiff_t>(cut));
        // Drop the blank line that separated it, so adds and deletes do not pile up blank lines.
        if (h > 0 && lines_[h - 1].kind == Kind::Blank && (h == lines_.size() || lines_[h].kind == Kind::Blank)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(h - 1));
            --h;
        }
        removed = true;
    }
    if (removed) modified_ = true;
    return removed;
}

// ---------------------------------------------------------------------------------------------
// Atomic replacement of the file.

namespace {

// A writer killed between creating its temporary file and the rename leaves the file behind
// (with the settings' protected secrets in it). The next successful save removes those of
// writers that no longer run; a live writer's file is left alone.
void RemoveDeadWritersTemporaries(const std::string& target) {
    const std::string folder = platform::FolderOf(target);
    const std::string prefix = target.substr(target.find_last_of('/') + 1) + ".tmp.";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        // <name>.tmp.<pid>.<counter>
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        if (dot == 0 || dot == std::string_view::npos || dot + 1 == rest.size()) continue;
        if (rest.find_first_not_of("0123456789.") != std::string_view::npos) continue;
        const long pid = std::strtol(std::string(rest.substr(0, dot)).c_str(), nullptr, 10);
        if (pid <= 0 || pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(dir), e->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace

bool ProfileFile::SaveTo(const std::string& path, unsigned newFileMode) const {
    // Replace the file a symbolic link points to, not the link.
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real) return false;
        target = real;
        std::free(real);
    }
    struct stat st {};
    bool existed = ::stat(target.c_str(), &st) == 0;
    if (!existed && errno != ENOENT) return false;
    if (existed && !S_ISREG(st.st_mode)) {
        errno = EISDIR;
        return false;
    }

    static std::atomic<unsigned> counter{0};
    std::string tmp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    auto fail = [&]() {
        ErrnoKeeper keep;
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    };
    // An existing file keeps its mode and group, so a rewrite never opens it to more readers.
    mode_t mode = existed ? (st.st_mode & 07777) : static_cast<mode_t>(newFileMode & 0777);
    if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // Only root can hand the file back to its owner; anyone else becomes the owner, as a
        // rewrite by any editor would make them.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) return fail();
    }
    if (::fchmod(fd, mode) != 0) return fail();
    const std::string text = Serialize();
    if (!platform::WriteAll(fd, text.data(), text.size())) return fail();
    if (::fsync(fd) != 0) return fail();
    int closing = fd;
    fd = -1;
    if (::close(closing) != 0) return fail();
    if (::rename(tmp.c_str(), target.c_str()) != 0) return fail();
    // Make the rename itself durable; the new file is in place whatever this reports.
    int dir = ::open(platform::FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    RemoveDeadWritersTemporaries(target);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Locked edits and single operations.

ProfileEdit::ProfileEdit(std::string path) : path_(std::move(path)) {}

ProfileEdit::~ProfileEdit() {
    if (lockFd_ >= 0) ::close(lockFd_);  // closing releases the flock
}

bool ProfileEdit::Open() {
    if (lockFd_ < 0) {
        std::string lockPath = path_ + ".lock";
        lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
        // A lock file made by another user can still be locked through a read-only descriptor.
        if (lockFd_ < 0 && errno == EACCES) lockFd_ = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (lockFd_ < 0) return false;
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) return ReleaseLock();
            if (std::chrono::steady_clock::now() >= deadline) {
                errno = ETIMEDOUT;
                return ReleaseLock();
            }
            std::this_thread::sleep_for(kLockPoll);
        }
    }
    return file_.Load(path_);
}

bool ProfileEdit::ReleaseLock() {
    ErrnoKeeper keep;
    ::close(lockFd_);
    lockFd_ = -1;
    return false;
}

bool ProfileEdit::Commit() {
    if (lockFd_ < 0) {
        errno = ENOLCK;
        return false;
    }
    if (!file_.Modified()) return true;
    return file_.SaveTo(path_);
}

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view def, std::size_t size) {
    ProfileFile f;
    f.Load(path);
    return f.GetString(section, key, def, size);
}

int ReadProfileInt(const std::string& path, std::string_view section, std::string_view key, int def) {
    ProfileFile f;
    f.Load(path);
    return f.GetInt(section, key, def);
}

std::vector<std::string> ReadProfileKeyNames(const std::string& path, std::string_view section) {
    ProfileFile f;
    f.Load(path);
    return f.KeyNames(section);
}

bool WriteProfileString(const std::string& path, std::string_view section, const char* key, const char* value) {
    ProfileEdit edit(path);
    if (!edit.Open()) return false;
    ProfileFile& f = edit.File();
    if (!key) {
        f.RemoveSection(section);
    } else if (!value) {
        f.RemoveKey(section, key);
    } else if (!f.Set(section, key, value)) {
        errno = EINVAL;
        return false;
    }
    return edit.Commit();
}

}  // namespace orvane
