#include "console/app/ipv4_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace orvane::console {
namespace {

// 0 to 255, or nothing.
const QRegularExpression& OctetPattern() {
    static const QRegularExpression re(QStringLiteral("^(|[0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])$"));
    return re;
}

}  // namespace

Ipv4Edit::Ipv4Edit(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    for (int i = 0; i < 4; ++i) {
        if (i) row->addWidget(new QLabel(QStringLiteral("."), this));
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("octet%1").arg(i));
        edit->setValidator(new QRegularExpressionValidator(OctetPattern(), edit));
        edit->setMaxLength(3);
        edit->setAlignment(Qt::AlignCenter);
        // Room for three digits at any font size; the fields do not stretch.
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
        edit->installEventFilter(this);
        // Three digits complete a field; the caret moves on as in the Windows control.
        connect(edit, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() == 3 && i < 3) {
                fields_[static_cast<std::size_t>(i + 1)]->setFocus(Qt::TabFocusReason);
                fields_[static_cast<std::size_t>(i + 1)]->selectAll();
            }
        });
        fields_[static_cast<std::size_t>(i)] = edit;
        row->addWidget(edit);
    }
    row->addStretch(1);
    setFocusProxy(fields_[0]);
}

bool Ipv4Edit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (int i = 0; i < 4; ++i) {
            if (watched != fields_[static_cast<std::size_t>(i)]) continue;
            QLineEdit* edit = fields_[static_cast<std::size_t>(i)];
            // A dot moves to the next field; Backspace in an empty field moves back.
            if ((key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) && i < 3) {
                if (!edit->text().isEmpty()) fields_[static_cast<std::size_t>(i + 1)]->setFocus(Qt::TabFocusReason);
                return true;
            }
            if (key->key() == Qt::Key_Backspace && edit->text().isEmpty() && i > 0) {
                fields_[static_cast<std::size_t>(i - 1)]->setFocus(Qt::BacktabFocusReason);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

Ipv4Fields Ipv4Edit::Fields() const {
    Ipv4Fields f;
    for (std::size_t i = 0; i < 4; ++i) {
        const QString t = fields_[i]->text();
        f.filled[i] = !t.isEmpty();
        f.value[i] = t.isEmpty() ? 0 : t.toInt();
    }
    return f;
}

void Ipv4Edit::SetAddress(const std::string& dotted) {
    Ipv4Fields f;
    if (!ParseIpv4Fields(dotted, f)) f = {};
    for (std::size_t i = 0; i < 4; ++i) fields_[i]->setText(f.filled[i] ? QString::number(f.value[i]) : QString());
}

}  // namespace orvane::console
