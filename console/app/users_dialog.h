#pragma once
// The Online users view: the workers' online users as a table, a filter, and the workers'
// status line, read again every two seconds while the view is open. The workers are read on a
// pool thread, one read at a time, so a stuck worker never freezes the window.
#include <QDialog>
#include <QFutureWatcher>
#include <string>
#include <vector>

#include "console/core/language.h"
#include "console/core/worker_status.h"

class QLabel;
class QLineEdit;
class QTableWidget;
class QTimer;

namespace orvane::console {

// Within one refresh interval, so a stuck worker shows as not answering before the next read.
constexpr int kUsersReadTimeoutMs = 1500;
constexpr int kUsersRefreshMs = 2000;

class COnlineUsersDlg final : public QDialog {
    Q_OBJECT
public:
    COnlineUsersDlg(const std::string& programFolder, std::uint32_t languageId, QWidget* parent = nullptr);
    ~COnlineUsersDlg() override;
    // Starts reading the workers again, unless a read is still under way; what they answered is
    // shown when it arrives.
    void Refresh();
    bool Reading() const { return reading_; }
    void done(int result) override;

signals:
    // A read's result is shown.
    void Refreshed();

private:
    void Received();
    void Show();
    std::string WorkerText(const WorkerReading& reading) const;
    std::string ListProblemText() const;

    std::string programFolder_;
    UsersTexts texts_;
    WorkerList list_;
    bool reading_ = false;
    bool closed_ = false;
    QFutureWatcher<WorkerList>* watcher_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QTableWidget* table_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* message_ = nullptr;
    QLabel* count_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace orvane::console
