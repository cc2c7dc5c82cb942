#pragma once
// The INI profile engine behind config.ini, with the semantics of the Windows profile functions:
// section and key names compared without regard to case, the first match wins, values trimmed
// (one pair of enclosing double quotes removed), a missing key answered with the caller's default,
// integers read as an optional sign and the leading decimal digits, a write with no key removing
// the whole section and a write with no value removing the key. Everything else in the file
// (comments, order, other sections, unknown lines, line ends, encoding) is kept byte for byte.
//
// Files are UTF-8, with or without a byte-order mark; UTF-16LE files (FF FE) are read too, and
// every file is written back in the encoding it had. Writes replace the file atomically (temporary
// file in the same folder, fsync, rename) under an advisory lock on "<file>.lock", so a reader
// never sees a torn file and two writers never lose each other's changes.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// A parsed profile held in memory: one parse serves any number of reads.
class ProfileFile {
public:
    enum class Encoding { Utf8, Utf8Bom, Utf16Le };

    ProfileFile() = default;

    // Reads and parses a file. A file that does not exist is an empty profile (true, Exists()
    // false). False (with errno set) when the file exists but cannot be read.
    bool Load(const std::string& path);
    // Parses file content (the bytes as stored, byte-order mark included).
    void Parse(std::string_view bytes);
    // The file content as it would be stored.
    std::string Serialize() const;

    bool Exists() const { return exists_; }
    Encoding encoding() const { return encoding_; }
    // True once a change was made since the last Load/Parse.
    bool Modified() const { return modified_; }

    // The value of the first matching key, or nullptr when the key is missing or has no value.
    const std::string* Find(std::string_view section, std::string_view key) const;
    // The value (or the default), cut to `size` - 1 UTF-16 units as a buffer of `size` would hold it.
    std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                          std::size_t size) const;
    // The leading decimal number of the value, or the default when the key is missing or empty.
    int GetInt(std::string_view section, std::string_view key, int def) const;
    // Names of the keys in a section, first spelling of each, in file order.
    std::vector<std::string> KeyNames(std::string_view section) const;
    bool HasSection(std::string_view section) const;

    // Sets a key (creating the section when needed). False when a name or the value cannot be
    // stored so that it reads back the same (line breaks, "=" in a key, "]" in a section name...).
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line of the key; true when there was one.
    bool RemoveKey(std::string_view section, std::string_view key);
    // Removes the section (every section of that name); true when there was one.
    bool RemoveSection(std::string_view section);

    // Writes the profile to `path` atomically, keeping the existing file's mode and owner; a new
    // file gets `newFileMode` (settings are not for every reader).
    // The caller holds the file's lock (ProfileEdit does). False (errno set) leaves the old file.
    bool SaveTo(const std::string& path, unsigned newFileMode = 0640) const;

private:
    enum class Kind { Blank, Comment, Section, Key, Other };
    struct Line {
        std::string text;  // without the line end
        std::string eol;   // "\r\n", "\n", or "" for a last line without one
        Kind kind = Kind::Other;
        std::string name;   // section or key name, trimmed
        std::string value;  // trimmed and unquoted
        bool hasValue = false;
    };

    static Line ParseLine(std::string text, std::string eol, bool inSection);
    // Index one past the last line that belongs to the section starting at `header`.
    std::size_t SectionEnd(std::size_t header) const;
    std::size_t FindKeyLine(std::string_view section, std::string_view key) const;
    const std::string& NewLineEnd() const;

    std::vector<Line> lines_;
    Encoding encoding_ = Encoding::Utf8;
    std::string oddByte_;  // a UTF-16LE file's odd last byte, written back after the text
    bool exists_ = false;
    bool modified_ = false;
};

// One locked read-modify-write of a profile file: Open takes the lock and loads the file, the
// caller changes File(), Commit writes it back atomically. The lock is held until destruction,
// so changes that belong together land in one replacement of the file.
class ProfileEdit {
public:
    explicit ProfileEdit(std::string path);
    ~ProfileEdit();
    ProfileEdit(const ProfileEdit&) = delete;
    ProfileEdit& operator=(const ProfileEdit&) = delete;

    // False when the lock cannot be had (within 10 s) or the file cannot be read.
    bool Open();
    ProfileFile& File() { return file_; }
    // Writes the changes (nothing when none were made); false leaves the old file as it was.
    bool Commit();

private:
    bool ReleaseLock();

    std::string path_;
    int lockFd_ = -1;
    ProfileFile file_;
};

// Single operations by path, as the Windows profile functions are used.
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view def, std::size_t size);
int ReadProfileInt(const std::string& path, std::string_view section, std::string_view key, int def);
std::vector<std::string> ReadProfileKeyNames(const std::string& path, std::string_view section);
// key nullptr removes the section, value nullptr removes the key. A file that does not exist is
// created. False on any failure, with the file left as it was.
bool WriteProfileString(const std::string& path, std::string_view section, const char* key, const char* value);

}  // namespace orvane
