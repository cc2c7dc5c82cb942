#include "console/core/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/profile.h"

namespace orvane::console {
namespace {

constexpr const char* kEntryName = "OrvaneAgent.desktop";

// An argument of an Exec line: in double quotes, with '"', '`', '$' and '\' escaped, and '%'
// doubled; then every backslash doubled again by the entry's string escaping.
std::string QuotedExecArgument(const std::string& arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (char c : quoted) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::string AutostartFolder() {
    if (const char* d = std::getenv("ORVANE_AUTOSTART_DIR"); d && *d) return d;
    return "/etc/xdg/autostart";
}

std::string AutostartEntryPath(const std::string& autostartFolder) { return autostartFolder + "/" + kEntryName; }

bool AutostartEntryText(const std::string& programFolder, std::string& text) {
    if (programFolder.find_first_of("\r\n") != std::string::npos) return false;
    text = "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Orvane Agent\n"
           "Comment=Orvane configuration console, started hidden in the notification area\n"
           "Exec=" + QuotedExecArgument(programFolder + "/OrvaneAgent") + " -Hide\n"
           "Terminal=false\n"
           "NoDisplay=true\n";
    return true;
}

int ReadAutoStartFlag(const std::string& autostartFolder) {
    struct stat st {};
    return ::stat(AutostartEntryPath(autostartFolder).c_str(), &st) == 0 ? 1 : 0;
}

int ApplyAutoStart(bool checked, int& flag, const std::string& autostartFolder, const std::string& programFolder) {
    const std::string path = AutostartEntryPath(autostartFolder);
    if (!checked && flag != 0) {
        if (::unlink(path.c_str()) == 0) flag = 0;
    } else if (checked && flag != 1) {
        std::string text;
        if (!AutostartEntryText(programFolder, text)) return flag;
        // Written whole or not at all, through the same atomic replacement as config.ini; the
        // desktop reads it as the user.
        ProfileFile entry;
        entry.Parse(text);
        if (entry.SaveTo(path, 0644)) flag = 1;
    }
    return flag;
}

}  // namespace orvane::console
