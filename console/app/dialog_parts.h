#pragma once
// Small builders the console's windows share: controls named by their ids, label rows and the
// OK/Cancel row.
#include <QString>
#include <string>

class QBoxLayout;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace orvane::console {

QGroupBox* NamedGroup(QWidget* parent, const char* id, const QString& title);
QLineEdit* NamedEdit(QWidget* parent, const char* id);
// A label whose buddy gets the focus when the label is clicked.
QLabel* NamedLabel(QWidget* parent, const char* id, const std::string& text, QWidget* buddy);
// A grey explanatory line.
QLabel* NamedHint(QWidget* parent, const char* id, const std::string& text);
QPushButton* NamedButton(QWidget* parent, const char* id, const std::string& text);
void AddFormRow(QGridLayout* grid, int row, QLabel* label, QWidget* field, QLabel* hint);
// OK (the default button, accepts) and Cancel (rejects), right-aligned.
QBoxLayout* OkCancelRow(QWidget* dialog, const char* okId, const std::string& ok, const char* cancelId,
                        const std::string& cancel);

// Gives every button, radio, check box and buddied label of a window its own Alt mnemonic: the
// first letter of its text not yet taken, or, for a text without a free Latin letter (Chinese),
// a letter appended as "(&X)". Call once, after the texts are set.
void AssignMnemonics(QWidget* window);

}  // namespace orvane::console
