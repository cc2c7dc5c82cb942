#pragma once
// Auto-start of the console: a machine-wide XDG autostart entry that starts it hidden at every
// desktop logon. The flag mirrors the entry's existence.
#include <string>

namespace orvane::console {

// "/etc/xdg/autostart", or $ORVANE_AUTOSTART_DIR when set (tests).
std::string AutostartFolder();
// "<autostart folder>/OrvaneAgent.desktop".
std::string AutostartEntryPath(const std::string& autostartFolder);

// The entry's text: Exec runs "<program folder>/OrvaneAgent" with "-Hide". False for a folder
// that no Exec line can hold (a line break in it).
bool AutostartEntryText(const std::string& programFolder, std::string& text);

// 1 when the entry exists, else 0.
int ReadAutoStartFlag(const std::string& autostartFolder);

// The Apply of the Options dialog: writes or deletes the entry when `checked` differs from the
// flag, and updates the flag only when that succeeded. Failures are silent (the flag then keeps
// the real state). Returns the flag.
int ApplyAutoStart(bool checked, int& flag, const std::string& autostartFolder, const std::string& programFolder);

}  // namespace orvane::console
