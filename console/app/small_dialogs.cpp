#include "console/app/small_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/app/artwork.h"
#include "console/app/dialog_parts.h"
#include "console/app/message_boxes.h"
#include "console/core/autostart.h"

namespace orvane::console {

CAboutDlg::CAboutDlg(const LanguageTable& texts, QWidget* parent) : QDialog(parent) {
    setObjectName("CAboutDlg");
    setWindowTitle(Q(texts.Text(TextId::About_Caption)));
    auto* icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);
    auto* version = NamedLabel(this, "version", texts.Text(TextId::About_Version), nullptr);
    auto* notice = NamedLabel(this, "notice", texts.Text(TextId::About_CopyRight), nullptr);
    notice->setWordWrap(true);
    notice->setMinimumWidth(320);
    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(notice);
    text->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(text, 1);
    QPushButton* ok = NamedButton(this, "1", texts.Text(TextId::About_Ok));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(top);
    outer->addLayout(buttons);
    setFixedSize(sizeHint());
}

COptionDlg::COptionDlg(OptionState& state, QWidget* parent) : QDialog(parent), state_(state) {
    setObjectName("COptionDlg");
    const OptionTexts t = LoadOptionTexts(LanguageFilePath(state.programFolder), state.languageId);
    setWindowTitle(Q(t.caption));

    auto* banner = new QLabel(this);
    banner->setObjectName("banner");
    const qreal ratio = devicePixelRatioF();
    banner->setPixmap(OptionsBanner(360, 56, ratio));
    autoRun_ = new QCheckBox(Q(t.autoRun), this);
    autoRun_->setObjectName("1009");
    autoRun_->setChecked(state.autoStartFlag == 1);
    // The language selector is kept but hidden: the window keeps its start-up texts in any case.
    language_ = new QComboBox(this);
    language_->setObjectName("1011");
    for (const char* item : kLanguageItems) language_->addItem(QString::fromUtf8(item));
    language_->setCurrentIndex(LanguagePosition(state.languageId));
    auto* languageLabel = NamedLabel(this, "1013", t.language, language_);
    languageLabel->hide();
    language_->hide();

    QPushButton* ok = NamedButton(this, "32785", t.ok);
    QPushButton* cancel = NamedButton(this, "2", t.cancel);
    QPushButton* apply = NamedButton(this, "3", t.apply);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] {
        Apply();
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(apply, &QPushButton::clicked, this, &COptionDlg::Apply);

    auto* languageRow = new QHBoxLayout;
    languageRow->addWidget(languageLabel);
    languageRow->addWidget(language_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addWidget(apply);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(12, 8, 12, 12);
    body->addWidget(autoRun_);
    body->addLayout(languageRow);
    body->addStretch(1);
    body->addLayout(buttons);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(banner);
    outer->addLayout(body);
    AssignMnemonics(this);
    autoRun_->setFocus();
    setFixedSize(sizeHint());
}

void COptionDlg::Apply() {
    const std::uint32_t chosen = LanguageAtPosition(language_->currentIndex(), state_.languageId);
    if (chosen != state_.languageId) {
        state_.languageId = chosen;
        SetMessageLanguage(chosen);
    }
    ApplyAutoStart(autoRun_->isChecked(), state_.autoStartFlag, state_.autostartFolder, state_.programFolder);
}

}  // namespace orvane::console
