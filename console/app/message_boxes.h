#pragma once
// The console's message boxes: no owner, modal to the whole application, buttons in the
// interface language. Every box of the window and its dialogs goes through here.
#include <QString>
#include <cstdint>
#include <string>

#include "console/core/console_core.h"

namespace orvane::console {

// The language of message boxes; the Options dialog may change it during the run.
void SetMessageLanguage(std::uint32_t languageId);
std::uint32_t MessageLanguage();

void ShowConsoleMessage(const QString& text);
// True for yes.
bool AskConsoleYesNo(const QString& caption, const QString& text);

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// The core's messages as message boxes.
class QtMessages final : public MessageSink {
public:
    void ShowMessage(const std::string& text) override { ShowConsoleMessage(Q(text)); }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        return AskConsoleYesNo(Q(caption), Q(text));
    }
};

}  // namespace orvane::console
