#pragma once
// What every console front end does before it shows anything: the program folder, config.ini,
// the interface language and its texts, and the console log.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/log.h"
#include "console/core/language.h"

namespace orvane::console {

// True when "-Hide" occurs anywhere in the command line (arguments joined by spaces).
bool HasHideFlag(int argc, char** argv);
bool HasHideFlag(std::string_view commandLine);

// "<folder>/log/LOG_UI.txt".
std::string ConsoleLogPath(const std::string& programFolder);
// The console log at level 0 (every line written); the folder "log" is not created.
std::unique_ptr<FixedFileLog> OpenConsoleLog(const std::string& programFolder);

enum class StartCheck {
    Ok,
    NoFolder,        // the executable's path cannot be had: end quietly
    NoConfig,        // "[ERR] Config file is no exist!"
    NoLanguageText,  // "[ERR] Read config file of language failed!"
};

struct ConsoleStart {
    std::string programFolder;
    std::string configPath;
    std::uint32_t languageId = kEnglish;
    LanguageTable texts;
};

// The folder of the running executable; false when it cannot be had in full.
bool ExecutableFolder(std::string& folder);

// Steps 4 to 7 of the start: config.ini must exist, the language comes from CurLanguageId, and
// every text of that language must load. Writes the documented error line on failure.
StartCheck PrepareConsole(const std::string& programFolder, ConsoleStart& out);

}  // namespace orvane::console
