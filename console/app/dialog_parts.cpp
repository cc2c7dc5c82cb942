#include "console/app/dialog_parts.h"

#include <QAbstractButton>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <set>
#include <string_view>

namespace orvane::console {

QGroupBox* NamedGroup(QWidget* parent, const char* id, const QString& title) {
    auto* g = new QGroupBox(title, parent);
    g->setObjectName(QString::fromLatin1(id));
    return g;
}

QLineEdit* NamedEdit(QWidget* parent, const char* id) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(id));
    return e;
}

QLabel* NamedLabel(QWidget* parent, const char* id, const std::string& text, QWidget* buddy) {
    auto* l = new QLabel(QString::fromStdString(text), parent);
    l->setObjectName(QString::fromLatin1(id));
    l->setTextFormat(Qt::PlainText);
    if (buddy) l->setBuddy(buddy);
    return l;
}

QLabel* NamedHint(QWidget* parent, const char* id, const std::string& text) {
    auto* l = NamedLabel(parent, id, text, nullptr);
    l->setForegroundRole(QPalette::PlaceholderText);
    return l;
}

QPushButton* NamedButton(QWidget* parent, const char* id, const std::string& text) {
    auto* b = new QPushButton(QString::fromStdString(text), parent);
    b->setObjectName(QString::fromLatin1(id));
    return b;
}

void AddFormRow(QGridLayout* grid, int row, QLabel* label, QWidget* field, QLabel* hint) {
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
    grid->addWidget(hint, row, 2);
    grid->setColumnStretch(1, 1);
}

QBoxLayout* OkCancelRow(QWidget* dialog, const char* okId, const std::string& ok, const char* cancelId,
                        const std::string& cancel) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* okButton = NamedButton(dialog, okId, ok);
    QPushButton* cancelButton = NamedButton(dialog, cancelId, cancel);
    okButton->setDefault(true);
    auto* d = qobject_cast<QDialog*>(dialog);
    QObject::connect(okButton, &QPushButton::clicked, d, &QDialog::accept);
    QObject::connect(cancelButton, &QPushButton::clicked, d, &QDialog::reject);
    row->addWidget(okButton);
    row->addWidget(cancelButton);
    return row;
}

namespace {

bool IsMnemonicLetter(QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); }

// The text with a mnemonic; `used` holds the letters taken so far (lower case).
QString WithMnemonic(const QString& text, std::set<QChar>& used) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        const QChar c = escaped[i];
        if (c == QLatin1Char('&')) {
            ++i;  // skip an escaped ampersand
            continue;
        }
        if (!IsMnemonicLetter(c)) continue;
        if (used.insert(c.toLower()).second) return escaped.left(i) + QLatin1Char('&') + escaped.mid(i);
    }
    // No letter of its own is free (or the text has none, as Chinese texts): append one.
    for (char l : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"))
        if (used.insert(QChar(QLatin1Char(l)).toLower()).second)
            return escaped + QStringLiteral("(&") + QLatin1Char(l) + QLatin1Char(')');
    return escaped;
}

}  // namespace

void AssignMnemonics(QWidget* window) {
    std::set<QChar> used;
    // Push buttons choose first: their short texts ("Add", "Edit") have the fewest letters to offer.
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (!button->text().isEmpty()) button->setText(WithMnemonic(button->text(), used));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            if (!qobject_cast<QPushButton*>(w) && !button->text().isEmpty())
                button->setText(WithMnemonic(button->text(), used));
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->buddy() && !label->text().isEmpty()) label->setText(WithMnemonic(label->text(), used));
        }
    }
}

}  // namespace orvane::console
