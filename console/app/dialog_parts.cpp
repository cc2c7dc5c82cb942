#include "console/app/dialog_parts.h"

#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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

}  // namespace orvane::console
