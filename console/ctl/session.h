#pragma once
// What every orvanectl command that works on config.ini shares: the opened program folder, its
// texts, the service control and the console core, and the option parsing of the entry commands.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/core/console_core.h"
#include "console/core/console_start.h"

namespace orvane::ctl {

extern const char* const kExitStatusHelp;
extern const char* const kFolderHelp;

struct Session {
    console::ConsoleStart start;
    std::unique_ptr<console::ServiceControl> service;
    std::unique_ptr<console::MessageSink> messages;
    std::unique_ptr<console::ConsoleCore> core;
};

// Whether a command shows texts of language.ini (the checks' messages) or can do without them.
enum class Texts { Needed, Optional };

// Opens the folder and loads config.ini; an exit status on failure. A command that can do without
// the texts runs in English when the stored language does not load, so that a broken language
// section never locks orvanectl out; `language`, when given, replaces the stored one.
std::optional<int> OpenSession(Session& s, bool assumeYes = false, Texts texts = Texts::Needed,
                               std::optional<std::uint32_t> language = std::nullopt);
// Settings change only while the service is stopped, as in the window.
std::optional<int> CheckUnlocked(Session& s);

// "orvanectl COMMAND: TEXT (see ...)" on stderr; the usage exit status.
int Usage(const char* command, const char* text);
bool IsHelp(std::string_view a);

// Options "--name value" / "--name=value"; --yes / -y sets `yes`.
struct Options {
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> positional;
    bool yes = false;
    const std::string* Get(std::string_view name) const {
        for (const auto& [k, v] : values)
            if (k == name) return &v;
        return nullptr;
    }
};
bool ParseOptions(int argc, char** argv, int first, std::initializer_list<const char*> known, Options& out,
                  std::string& error);

}  // namespace orvane::ctl
