#pragma once
// An IPv4 address control: four fields of 0..255 with dots between them. A field may be left
// empty, which the dialogs' "fewer than four filled" check refuses.
#include <QWidget>
#include <array>

#include "console/core/console_core.h"

class QLineEdit;

namespace orvane::console {

class Ipv4Edit final : public QWidget {
    Q_OBJECT
public:
    explicit Ipv4Edit(QWidget* parent = nullptr);

    Ipv4Fields Fields() const;
    // Fills the fields from dotted text (an entry's address); anything unreadable leaves them empty.
    void SetAddress(const std::string& dotted);
    // The field's edit, for tests and the label's buddy.
    QLineEdit* FieldEdit(int index) const { return fields_[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::array<QLineEdit*, 4> fields_{};
};

}  // namespace orvane::console
