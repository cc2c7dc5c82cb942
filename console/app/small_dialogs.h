#pragma once
// About (CAboutDlg) and Options (COptionDlg).
#include <QDialog>
#include <cstdint>
#include <string>

#include "console/core/language.h"

class QCheckBox;
class QComboBox;

namespace orvane::console {

class CAboutDlg final : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(const LanguageTable& texts, QWidget* parent = nullptr);
};

// What the Options dialog reads and changes for the rest of the run.
struct OptionState {
    std::string programFolder;
    std::string autostartFolder;
    std::uint32_t languageId = kEnglish;  // the interface language; Apply may change it
    int autoStartFlag = 0;
};

class COptionDlg final : public QDialog {
    Q_OBJECT
public:
    COptionDlg(OptionState& state, QWidget* parent = nullptr);
    // The language choice and the auto-start entry; the dialog stays open.
    void Apply();

private:
    OptionState& state_;
    QCheckBox* autoRun_ = nullptr;
    QComboBox* language_ = nullptr;
};

}  // namespace orvane::console
