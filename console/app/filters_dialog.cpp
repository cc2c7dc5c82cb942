#include "console/app/filters_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/text.h"
#include "console/app/dialog_parts.h"
#include "console/app/message_boxes.h"

namespace orvane::console {
namespace {

QPushButton* PanelButton(QWidget* parent, const std::string& name, const char* what, const std::string& text) {
    QPushButton* b = NamedButton(parent, (name + what).c_str(), text);
    // Enter in an edit adds its value; it must not save the dialog as well.
    b->setAutoDefault(false);
    return b;
}

}  // namespace

CFiltersDlg::CFiltersDlg(const std::string& programFolder, const std::string& configPath, std::uint32_t languageId,
                         std::vector<std::string> agentAccounts, QWidget* parent)
    : QDialog(parent), configPath_(configPath), texts_(LoadFiltersTexts(LanguageFilePath(programFolder), languageId)) {
    setObjectName("CFiltersDlg");
    setWindowTitle(Q(texts_.caption));
    ReadIdentitySettings(configPath_, lists_);
    // An entry whose key is missing decides nothing; the save renumbers without it.
    auto dropEmpty = [](std::vector<std::string>& v) { std::erase(v, std::string()); };
    dropEmpty(lists_.accounts);
    dropEmpty(lists_.addressRules);
    dropEmpty(lists_.memberGroups);
    for (auto& g : lists_.gatewayGroups) dropEmpty(g);

    panels_[0].list = IdentityList::Accounts;
    panels_[1].list = IdentityList::Addresses;
    panels_[2].list = IdentityList::Groups;
    QWidget* accounts = BuildPanel(panels_[0], "FiltersAccount", texts_.accounts, texts_.accountsHint);
    QWidget* addresses = BuildPanel(panels_[1], "FiltersAddress", texts_.addresses, texts_.addressesHint);
    QWidget* groups = BuildPanel(panels_[2], "FiltersGroup", texts_.groups, texts_.groupsHint);

    std::string own;
    for (const std::string& a : agentAccounts) {
        if (a.empty()) continue;
        if (!own.empty()) own += ", ";
        own += a;
    }
    if (!own.empty()) {
        QLabel* agent = NamedHint(accounts, "FiltersAgentAccounts", FormatWithArgument(texts_.agentAccounts, own));
        agent->setWordWrap(true);
        static_cast<QVBoxLayout*>(accounts->layout())->addWidget(agent);
    }
    consequence_ = NamedLabel(addresses, "FiltersConsequence", {}, nullptr);
    consequence_->setWordWrap(true);
    static_cast<QVBoxLayout*>(addresses->layout())->addWidget(consequence_);

    // The member groups of every gateway, or of one: [MemberGroups], or [FirewallN] GroupNum.
    groupsOf_ = new QComboBox(groups);
    groupsOf_->setObjectName("FiltersGroupsOf");
    groupsOf_->addItem(Q(texts_.allGateways), -1);
    for (unsigned i = 0; i < kMaxGateways; ++i)
        if (lists_.gatewayPresent[i])
            groupsOf_->addItem(Q(FormatWithArguments(texts_.gateway, {"Firewall" + std::to_string(i), lists_.gatewayAddress[i]})),
                               static_cast<int>(i));
    auto* groupsOfRow = new QHBoxLayout;
    groupsOfRow->addWidget(NamedLabel(groups, "FiltersGroupsOfLabel", texts_.groupsOf, groupsOf_));
    groupsOfRow->addWidget(groupsOf_, 1);
    static_cast<QVBoxLayout*>(groups->layout())->insertLayout(0, groupsOfRow);
    connect(groupsOf_, &QComboBox::currentIndexChanged, this, [this] { Fill(panels_[2]); });

    QPushButton* save = NamedButton(this, "FiltersSave", texts_.save);
    QPushButton* cancel = NamedButton(this, "FiltersCancel", texts_.cancel);
    save->setAutoDefault(false);
    cancel->setAutoDefault(false);
    connect(save, &QPushButton::clicked, this, &CFiltersDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(cancel);

    auto* columns = new QHBoxLayout;
    // Distinguished names are long: the groups get the most room.
    columns->addWidget(accounts, 2);
    columns->addWidget(addresses, 2);
    columns->addWidget(groups, 3);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(columns, 1);
    outer->addLayout(buttons);
    for (Panel& p : panels_) Fill(p);
    ShowConsequence();
    AssignMnemonics(this);
    resize(1180, 420);
}

QWidget* CFiltersDlg::BuildPanel(Panel& panel, const char* name, const std::string& title, const std::string& hint) {
    const std::string base(name);
    QGroupBox* box = NamedGroup(this, (base + "s").c_str(), Q(title));
    panel.view = new QListWidget(box);
    panel.view->setObjectName(Q(base + "List"));
    panel.edit = NamedEdit(box, (base + "Edit").c_str());
    panel.edit->setToolTip(Q(hint));
    panel.add = PanelButton(box, base, "Add", texts_.add);
    panel.remove = PanelButton(box, base, "Remove", texts_.remove);
    panel.up = PanelButton(box, base, "Up", texts_.up);
    panel.down = PanelButton(box, base, "Down", texts_.down);
    QLabel* hintLine = NamedHint(box, (base + "Hint").c_str(), hint);
    hintLine->setWordWrap(true);
    connect(panel.add, &QPushButton::clicked, this, [this, &panel] { Add(panel); });
    connect(panel.edit, &QLineEdit::returnPressed, this, [this, &panel] { Add(panel); });
    connect(panel.remove, &QPushButton::clicked, this, [this, &panel] { Remove(panel); });
    connect(panel.up, &QPushButton::clicked, this, [this, &panel] { Move(panel, -1); });
    connect(panel.down, &QPushButton::clicked, this, [this, &panel] { Move(panel, 1); });

    auto* editRow = new QHBoxLayout;
    editRow->addWidget(panel.edit, 1);
    editRow->addWidget(panel.add);
    auto* moveRow = new QHBoxLayout;
    moveRow->addWidget(panel.remove);
    moveRow->addWidget(panel.up);
    moveRow->addWidget(panel.down);
    moveRow->addStretch(1);
    auto* column = new QVBoxLayout(box);
    column->addWidget(panel.view, 1);
    column->addLayout(moveRow);
    column->addLayout(editRow);
    column->addWidget(hintLine);
    return box;
}

IdentityListPlace CFiltersDlg::PlaceOf(const Panel& panel) const {
    IdentityListPlace place{panel.list, -1};
    if (panel.list == IdentityList::Groups && groupsOf_) place.gateway = groupsOf_->currentData().toInt();
    return place;
}

void CFiltersDlg::Fill(Panel& panel, int select) {
    const std::vector<std::string>& entries = lists_.List(PlaceOf(panel));
    panel.view->clear();
    int number = 0;
    for (const std::string& e : entries)
        panel.view->addItem(QStringLiteral("%1  %2").arg(++number).arg(Q(e)));
    if (select >= 0 && select < panel.view->count()) panel.view->setCurrentRow(select);
}

void CFiltersDlg::Add(Panel& panel) {
    const std::string typed = panel.edit->text().toStdString();
    std::string why;
    if (!CheckListEntry(panel.list, typed, why)) {
        ShowConsoleMessage(Q(FormatWithArguments(texts_.refused, {TrimSpaces(typed), why})));
        panel.edit->setFocus();
        return;
    }
    const std::string value = StoredListEntry(panel.list, typed);
    std::vector<std::string>& entries = lists_.List(PlaceOf(panel));
    for (const std::string& e : entries) {
        if (EqualsNoCase(e, value)) {
            ShowConsoleMessage(Q(FormatWithArgument(texts_.duplicate, value)));
            panel.edit->setFocus();
            return;
        }
    }
    // After the selected entry, so a rule can go where it must without many moves.
    const int selected = panel.view->currentRow();
    const std::size_t at = selected >= 0 ? static_cast<std::size_t>(selected) + 1 : entries.size();
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at), value);
    panel.edit->clear();
    Fill(panel, static_cast<int>(at));
    if (panel.list == IdentityList::Addresses) ShowConsequence();
}

void CFiltersDlg::Remove(Panel& panel) {
    const int row = panel.view->currentRow();
    std::vector<std::string>& entries = lists_.List(PlaceOf(panel));
    if (row < 0 || static_cast<std::size_t>(row) >= entries.size()) return;
    entries.erase(entries.begin() + row);
    Fill(panel, std::min(row, static_cast<int>(entries.size()) - 1));
    if (panel.list == IdentityList::Addresses) ShowConsequence();
}

void CFiltersDlg::Move(Panel& panel, int by) {
    const int row = panel.view->currentRow();
    std::vector<std::string>& entries = lists_.List(PlaceOf(panel));
    const int to = row + by;
    if (row < 0 || to < 0 || static_cast<std::size_t>(to) >= entries.size()) return;
    std::swap(entries[static_cast<std::size_t>(row)], entries[static_cast<std::size_t>(to)]);
    Fill(panel, to);
}

std::string CFiltersDlg::Consequence() const {
    const AddressRules rules = BuildIdentityRules({}, lists_.addressRules, {}).addresses;
    if (rules.Empty()) return texts_.everyAddress;
    return rules.HasInclude() ? texts_.unmatchedRefused : texts_.unmatchedPass;
}

void CFiltersDlg::ShowConsequence() { consequence_->setText(Q(Consequence())); }

void CFiltersDlg::accept() {
    std::vector<std::pair<IdentityListPlace, std::vector<std::string>>> lists = {
        {{IdentityList::Accounts, -1}, lists_.accounts},
        {{IdentityList::Addresses, -1}, lists_.addressRules},
        {{IdentityList::Groups, -1}, lists_.memberGroups},
    };
    for (unsigned i = 0; i < kMaxGateways; ++i)
        if (lists_.gatewayPresent[i]) lists.push_back({{IdentityList::Groups, static_cast<int>(i)}, lists_.gatewayGroups[i]});
    std::string why;
    if (!WriteIdentityLists(configPath_, lists, why)) {
        ShowConsoleMessage(Q(FormatWithArgument(texts_.saveFailed, why)));
        return;
    }
    // The trap of every include list, said once more where the administrator confirms it.
    ShowConsoleMessage(Q(texts_.saved + "\n" + Consequence()));
    QDialog::accept();
}

}  // namespace orvane::console
