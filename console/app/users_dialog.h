#pragma once
// The Online users view: the workers' online users as a table, a filter, and the workers'
// status line, read again every two seconds while the view is open.
#include <QDialog>
#include <string>
#include <vector>

#include "console/core/language.h"
#include "console/core/worker_status.h"

class QLabel;
class QLineEdit;
class QTableWidget;
class QTimer;

namespace orvane::console {

// Short, so a stuck worker freezes the window for a moment at most.
constexpr int kUsersReadTimeoutMs = 400;
constexpr int kUsersRefreshMs = 2000;

class COnlineUsersDlg final : public QDialog {
    Q_OBJECT
public:
    COnlineUsersDlg(const std::string& programFolder, std::uint32_t languageId, QWidget* parent = nullptr);
    // Reads the workers again and shows what they answered.
    void Refresh();

private:
    void Show();

    std::string programFolder_;
    UsersTexts texts_;
    std::vector<WorkerReading> readings_;
    std::string readError_;
    QLineEdit* filter_ = nullptr;
    QTableWidget* table_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* message_ = nullptr;
    QLabel* count_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace orvane::console
