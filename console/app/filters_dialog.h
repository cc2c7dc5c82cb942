#pragma once
// The Filters dialog: which logons become identities. Three lists (ignored accounts, address
// rules, member groups, the last for every gateway or for one), each value checked as it is
// added with the worker's own checks, written as orvanectl filter writes them.
#include <QDialog>
#include <array>
#include <string>
#include <vector>

#include "common/identity_lists.h"
#include "console/core/language.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace orvane::console {

class CFiltersDlg final : public QDialog {
    Q_OBJECT
public:
    // `agentAccounts`: every AdServer UserName, shown as always ignored.
    CFiltersDlg(const std::string& programFolder, const std::string& configPath, std::uint32_t languageId,
                std::vector<std::string> agentAccounts, QWidget* parent = nullptr);
    // The lists as the dialog holds them.
    const IdentitySettings& Lists() const { return lists_; }
    void accept() override;

private:
    struct Panel {
        IdentityList list = IdentityList::Accounts;
        QListWidget* view = nullptr;
        QLineEdit* edit = nullptr;
        QPushButton *add = nullptr, *remove = nullptr, *up = nullptr, *down = nullptr;
    };
    QWidget* BuildPanel(Panel& panel, const char* name, const std::string& title, const std::string& hint);
    IdentityListPlace PlaceOf(const Panel& panel) const;
    void Fill(Panel& panel, int select = -1);
    void Add(Panel& panel);
    void Remove(Panel& panel);
    void Move(Panel& panel, int by);
    void ShowConsequence();
    std::string Consequence() const;

    std::string configPath_;
    FiltersTexts texts_;
    IdentitySettings lists_;
    std::array<Panel, 3> panels_{};
    QComboBox* groupsOf_ = nullptr;
    QLabel* consequence_ = nullptr;
};

}  // namespace orvane::console
