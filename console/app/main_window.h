#pragma once
// The main window (COrvaneAgentDlg): the monitor settings on the left, the tree of directory
// servers and devices on the right, and the tray icon with its menu. Every control carries its
// control id as its object name.
#include <QWidget>
#include <array>

#include "console/app/small_dialogs.h"
#include "console/core/console_core.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSystemTrayIcon;
class QTreeWidget;
class QThread;
class QTreeWidgetItem;

namespace orvane::console {

class COrvaneAgentDlg final : public QWidget {
    Q_OBJECT
public:
    // `trayHost`: whether a notification area exists. Without one the window never hides itself
    // (it minimises instead), and its right-click menu carries the tray's commands.
    COrvaneAgentDlg(ConsoleCore& core, OptionState& options, bool startHidden, bool trayHost);
    ~COrvaneAgentDlg() override;

    // Reads config.ini, fills the controls, adds the tray icon and starts the watchdog. False
    // when config.ini cannot be used (the error line is written; the console then ends).
    bool Initialise();
    // The tray menu's commands and the two window commands accepted from outside.
    void RunCommand(unsigned command);
    // The eight positions of the tray menu for the current service state (also the right-click
    // menu of the window).
    QMenu* BuildTrayMenu(QWidget* parent);
    bool StartHidden() const { return startHidden_; }
    // What this process may do: without the rights the controls that would write config.ini or
    // control the service are disabled, and `problem` (how to get them) shows in the window.
    void ApplyRights(const ConsoleRights& rights, const std::string& problem);
    // A start or stop request is with the service manager (it runs off this thread).
    bool ServiceRequestBusy() const { return request_ != nullptr; }

signals:
    // Exit has run: the service was stopped and the console is leaving.
    void Exited();
    // A start or stop request has ended and the window shows its outcome.
    void ServiceRequestFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ApplyCaptions();
    void PutFields();
    void CollectFields();
    void ApplyModeLayout();
    void ApplyLock();
    void BuildTree();
    void AddTrayIcon();
    void ShowFromTray();

    void AddServer();
    void DeleteServer();
    void EditServer(bool fromButton);
    void AddDevice();
    void DeleteDevice();
    void EditDevice(bool fromButton);
    void TreeDoubleClicked(QTreeWidgetItem* item);
    // The slot of the selected entry under the node with item data `kind` (1 servers, 2 devices).
    unsigned SelectedSlot(int kind) const;
    QTreeWidgetItem* SlotItem(QTreeWidgetItem* node, unsigned slot) const;
    // The request runs on a thread of its own; the window stays live and one request at a time
    // is in flight. Nothing happens when the checks before it stop it.
    void RequestService(bool start);
    void FinishServiceRequest();
    // The service line names why a running service runs no worker, while it lasts.
    void ShowIdleReason();
    void StartServiceButton();
    void StopServiceButton();
    void ShowLogFolder();
    void OpenOptions();
    void OpenAbout();
    void OpenUsers();
    void OpenFilters();
    void ExitConsole();

    ConsoleCore& core_;
    const LanguageTable& texts_;
    OptionState& options_;
    bool startHidden_;
    bool trayHost_;
    bool exiting_ = false;
    bool optionsOpen_ = false;
    bool aboutOpen_ = false;
    bool usersOpen_ = false;
    bool filtersOpen_ = false;
    bool exitPending_ = false;
    bool lineShowsIdle_ = false;
    ConsoleRights rights_;
    QThread* request_ = nullptr;
    bool requestIsStart_ = false;
    ServiceOutcome requestOutcome_ = ServiceOutcome::Done;

    QGroupBox *monitorGroup_ = nullptr, *modeGroup_ = nullptr, *modeFieldsGroup_ = nullptr,
              *firewallKeyGroup_ = nullptr, *encodeGroup_ = nullptr, *serviceGroup_ = nullptr,
              *deviceInfoGroup_ = nullptr, *serverButtons_ = nullptr, *deviceButtons_ = nullptr;
    QRadioButton *modeReport_ = nullptr, *modeQuery_ = nullptr, *encryptGeneral_ = nullptr,
                 *encryptEnhanced_ = nullptr, *encodeGbk_ = nullptr, *encodeUtf8_ = nullptr;
    // Edits and labels by Field.
    std::array<QLineEdit*, 6> edits_{};
    std::array<QLabel*, 6> labels_{};
    QPushButton *showLog_ = nullptr, *users_ = nullptr, *startService_ = nullptr, *stopService_ = nullptr;
    std::array<QPushButton*, 3> serverButtonList_{};  // add, delete, edit
    std::array<QPushButton*, 3> deviceButtonList_{};
    QPushButton* filters_ = nullptr;  // which logons become identities
    QLabel *serviceLine_ = nullptr, *rightsLine_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem *root_ = nullptr, *serverNode_ = nullptr, *deviceNode_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace orvane::console
