// config.ini as an administrator (or a broken editor) may leave it: the bytes are the file.
// It is parsed by the profile engine, read by every program's configuration reader (worker,
// service, console), and then changed and written back: what was read must be written back
// byte for byte, a change must read back as written, and everything not changed must read
// the same after the write.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/profile.h"
#include "common/protect.h"
#include "tests/fuzz/fuzz_support.h"

using namespace orvane;

namespace {

// Sections the readers look at, beside whatever the file holds.
constexpr const char* kKnownSections[] = {"ModelType", "EncryptType", "EncodeType", "AdServerNum", "FirewallNum",
                                          "ListenPort", "ClientShareKey", "FirewallShareKey", "AdServer0",
                                          "Firewall0", "AntiReplayTime", "QueryTime", "CurLanguageId"};

// Values a change may write: ordinary, and ones that are easy to get wrong.
constexpr const char* kValues[] = {"10.0.0.1", "", " padded ", "\"quoted\"", "a=b", "x;y", "[s]", "中文简体",
                                   "\"", "  ", "é\t\"x"};

struct Snapshot {
    std::vector<std::string> sections;  // as named
    std::vector<std::vector<std::pair<std::string, std::string>>> keys;  // name, value ("\x01" none)
};

std::vector<std::string> SectionsOf(const ProfileFile& f, std::string_view bytes) {
    // The engine has no list of sections; the readers' sections and every "[name]" in the
    // bytes cover what a reader can ask for.
    std::vector<std::string> out(std::begin(kKnownSections), std::end(kKnownSections));
    for (std::size_t open = bytes.find('['); open != std::string_view::npos && out.size() < 64;
         open = bytes.find('[', open + 1)) {
        const std::size_t close = bytes.find(']', open);
        if (close == std::string_view::npos) break;
        std::string name(bytes.substr(open + 1, close - open - 1));
        if (f.HasSection(name)) out.push_back(std::move(name));
    }
    return out;
}

Snapshot Take(const ProfileFile& f, const std::vector<std::string>& sections) {
    Snapshot s;
    s.sections = sections;
    for (const std::string& section : sections) {
        auto& keys = s.keys.emplace_back();
        for (std::string& k : f.KeyNames(section)) {
            const std::string* v = f.Find(section, k);
            keys.emplace_back(std::move(k), v ? *v : std::string("\x01"));
        }
    }
    return s;
}

void ReadEverything(const std::string& path, const ProfileFile& f) {
    for (std::uint16_t mode : {0, 1}) {
        WorkerSettings w;
        w.configPath = path;
        w.modelType = mode;
        w.serverArgument = "10.0.0.1";
        (void)ReadWorkerConfig(w, f);
        ORVANE_FUZZ_CHECK(w.servers.size() <= kMaxServers);
        ReadReceiverConfig(w, f);
        (void)ReadQueryTime(w, f);
    }
    ServiceSettings s;
    if (ReadServiceConfig(path, s) == 1) ORVANE_FUZZ_CHECK(s.serverAddresses.size() <= kMaxServers);
    ConsoleConfig c;
    c.configPath = path;
    if (LoadConsoleConfig(c) == 1) {
        ORVANE_FUZZ_CHECK(c.serverCount <= kMaxServers && c.deviceCount <= kMaxGateways);
    }
    (void)ReadConsoleLanguageId(path);
}

void Setup() {
    fuzzing::InstallDiscardLog();
    // Passwords and keys in the file are unprotected under a key of our own, never the machine's.
    ::setenv("ORVANE_MACHINE_KEY", (fuzzing::ScratchDir::Get() / "machine.key").c_str(), 1);
    std::string blob;
    ORVANE_FUZZ_CHECK(ProtectText("secret", blob) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    if (size > 64 * 1024) return -1;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fuzzing::ScratchDir& scratch = fuzzing::ScratchDir::Get();
    const std::string path = scratch / "config.ini";
    fuzzing::WriteWhole(path, bytes);

    ProfileFile f;
    ORVANE_FUZZ_CHECK(f.Load(path));
    // Nothing is lost or changed by reading: the file writes back as it was.
    ORVANE_FUZZ_CHECK(f.Serialize() == bytes);
    ReadEverything(path, f);

    const std::vector<std::string> sections = SectionsOf(f, bytes);
    const Snapshot before = Take(f, sections);

    // One change, chosen by the input: a key set (existing or new), a key or a section removed.
    const std::size_t pick = size ? data[size - 1] : 0;
    const std::string& section = sections[pick % sections.size()];
    const std::vector<std::string> keys = f.KeyNames(section);
    const std::string key = keys.empty() || (pick & 0x80) ? std::string("Value") : keys[pick % keys.size()];
    const std::string value = kValues[(pick >> 3) % std::size(kValues)];
    ProfileFile changed = f;
    bool done = false;
    switch (pick % 3) {
        case 0:
            done = changed.Set(section, key, value);
            break;
        case 1:
            done = changed.RemoveKey(section, key);
            break;
        case 2:
            done = changed.RemoveSection(section);
            break;
    }
    if (!done) {
        // A refused change leaves the file exactly as it was.
        ORVANE_FUZZ_CHECK(changed.Serialize() == bytes);
        return 0;
    }
    ORVANE_FUZZ_CHECK(changed.SaveTo(path));
    ProfileFile back;
    ORVANE_FUZZ_CHECK(back.Load(path));
    ORVANE_FUZZ_CHECK(back.Serialize() == changed.Serialize());
    ORVANE_FUZZ_CHECK(back.encoding() == f.encoding());
    switch (pick % 3) {
        case 0: {
            const std::string* got = back.Find(section, key);
            ORVANE_FUZZ_CHECK(value.empty() ? (got == nullptr || got->empty()) : (got && *got == value));
            break;
        }
        case 1:
            ORVANE_FUZZ_CHECK(back.Find(section, key) == nullptr && back.KeyNames(section).size() < keys.size() + 1);
            break;
        case 2:
            ORVANE_FUZZ_CHECK(!back.HasSection(section));
            break;
    }
    // Every other section reads as before.
    const Snapshot after = Take(back, sections);
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
            const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
            if (x != y) return false;
        }
        return true;
    };
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (same(sections[i], section)) continue;
        ORVANE_FUZZ_CHECK(after.keys[i] == before.keys[i]);
    }
    ReadEverything(path, back);
    return 0;
}
