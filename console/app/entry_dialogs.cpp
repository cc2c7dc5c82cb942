#include "console/app/entry_dialogs.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "console/app/dialog_parts.h"
#include "console/app/ipv4_edit.h"
#include "console/app/message_boxes.h"
#include "console/core/console_core.h"

namespace orvane::console {

CADServerDlg::CADServerDlg(const LanguageTable& texts, const ServerEntry* existing, QWidget* parent)
    : QDialog(parent), texts_(texts) {
    setObjectName("CADServerDlg");
    const QString caption = Q(texts.Text(TextId::Server_GruopADServer));
    setWindowTitle(caption);

    auto* frame = NamedGroup(this, "1041", caption);
    auto* grid = new QGridLayout(frame);
    ip_ = new Ipv4Edit(frame);
    ip_->setObjectName("1004");
    account_ = NamedEdit(frame, "1000");
    account_->setMaxLength(static_cast<int>(kAccountMaxLength));
    account_->setToolTip(Q(texts.Text(TextId::Server_AccountTip)));
    password_ = NamedEdit(frame, "1078");
    confirm_ = NamedEdit(frame, "1079");
    for (QLineEdit* e : {password_, confirm_}) {
        e->setEchoMode(QLineEdit::Password);
        e->setMaxLength(32);
        e->setToolTip(Q(texts.Text(TextId::Server_PasswordTip)));
    }
    AddFormRow(grid, 0, NamedLabel(frame, "1042", texts.Text(TextId::Server_Ip), ip_), ip_,
               NamedHint(frame, "1046", texts.Text(TextId::Server_IpInfo)));
    AddFormRow(grid, 1, NamedLabel(frame, "1043", texts.Text(TextId::Server_Account), account_), account_,
               NamedHint(frame, "1047", texts.Text(TextId::Server_AccountInfo)));
    AddFormRow(grid, 2, NamedLabel(frame, "1044", texts.Text(TextId::Server_Password), password_), password_,
               NamedHint(frame, "1059", texts.Text(TextId::Server_PasswordInfo)));
    AddFormRow(grid, 3, NamedLabel(frame, "1045", texts.Text(TextId::Server_ConfirmPassword), confirm_), confirm_,
               NamedHint(frame, "1060", texts.Text(TextId::Server_ConfirmPasswordInfo)));

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(frame);
    outer->addLayout(OkCancelRow(this, "1050", texts.Text(TextId::Server_Ok), "1051",
                                 texts.Text(TextId::Server_Cancel)));
    if (existing) {
        ip_->SetAddress(existing->ip);
        account_->setText(Q(existing->userName));
    }
    AssignMnemonics(this);
    ip_->setFocus();
}

void CADServerDlg::accept() {
    ServerDialogInput in{ip_->Fields(), account_->text().toStdString(), password_->text().toStdString(),
                         confirm_->text().toStdString()};
    if (auto refused = CheckServerDialog(in, result_)) {
        ShowConsoleMessage(Q(texts_.Text(*refused)));
        return;
    }
    QDialog::accept();
}

CFireWallDlg::CFireWallDlg(const LanguageTable& texts, const DeviceEntry* existing, QWidget* parent)
    : QDialog(parent), texts_(texts) {
    setObjectName("CFireWallDlg");
    const QString caption = Q(texts.Text(TextId::Firewall_GruopDevice));
    setWindowTitle(caption);

    auto* frame = NamedGroup(this, "1052", caption);
    auto* grid = new QGridLayout(frame);
    ip_ = new Ipv4Edit(frame);
    ip_->setObjectName("1019");
    port_ = NamedEdit(frame, "1001");
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));
    port_->setMaxLength(10);
    AddFormRow(grid, 0, NamedLabel(frame, "1053", texts.Text(TextId::Firewall_Ip), ip_), ip_,
               NamedHint(frame, "1055", texts.Text(TextId::Firewall_IpInfo)));
    AddFormRow(grid, 1, NamedLabel(frame, "1054", texts.Text(TextId::Firewall_Port), port_), port_,
               NamedHint(frame, "1056", texts.Text(TextId::Firewall_PortInfo)));

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(frame);
    outer->addLayout(OkCancelRow(this, "6", texts.Text(TextId::Firewall_Ok), "1058",
                                 texts.Text(TextId::Firewall_Cancel)));
    if (existing) ip_->SetAddress(existing->ip);
    port_->setText(Q(DeviceDialogPort(existing)));
    AssignMnemonics(this);
    ip_->setFocus();
}

void CFireWallDlg::accept() {
    DeviceDialogInput in{ip_->Fields(), port_->text().toStdString()};
    if (auto refused = CheckDeviceDialog(in, result_)) {
        ShowConsoleMessage(Q(texts_.Text(*refused)));
        return;
    }
    QDialog::accept();
}

}  // namespace orvane::console
