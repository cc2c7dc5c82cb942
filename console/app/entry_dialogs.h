#pragma once
// The dialogs for one directory server (CADServerDlg) and one device (CFireWallDlg). Their
// accept checks are the core's; a refused check shows its message and keeps the dialog open.
#include <QDialog>

#include "common/config.h"
#include "console/core/language.h"

class QLineEdit;
class QPushButton;

namespace orvane::console {

class Ipv4Edit;

class CADServerDlg final : public QDialog {
    Q_OBJECT
public:
    // `existing` null opens it empty (add); otherwise with the entry's address and account. The
    // password fields always start empty.
    CADServerDlg(const LanguageTable& texts, const ServerEntry* existing, QWidget* parent = nullptr);
    const ServerEntry& Result() const { return result_; }

    void accept() override;

private:
    const LanguageTable& texts_;
    Ipv4Edit* ip_ = nullptr;
    QLineEdit* account_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* confirm_ = nullptr;
    ServerEntry result_;
};

class CFireWallDlg final : public QDialog {
    Q_OBJECT
public:
    // `existing` null opens it with an empty address and the port 8000 (add).
    CFireWallDlg(const LanguageTable& texts, const DeviceEntry* existing, QWidget* parent = nullptr);
    const DeviceEntry& Result() const { return result_; }

    void accept() override;

private:
    const LanguageTable& texts_;
    Ipv4Edit* ip_ = nullptr;
    QLineEdit* port_ = nullptr;
    DeviceEntry result_;
};

}  // namespace orvane::console
