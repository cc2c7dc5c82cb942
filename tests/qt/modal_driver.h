#pragma once
// Answers the modal windows a test action opens (message boxes, dialogs), one handler per window
// in the order they appear, and keeps what each message box said.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace orvane::console::testing {

class ModalDriver {
public:
    using Handler = std::function<void(QWidget*)>;

    ModalDriver() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }

    // The next modal window is a message box: keep its text and press `button`.
    // `then` runs once the box is closed (for the dialog that is open below it).
    void ExpectMessage(QMessageBox::StandardButton button = QMessageBox::Ok, std::function<void()> then = {}) {
        handlers_.push_back([this, button, then](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box) {
                unexpected_.push_back(w->objectName());
                w->close();
                return;
            }
            messages_.push_back(box->text());
            Click(box->button(button));
            if (then) QTimer::singleShot(0, then);
        });
    }
    // The next modal window is handed to `handler`.
    void Expect(Handler handler) { handlers_.push_back(std::move(handler)); }

    // Presses a button once the current handler has returned (a button may open a nested loop).
    static void Click(QAbstractButton* button) {
        if (button) QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
    }

    const std::vector<QString>& Messages() const { return messages_; }
    QString LastMessage() const { return messages_.empty() ? QString() : messages_.back(); }
    bool AllHandled() const { return handlers_.empty() && unexpected_.empty(); }
    const std::vector<QString>& Unexpected() const { return unexpected_; }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        for (const QPointer<QWidget>& seen : seen_)
            if (seen == modal) return;
        seen_.emplace_back(modal);
        if (handlers_.empty()) {
            // Nothing expected it: note it and close it, so the test ends instead of hanging.
            unexpected_.push_back(modal->objectName() + ": " +
                                  (qobject_cast<QMessageBox*>(modal) ? qobject_cast<QMessageBox*>(modal)->text() : ""));
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
            return;
        }
        Handler h = std::move(handlers_.front());
        handlers_.pop_front();
        h(modal);
    }

    QTimer timer_;
    std::deque<Handler> handlers_;
    std::vector<QPointer<QWidget>> seen_;
    std::vector<QString> messages_;
    std::vector<QString> unexpected_;
};

}  // namespace orvane::console::testing
