#include "console/core/console_start.h"

#include <sys/stat.h>

#include "common/config.h"
#include "platform/process.h"

namespace orvane::console {

bool HasHideFlag(std::string_view commandLine) { return commandLine.find("-Hide") != std::string_view::npos; }

bool HasHideFlag(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += ' ';
        line += argv[i];
    }
    return HasHideFlag(line);
}

std::string ConsoleLogPath(const std::string& programFolder) { return programFolder + "/log/LOG_UI.txt"; }

std::unique_ptr<FixedFileLog> OpenConsoleLog(const std::string& programFolder) {
    auto log = std::make_unique<FixedFileLog>(ConsoleLogPath(programFolder));
    log->SetLevel(0);
    return log;
}

bool ExecutableFolder(std::string& folder) {
    std::string path;
    int err = 0;
    // 260 characters, as the documented buffer.
    if (platform::GetModulePath(path, 260, err) != platform::ModulePathResult::Ok) return false;
    folder = platform::FolderOf(path);
    return !folder.empty();
}

StartCheck PrepareConsole(const std::string& programFolder, ConsoleStart& out) {
    if (programFolder.empty()) return StartCheck::NoFolder;
    out.programFolder = programFolder;
    out.configPath = programFolder + "/config.ini";
    struct stat st {};
    if (::stat(out.configPath.c_str(), &st) != 0) {
        LogError("[ERR] Config file is no exist!");
        return StartCheck::NoConfig;
    }
    out.languageId = ReadConsoleLanguageId(out.configPath);
    if (!out.texts.Load(LanguageFilePath(programFolder), out.languageId)) {
        LogError("[ERR] Read config file of language failed!");
        return StartCheck::NoLanguageText;
    }
    return StartCheck::Ok;
}

}  // namespace orvane::console
