#include "console/app/main_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QButtonGroup>
#include <QRegularExpressionValidator>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/log.h"
#include "console/app/artwork.h"
#include "console/app/dialog_parts.h"
#include "console/app/entry_dialogs.h"
#include "console/app/message_boxes.h"
#include "console/app/filters_dialog.h"
#include "console/app/users_dialog.h"

namespace orvane::console {
namespace {

constexpr int kServerNodeData = 1;
constexpr int kDeviceNodeData = 2;

std::size_t Index(Field f) { return static_cast<std::size_t>(f); }

struct FieldControl {
    Field field;
    const char* labelId;
    const char* editId;
    TextId caption;
    TextId tip;
};
// In the order they stand in the window.
constexpr FieldControl kFieldControls[] = {
    {Field::Port, "1034", "1028", TextId::Agent_Port, TextId::Agent_PortTip},
    {Field::ClientKey, "1027", "1029", TextId::Agent_PcShareKey, TextId::Agent_ClientKeyTip},
    {Field::ClientKeyConfirm, "1033", "1030", TextId::Agent_ConfirmKey, TextId::Agent_ClientKeyTip},
    {Field::AntiReplayTime, "1035", "1036", TextId::Agent_AntiTime, TextId::Agent_AntiTimeTip},
    {Field::QueryTime, "1039", "1032", TextId::Agent_QueryTime, TextId::Agent_QueryTimeTip},
    {Field::FirewallKey, "1038", "1037", TextId::Agent_FirewallKey, TextId::Agent_FirewallKeyTip},
};

QRadioButton* NamedRadio(QWidget* parent, const char* id) {
    auto* r = new QRadioButton(parent);
    r->setObjectName(QString::fromLatin1(id));
    return r;
}

}  // namespace

COrvaneAgentDlg::COrvaneAgentDlg(ConsoleCore& core, OptionState& options, bool startHidden, bool trayHost)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      core_(core),
      texts_(core.Texts()),
      options_(options),
      startHidden_(startHidden),
      trayHost_(trayHost) {
    setObjectName("COrvaneAgentDlg");
    setWindowTitle(QStringLiteral("Orvane Agent"));
    setWindowIcon(AppIcon());
    BuildControls();
}

COrvaneAgentDlg::~COrvaneAgentDlg() {
    // A request still with the manager uses the core: it ends first.
    if (request_) request_->wait();
}

void COrvaneAgentDlg::BuildControls() {
    // Left column: the monitor settings.
    monitorGroup_ = NamedGroup(this, "1018", {});
    modeGroup_ = NamedGroup(monitorGroup_, "1024", {});
    modeReport_ = NamedRadio(modeGroup_, "1002");
    modeQuery_ = NamedRadio(modeGroup_, "1003");
    auto* modeRadios = new QButtonGroup(this);
    modeRadios->addButton(modeReport_);
    modeRadios->addButton(modeQuery_);
    connect(modeReport_, &QRadioButton::clicked, this, &COrvaneAgentDlg::ApplyModeLayout);
    connect(modeQuery_, &QRadioButton::clicked, this, &COrvaneAgentDlg::ApplyModeLayout);

    modeFieldsGroup_ = NamedGroup(modeGroup_, "1026", {});
    auto* fieldGrid = new QGridLayout(modeFieldsGroup_);
    firewallKeyGroup_ = NamedGroup(monitorGroup_, "1040", {});
    const auto digitsOnly = QRegularExpression(QStringLiteral("[0-9]*"));
    int row = 0;
    for (const FieldControl& fc : kFieldControls) {
        QWidget* owner = fc.field == Field::FirewallKey ? static_cast<QWidget*>(firewallKeyGroup_) : modeFieldsGroup_;
        QLineEdit* edit = NamedEdit(owner, fc.editId);
        if (FieldLimit(fc.field) == 0) {
            edit->setValidator(new QRegularExpressionValidator(digitsOnly, edit));
        } else {
            edit->setEchoMode(QLineEdit::Password);
            edit->setMaxLength(static_cast<int>(FieldLimit(fc.field)));
            edit->installEventFilter(this);
        }
        edits_[Index(fc.field)] = edit;
        labels_[Index(fc.field)] = NamedLabel(owner, fc.labelId, {}, edit);
        if (fc.field != Field::FirewallKey) {
            fieldGrid->addWidget(labels_[Index(fc.field)], row, 0);
            fieldGrid->addWidget(edit, row, 1);
            ++row;
        }
    }
    fieldGrid->setColumnStretch(1, 1);
    auto* modeLayout = new QVBoxLayout(modeGroup_);
    auto* modeRow = new QHBoxLayout;
    modeRow->addWidget(modeReport_);
    modeRow->addWidget(modeQuery_);
    modeRow->addStretch(1);
    modeLayout->addLayout(modeRow);
    modeLayout->addWidget(modeFieldsGroup_);

    encryptGeneral_ = NamedRadio(firewallKeyGroup_, "1061");
    encryptEnhanced_ = NamedRadio(firewallKeyGroup_, "1062");
    auto* encryptRadios = new QButtonGroup(this);
    encryptRadios->addButton(encryptGeneral_);
    encryptRadios->addButton(encryptEnhanced_);
    auto* keyLayout = new QGridLayout(firewallKeyGroup_);
    auto* encryptRow = new QHBoxLayout;
    encryptRow->addWidget(encryptGeneral_);
    encryptRow->addWidget(encryptEnhanced_);
    encryptRow->addStretch(1);
    keyLayout->addLayout(encryptRow, 0, 0, 1, 2);
    keyLayout->addWidget(labels_[Index(Field::FirewallKey)], 1, 0);
    keyLayout->addWidget(edits_[Index(Field::FirewallKey)], 1, 1);
    keyLayout->setColumnStretch(1, 1);

    encodeGroup_ = NamedGroup(monitorGroup_, "1041", {});
    encodeGbk_ = NamedRadio(encodeGroup_, "1008");
    encodeUtf8_ = NamedRadio(encodeGroup_, "1009");
    encodeGbk_->setText(QStringLiteral("GBK"));
    encodeUtf8_->setText(QStringLiteral("UTF-8"));
    auto* encodeRadios = new QButtonGroup(this);
    encodeRadios->addButton(encodeGbk_);
    encodeRadios->addButton(encodeUtf8_);
    auto* encodeRow = new QHBoxLayout(encodeGroup_);
    encodeRow->addWidget(encodeGbk_);
    encodeRow->addWidget(encodeUtf8_);
    encodeRow->addStretch(1);

    serviceGroup_ = NamedGroup(monitorGroup_, "1020", {});
    showLog_ = NamedButton(serviceGroup_, "1012", {});
    startService_ = NamedButton(serviceGroup_, "1014", {});
    stopService_ = NamedButton(serviceGroup_, "1013", {});
    stopService_->setEnabled(false);
    users_ = NamedButton(serviceGroup_, "UsersButton", {});
    serviceLine_ = NamedHint(serviceGroup_, "ServiceLine", {});
    serviceLine_->setWordWrap(true);
    serviceLine_->hide();
    auto* serviceColumn = new QVBoxLayout(serviceGroup_);
    auto* serviceRow = new QHBoxLayout;
    serviceRow->addWidget(showLog_);
    serviceRow->addWidget(startService_);
    serviceRow->addWidget(stopService_);
    serviceRow->addWidget(users_);
    serviceColumn->addLayout(serviceRow);
    serviceColumn->addWidget(serviceLine_);
    connect(showLog_, &QPushButton::clicked, this, &COrvaneAgentDlg::ShowLogFolder);
    connect(startService_, &QPushButton::clicked, this, &COrvaneAgentDlg::StartServiceButton);
    connect(stopService_, &QPushButton::clicked, this, &COrvaneAgentDlg::StopServiceButton);
    connect(users_, &QPushButton::clicked, this, &COrvaneAgentDlg::OpenUsers);

    auto* left = new QVBoxLayout(monitorGroup_);
    left->addWidget(modeGroup_);
    left->addWidget(firewallKeyGroup_);
    left->addWidget(encodeGroup_);
    left->addStretch(1);
    left->addWidget(serviceGroup_);
    rightsLine_ = NamedHint(monitorGroup_, "RightsLine", {});
    rightsLine_->setWordWrap(true);
    rightsLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rightsLine_->hide();
    left->addWidget(rightsLine_);

    // Right column: the tree and the entry buttons.
    deviceInfoGroup_ = NamedGroup(this, "1022", {});
    tree_ = new QTreeWidget(deviceInfoGroup_);
    tree_->setObjectName("1001");
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setRootIsDecorated(true);
    tree_->setMinimumWidth(tree_->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255")) * 2);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { TreeDoubleClicked(item); });
    serverButtons_ = NamedGroup(deviceInfoGroup_, "1021", {});
    deviceButtons_ = NamedGroup(deviceInfoGroup_, "1023", {});
    const char* serverIds[3] = {"4", "3", "5"};
    const char* deviceIds[3] = {"6", "7", "8"};
    auto* serverRow = new QHBoxLayout(serverButtons_);
    auto* deviceRow = new QHBoxLayout(deviceButtons_);
    for (std::size_t i = 0; i < 3; ++i) {
        serverButtonList_[i] = NamedButton(serverButtons_, serverIds[i], {});
        deviceButtonList_[i] = NamedButton(deviceButtons_, deviceIds[i], {});
        serverRow->addWidget(serverButtonList_[i]);
        deviceRow->addWidget(deviceButtonList_[i]);
    }
    connect(serverButtonList_[0], &QPushButton::clicked, this, &COrvaneAgentDlg::AddServer);
    connect(serverButtonList_[1], &QPushButton::clicked, this, &COrvaneAgentDlg::DeleteServer);
    connect(serverButtonList_[2], &QPushButton::clicked, this, [this] { EditServer(true); });
    connect(deviceButtonList_[0], &QPushButton::clicked, this, &COrvaneAgentDlg::AddDevice);
    connect(deviceButtonList_[1], &QPushButton::clicked, this, &COrvaneAgentDlg::DeleteDevice);
    connect(deviceButtonList_[2], &QPushButton::clicked, this, [this] { EditDevice(true); });
    filters_ = NamedButton(deviceInfoGroup_, "FiltersButton", {});
    connect(filters_, &QPushButton::clicked, this, &COrvaneAgentDlg::OpenFilters);
    auto* right = new QVBoxLayout(deviceInfoGroup_);
    right->addWidget(tree_, 1);
    right->addWidget(serverButtons_);
    right->addWidget(deviceButtons_);
    right->addWidget(filters_);

    auto* columns = new QHBoxLayout(this);
    columns->addWidget(monitorGroup_, 1);
    columns->addWidget(deviceInfoGroup_, 1);

    // Keyboard order: the settings top to bottom, then the tree and its buttons.
    QWidget* order[] = {modeReport_, modeQuery_,
                        edits_[Index(Field::Port)], edits_[Index(Field::ClientKey)],
                        edits_[Index(Field::ClientKeyConfirm)], edits_[Index(Field::AntiReplayTime)],
                        edits_[Index(Field::QueryTime)], encryptGeneral_, encryptEnhanced_,
                        edits_[Index(Field::FirewallKey)], encodeGbk_, encodeUtf8_, showLog_, startService_,
                        stopService_, users_, tree_, serverButtonList_[0], serverButtonList_[1], serverButtonList_[2],
                        deviceButtonList_[0], deviceButtonList_[1], deviceButtonList_[2], filters_};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

bool COrvaneAgentDlg::Initialise() {
    // The status query, config.ini, and the stop of a service that has no server or no device.
    if (!core_.Initialise()) return false;
    PutFields();
    ApplyModeLayout();
    BuildTree();
    AddTrayIcon();
    ApplyCaptions();
    AssignMnemonics(this);
    ApplyLock();
    core_.StartWatchdog();
    ShowIdleReason();
    // The watchdog refreshes the reason on its passes; the line follows it.
    auto* idleTimer = new QTimer(this);
    connect(idleTimer, &QTimer::timeout, this, &COrvaneAgentDlg::ShowIdleReason);
    idleTimer->start(1000);
    adjustSize();
    return true;
}

void COrvaneAgentDlg::ApplyCaptions() {
    auto T = [this](TextId id) { return Q(texts_.Text(id)); };
    monitorGroup_->setTitle(T(TextId::Agent_MonitorSetting));
    modeGroup_->setTitle(T(TextId::Agent_ModelSetting));
    modeReport_->setText(T(TextId::Agent_RecvPCInfo));
    modeQuery_->setText(T(TextId::Agent_QueryServerLog));
    modeFieldsGroup_->setTitle(T(ModeGroupCaption(core_.Config().mode)));
    for (const FieldControl& fc : kFieldControls) {
        labels_[Index(fc.field)]->setText(T(fc.caption));
        edits_[Index(fc.field)]->setToolTip(T(fc.tip));
    }
    firewallKeyGroup_->setTitle(T(TextId::Agent_GroupFirewallKey));
    encryptGeneral_->setText(T(TextId::Agent_GeneralEncrypt));
    encryptEnhanced_->setText(T(TextId::Agent_EnhanceEncrypt));
    encodeGroup_->setTitle(T(TextId::Agent_GroupEncodeType));
    serviceGroup_->setTitle(T(TextId::Agent_GruopServiceOperate));
    showLog_->setText(T(TextId::Agent_ShowLog));
    users_->setText(Q(LoadUsersTexts(LanguageFilePath(core_.ProgramFolder()), options_.languageId).button));
    filters_->setText(Q(LoadFiltersTexts(LanguageFilePath(core_.ProgramFolder()), options_.languageId).button));
    startService_->setText(T(TextId::Agent_StartService));
    stopService_->setText(T(TextId::Agent_StopService));
    deviceInfoGroup_->setTitle(T(TextId::Agent_GroupDeviceInfo));
    serverButtons_->setTitle(T(TextId::Agent_GruopServer));
    deviceButtons_->setTitle(T(TextId::Agent_GruopDevice));
    const TextId serverTexts[3] = {TextId::Agent_Add, TextId::Agent_Delete, TextId::Agent_Edit};
    const TextId deviceTexts[3] = {TextId::Agent_AddDevice, TextId::Agent_DeleteDevice, TextId::Agent_EditDevice};
    for (std::size_t i = 0; i < 3; ++i) {
        serverButtonList_[i]->setText(T(serverTexts[i]));
        deviceButtonList_[i]->setText(T(deviceTexts[i]));
    }
    root_->setText(0, T(RootNodeText(core_.ServiceState())));
    serverNode_->setText(0, T(TextId::Agent_DomainControler));
    deviceNode_->setText(0, T(TextId::Agent_Device));
}

void COrvaneAgentDlg::PutFields() {
    const ConsoleConfig& c = core_.Config();
    for (const FieldControl& fc : kFieldControls) edits_[Index(fc.field)]->setText(Q(core_.FieldText(fc.field)));
    (c.mode == 1 ? modeQuery_ : modeReport_)->setChecked(true);
    (c.encryptType == 1 ? encryptEnhanced_ : encryptGeneral_)->setChecked(true);
    (c.encodeType == 1 ? encodeUtf8_ : encodeGbk_)->setChecked(true);
}

void COrvaneAgentDlg::CollectFields() {
    ConsoleConfig& c = core_.Config();
    for (const FieldControl& fc : kFieldControls) {
        QLineEdit* edit = edits_[Index(fc.field)];
        if (FieldLimit(fc.field) == 0) {
            core_.FieldText(fc.field) = edit->text().toStdString();
        } else if (edit->hasFocus() && !edit->text().isEmpty()) {
            // A key still being typed counts as typed.
            core_.KeyEditLeft(fc.field, edit->text().toStdString());
        }
    }
    c.mode = modeQuery_->isChecked() ? 1 : 0;
    c.encryptType = encryptEnhanced_->isChecked() ? 1 : 0;
    c.encodeType = encodeUtf8_->isChecked() ? 1 : 0;
}

void COrvaneAgentDlg::ApplyModeLayout() {
    CollectFields();
    const std::uint32_t mode = core_.Config().mode;
    modeFieldsGroup_->setTitle(Q(texts_.Text(ModeGroupCaption(mode))));
    for (const FieldControl& fc : kFieldControls) {
        const bool shown = FieldShownInMode(fc.field, mode);
        labels_[Index(fc.field)]->setVisible(shown);
        edits_[Index(fc.field)]->setVisible(shown);
    }
    for (Field f : {Field::Port, Field::ClientKey, Field::ClientKeyConfirm, Field::FirewallKey})
        if (!edits_[Index(f)]->hasFocus()) edits_[Index(f)]->setText(Q(core_.FieldText(f)));
}

void COrvaneAgentDlg::ApplyRights(const ConsoleRights& rights, const std::string& problem) {
    rights_ = rights;
    rightsLine_->setText(Q(problem));
    rightsLine_->setVisible(!problem.empty());
    ApplyLock();
    // A wrapped line's height depends on its width, which the layout learns only later: reserve
    // it for the column's width, so the fields above are not squeezed.
    if (!problem.empty())
        rightsLine_->setMinimumHeight(rightsLine_->heightForWidth(monitorGroup_->sizeHint().width() - 24));
    adjustSize();
}

void COrvaneAgentDlg::ApplyLock() {
    ControlEnabling e = EnablingFor(core_.ServiceState());
    // Nothing is written or requested while a request is in flight or without the rights.
    const bool idle = request_ == nullptr;
    e.settings = e.settings && idle && rights_.configWritable;
    e.startService = e.startService && idle && rights_.configWritable && rights_.serviceControl;
    e.stopService = e.stopService && idle && rights_.serviceControl;
    for (QWidget* w : {static_cast<QWidget*>(modeReport_), static_cast<QWidget*>(modeQuery_),
                       static_cast<QWidget*>(encodeGbk_), static_cast<QWidget*>(encodeUtf8_),
                       static_cast<QWidget*>(encryptGeneral_), static_cast<QWidget*>(encryptEnhanced_)})
        w->setEnabled(e.settings);
    for (QLineEdit* edit : edits_) edit->setEnabled(e.settings);
    for (QPushButton* b : serverButtonList_) b->setEnabled(e.settings);
    for (QPushButton* b : deviceButtonList_) b->setEnabled(e.settings);
    filters_->setEnabled(e.settings);
    startService_->setEnabled(e.startService);
    stopService_->setEnabled(e.stopService);
    if (root_) root_->setText(0, Q(texts_.Text(RootNodeText(core_.ServiceState()))));
}

void COrvaneAgentDlg::BuildTree() {
    tree_->clear();
    root_ = new QTreeWidgetItem(tree_, QStringList{QStringLiteral("Orvane Service")});
    root_->setData(0, Qt::UserRole, 0);
    serverNode_ = new QTreeWidgetItem(root_, QStringList{Q(texts_.Text(TextId::Agent_DomainControler))});
    serverNode_->setData(0, Qt::UserRole, kServerNodeData);
    deviceNode_ = new QTreeWidgetItem(root_, QStringList{Q(texts_.Text(TextId::Agent_Device))});
    deviceNode_->setData(0, Qt::UserRole, kDeviceNodeData);
    const ConsoleConfig& c = core_.Config();
    for (unsigned i = 0; i < kMaxServers; ++i) {
        if (!c.serverPresent[i]) continue;
        auto* item = new QTreeWidgetItem(serverNode_, QStringList{Q(c.servers[i].ip)});
        item->setData(0, Qt::UserRole, i);
    }
    for (unsigned i = 0; i < kMaxGateways; ++i) {
        if (!c.devicePresent[i]) continue;
        auto* item = new QTreeWidgetItem(deviceNode_, QStringList{Q(c.devices[i].ip)});
        item->setData(0, Qt::UserRole, i);
    }
    serverNode_->setExpanded(true);
    deviceNode_->setExpanded(true);
    root_->setExpanded(true);
}

void COrvaneAgentDlg::AddTrayIcon() {
    if (!trayHost_ || tray_) return;
    tray_ = new QSystemTrayIcon(AppIcon(), this);
    tray_->setObjectName("128");
    tray_->setToolTip(QStringLiteral("Orvane"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // StatusNotifierItem trays deliver a click as Trigger, never as DoubleClick.
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
            ShowFromTray();
        } else if (reason == QSystemTrayIcon::Context) {
            QMenu* menu = BuildTrayMenu(nullptr);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(QCursor::pos());
        }
    });
    tray_->show();
}

QMenu* COrvaneAgentDlg::BuildTrayMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName("TrayMenu");
    for (const TrayMenuItem& item : TrayMenuItems(core_.ServiceState())) {
        if (item.command == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(Q(texts_.Text(*item.text)));
        action->setObjectName(QString::number(item.command));
        bool enabled = item.enabled;
        if (item.command == kCmdStartService) enabled = enabled && startService_->isEnabled();
        if (item.command == kCmdStopService) enabled = enabled && stopService_->isEnabled();
        action->setEnabled(enabled);
        const unsigned command = item.command;
        // Queued, so the menu is gone before a dialog or message box opens.
        connect(action, &QAction::triggered, this,
                [this, command] { QTimer::singleShot(0, this, [this, command] { RunCommand(command); }); });
    }
    return menu;
}

void COrvaneAgentDlg::RunCommand(unsigned command) {
    switch (command) {
        case kCmdShowWindow:
            ShowFromTray();
            break;
        case kCmdStartService:
            if (request_) break;
            CollectFields();
            if (core_.SaveBeforeStart(false)) RequestService(true);
            break;
        case kCmdStopService:
        case kCmdExternalStop:
            RequestService(false);
            break;
        case kCmdExternalStart:
            RequestService(true);
            break;
        case kCmdOptions:
            OpenOptions();
            break;
        case kCmdAbout:
            OpenAbout();
            break;
        case kCmdExit:
            ExitConsole();
            break;
        default:
            break;
    }
}

void COrvaneAgentDlg::ShowFromTray() {
    startHidden_ = false;
    showNormal();
    raise();
    activateWindow();
}

void COrvaneAgentDlg::closeEvent(QCloseEvent* event) {
    if (exiting_) {
        event->accept();
        return;
    }
    // Closing only hides the window; Exit in the tray menu ends the console.
    event->ignore();
    if (trayHost_)
        hide();
    else
        showMinimized();
}

void COrvaneAgentDlg::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && trayHost_)
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            hide();
        });
}

void COrvaneAgentDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Started with -Hide, the console stays in the notification area until shown from there.
    if (startHidden_ && trayHost_) QTimer::singleShot(0, this, &QWidget::hide);
}

void COrvaneAgentDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F1:
            event->accept();  // none of them closes the window or opens help
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

void COrvaneAgentDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The tray's commands, also where there is no tray.
    QMenu* menu = BuildTrayMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

bool COrvaneAgentDlg::eventFilter(QObject* watched, QEvent* event) {
    for (Field f : {Field::ClientKey, Field::ClientKeyConfirm, Field::FirewallKey}) {
        QLineEdit* edit = edits_[Index(f)];
        if (watched != edit) continue;
        if (event->type() == QEvent::FocusIn) {
            // A new key is typed instead of editing the mask.
            core_.KeyEditFocused(f);
            edit->clear();
        } else if (event->type() == QEvent::FocusOut) {
            core_.KeyEditLeft(f, edit->text().toStdString());
            edit->setText(Q(core_.FieldText(f)));
        }
    }
    return QWidget::eventFilter(watched, event);
}

unsigned COrvaneAgentDlg::SelectedSlot(int kind) const {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item || !item->parent() || item->parent()->data(0, Qt::UserRole).toInt() != kind ||
        item->parent()->parent() != root_)
        return ConsoleCore::kNoSlot;
    return item->data(0, Qt::UserRole).toUInt();
}

QTreeWidgetItem* COrvaneAgentDlg::SlotItem(QTreeWidgetItem* node, unsigned slot) const {
    for (int i = 0; i < node->childCount(); ++i)
        if (node->child(i)->data(0, Qt::UserRole).toUInt() == slot) return node->child(i);
    return nullptr;
}

namespace {

// Add: the dialog opens empty; the entry is written, then shown under its node.
template <typename Dialog, typename Add>
void AddEntry(QWidget* parent, const LanguageTable& texts, bool begun, Add add, QTreeWidgetItem* node) {
    if (!begun) return;
    Dialog dlg(texts, nullptr, parent);
    if (dlg.exec() != QDialog::Accepted) return;
    unsigned slot = 0;
    if (add(dlg.Result(), slot) != AddResult::Added) return;
    auto* item = new QTreeWidgetItem(node, QStringList{Q(dlg.Result().ip)});
    item->setData(0, Qt::UserRole, slot);
    node->setExpanded(true);
}

// Edit: the dialog opens with the entry; the window shows the new address even when config.ini
// could not take it (the core logs that).
template <typename Dialog, typename Entry, typename Edit>
void EditEntry(QWidget* parent, const LanguageTable& texts, const Entry& entry, Edit edit, QTreeWidgetItem* item) {
    Dialog dlg(texts, &entry, parent);
    if (dlg.exec() != QDialog::Accepted) return;
    edit(dlg.Result());
    if (item) item->setText(0, Q(dlg.Result().ip));
}

}  // namespace

void COrvaneAgentDlg::AddServer() {
    AddEntry<CADServerDlg>(
        this, texts_, core_.BeginAddServer(),
        [this](const ServerEntry& e, unsigned& slot) { return core_.AddServer(e, slot); }, serverNode_);
}

void COrvaneAgentDlg::AddDevice() {
    AddEntry<CFireWallDlg>(
        this, texts_, core_.BeginAddDevice(),
        [this](const DeviceEntry& e, unsigned& slot) { return core_.AddDevice(e, slot); }, deviceNode_);
}

void COrvaneAgentDlg::DeleteServer() {
    const unsigned slot = SelectedSlot(kServerNodeData);
    if (core_.DeleteServer(slot) == EntryCommand::Done) delete SlotItem(serverNode_, slot);
}

void COrvaneAgentDlg::DeleteDevice() {
    const unsigned slot = SelectedSlot(kDeviceNodeData);
    if (core_.DeleteDevice(slot) == EntryCommand::Done) delete SlotItem(deviceNode_, slot);
}

void COrvaneAgentDlg::EditServer(bool fromButton) {
    const unsigned slot = SelectedSlot(kServerNodeData);
    if (!core_.ServerPresent(slot)) {
        if (fromButton) core_.EditServer(ConsoleCore::kNoSlot, {});  // shows Agent_NoAdServerItem
        return;
    }
    EditEntry<CADServerDlg>(
        this, texts_, core_.Config().servers[slot], [this, slot](const ServerEntry& e) { core_.EditServer(slot, e); },
        SlotItem(serverNode_, slot));
}

void COrvaneAgentDlg::EditDevice(bool fromButton) {
    const unsigned slot = SelectedSlot(kDeviceNodeData);
    if (!core_.DevicePresent(slot)) {
        if (fromButton) core_.EditDevice(ConsoleCore::kNoSlot, {});  // shows Agent_NoFirewallItem
        return;
    }
    EditEntry<CFireWallDlg>(
        this, texts_, core_.Config().devices[slot], [this, slot](const DeviceEntry& e) { core_.EditDevice(slot, e); },
        SlotItem(deviceNode_, slot));
}

void COrvaneAgentDlg::TreeDoubleClicked(QTreeWidgetItem* item) {
    if (core_.ServiceState() == kServiceRunning || !item || !item->parent()) return;
    // The edit writes config.ini: not without the right to, nor while a request is in flight.
    if (!rights_.configWritable || request_) return;
    tree_->setCurrentItem(item);
    const int kind = item->parent()->data(0, Qt::UserRole).toInt();
    if (item->parent() == serverNode_ && kind == kServerNodeData)
        EditServer(false);
    else if (item->parent() == deviceNode_ && kind == kDeviceNodeData)
        EditDevice(false);
}

void COrvaneAgentDlg::RequestService(bool start) {
    if (request_) return;
    if ((start ? core_.StartChecks() : core_.StopChecks()).has_value()) {
        ApplyLock();
        return;
    }
    // systemd may keep a start pending for up to 90 s; the window does not wait with it.
    requestIsStart_ = start;
    request_ = QThread::create([this, start] { requestOutcome_ = start ? core_.RequestStart() : core_.RequestStop(); });
    connect(request_, &QThread::finished, this, &COrvaneAgentDlg::FinishServiceRequest);
    serviceLine_->setText(start ? QStringLiteral("Starting the service %1\u2026").arg(kServiceName)
                                : QStringLiteral("Stopping the service %1\u2026").arg(kServiceName));
    serviceLine_->show();
    ApplyLock();
    request_->start();
}

void COrvaneAgentDlg::FinishServiceRequest() {
    request_->deleteLater();
    request_ = nullptr;
    ApplyLock();
    serviceLine_->setText(Q(texts_.Text(RootNodeText(core_.ServiceState()))));
    lineShowsIdle_ = false;
    const std::string failure = core_.ReportServiceFailure(requestOutcome_, requestIsStart_);
    if (!failure.empty()) {
        serviceLine_->setText(Q(failure).section(QLatin1Char('\n'), 0, 0));
    } else {
        ShowIdleReason();
    }
    emit ServiceRequestFinished();
    if (exitPending_) ExitConsole();
}

void COrvaneAgentDlg::ShowIdleReason() {
    if (request_) return;  // a request's own line stands until it ends
    const std::string idle = core_.ServiceIdleReason();
    if (!idle.empty()) {
        serviceLine_->setText(QStringLiteral("%1: %2").arg(QString::fromLatin1(kServiceName), Q(idle)));
        serviceLine_->show();
        lineShowsIdle_ = true;
    } else if (lineShowsIdle_) {
        serviceLine_->hide();
        lineShowsIdle_ = false;
    }
}

void COrvaneAgentDlg::StartServiceButton() {
    if (request_) return;
    CollectFields();
    if (core_.SaveBeforeStart(true)) RequestService(true);
}

void COrvaneAgentDlg::StopServiceButton() { RequestService(false); }

void COrvaneAgentDlg::ShowLogFolder() {
    const QString folder = Q(core_.ProgramFolder() + "/log");
    // The desktop's file manager, as the shell's "open" of the folder.
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {folder}))
        LogError("[ERR]Open the log folder %s failed!", folder.toStdString().c_str());
}

void COrvaneAgentDlg::OpenOptions() {
    if (optionsOpen_) return;
    optionsOpen_ = true;
    COptionDlg dlg(options_, this);
    dlg.setWindowIcon(windowIcon());
    dlg.exec();
    optionsOpen_ = false;
}

void COrvaneAgentDlg::OpenAbout() {
    if (aboutOpen_) return;
    aboutOpen_ = true;
    CAboutDlg dlg(texts_, this);
    dlg.exec();
    aboutOpen_ = false;
}

void COrvaneAgentDlg::OpenUsers() {
    if (usersOpen_) return;
    usersOpen_ = true;
    COnlineUsersDlg dlg(core_.ProgramFolder(), options_.languageId, this);
    dlg.setWindowIcon(windowIcon());
    dlg.exec();
    usersOpen_ = false;
}

void COrvaneAgentDlg::OpenFilters() {
    if (filtersOpen_) return;
    filtersOpen_ = true;
    std::vector<std::string> agentAccounts;
    const ConsoleConfig& c = core_.Config();
    for (unsigned i = 0; i < kMaxServers; ++i)
        if (c.serverPresent[i]) agentAccounts.push_back(c.servers[i].userName);
    CFiltersDlg dlg(core_.ProgramFolder(), c.configPath, options_.languageId, std::move(agentAccounts), this);
    dlg.setWindowIcon(windowIcon());
    dlg.exec();
    filtersOpen_ = false;
}

void COrvaneAgentDlg::ExitConsole() {
    if (request_) {
        // The request in flight ends first; Exit then runs as asked.
        exitPending_ = true;
        return;
    }
    exitPending_ = false;
    if (tray_) tray_->hide();
    // Leaving the console stops the service: the watchdog ends first, so it cannot restart it.
    core_.ReportServiceFailure(core_.Exit(), false);
    exiting_ = true;
    close();
    emit Exited();
}

}  // namespace orvane::console
