#include "console/app/users_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "console/app/dialog_parts.h"
#include "console/app/message_boxes.h"
#include "console/core/status_report.h"

namespace orvane::console {
namespace {

enum Column { kUser, kDomain, kAddress, kState, kAge, kGateways, kAdPath, kColumnCount };

QTableWidgetItem* Cell(const std::string& text) {
    auto* item = new QTableWidgetItem(Q(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

std::string GatewayText(const UsersTexts& t, const UserRowGateway& g) {
    std::string state = g.state == "confirmed" ? t.confirmed
                        : g.state == "pending" ? FormatWithArgument(t.pending, std::to_string(g.sendsLeft))
                        : g.state == "given up" ? t.givenUp
                                                : t.notSent;
    return g.name + " " + state;
}

}  // namespace

COnlineUsersDlg::COnlineUsersDlg(const std::string& programFolder, std::uint32_t languageId, QWidget* parent)
    : QDialog(parent), programFolder_(programFolder),
      texts_(LoadUsersTexts(LanguageFilePath(programFolder), languageId)) {
    setObjectName("COnlineUsersDlg");
    setWindowTitle(Q(texts_.caption));
    filter_ = NamedEdit(this, "UsersFilter");
    filter_->setClearButtonEnabled(true);
    QLabel* filterLabel = NamedLabel(this, "UsersFilterLabel", texts_.filter, filter_);
    table_ = new QTableWidget(0, kColumnCount, this);
    table_->setObjectName("UsersTable");
    QStringList headings = Q(texts_.columns).split(QLatin1Char('|'));
    while (headings.size() < kColumnCount) headings.append(QString());
    table_->setHorizontalHeaderLabels(headings.mid(0, kColumnCount));
    table_->verticalHeader()->hide();
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    message_ = NamedHint(this, "UsersMessage", {});
    message_->setWordWrap(true);
    status_ = NamedHint(this, "UsersStatus", {});
    status_->setWordWrap(true);
    count_ = NamedHint(this, "UsersCount", {});
    QPushButton* close = NamedButton(this, "UsersClose", texts_.close);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(filter_, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(count_, 1);
    bottom->addWidget(close);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(filterRow);
    outer->addWidget(table_, 1);
    outer->addWidget(message_);
    outer->addWidget(status_);
    outer->addLayout(bottom);
    resize(1120, 380);

    // Filtering redraws what was read last; only the timer reads the workers again.
    connect(filter_, &QLineEdit::textChanged, this, &COnlineUsersDlg::Show);
    // Owned by the dialog: once it is gone, a read still under way ends in the pool unheard.
    watcher_ = new QFutureWatcher<WorkerList>(this);
    connect(watcher_, &QFutureWatcher<WorkerList>::finished, this, &COnlineUsersDlg::Received);
    timer_ = new QTimer(this);
    timer_->setObjectName("UsersTimer");
    timer_->setInterval(kUsersRefreshMs);
    connect(timer_, &QTimer::timeout, this, &COnlineUsersDlg::Refresh);
    timer_->start();
    AssignMnemonics(this);
    Refresh();
}

COnlineUsersDlg::~COnlineUsersDlg() {
    closed_ = true;
    watcher_->disconnect(this);
}

void COnlineUsersDlg::done(int result) {
    closed_ = true;
    timer_->stop();
    QDialog::done(result);
}

void COnlineUsersDlg::Refresh() {
    if (reading_ || closed_) return;
    reading_ = true;
    watcher_->setFuture(QtConcurrent::run(
        [folder = programFolder_] { return ReadWorkerList(folder, kUsersReadTimeoutMs); }));
}

void COnlineUsersDlg::Received() {
    reading_ = false;
    if (closed_) return;
    list_ = watcher_->result();
    Show();
    emit Refreshed();
}

std::string COnlineUsersDlg::WorkerText(const WorkerReading& r) const {
    const std::string name = IsClientReportWorker(r) ? texts_.clientReportWorker : WorkerLabel(r);
    switch (r.state) {
        case WorkerReadState::Ok: {
            const WorkerSnapshot& s = r.snapshot;
            const std::string& mode = s.mode == "client-report" ? texts_.modeClientReport
                                      : s.mode == "log-query"   ? texts_.modeLogQuery
                                                                : s.mode;
            return FormatWithArguments(texts_.workerRunning,
                                       {name, mode, std::to_string(s.pid), FormatAge(s.now - s.started)});
        }
        case WorkerReadState::NotRunning: return FormatWithArgument(texts_.workerNotRunning, name);
        case WorkerReadState::TimedOut: return FormatWithArgument(texts_.workerNotAnswering, name);
        case WorkerReadState::Denied: return FormatWithArgument(texts_.workerDenied, name);
        case WorkerReadState::BadAnswer: return FormatWithArgument(texts_.workerBadAnswer, name);
        case WorkerReadState::Failed: break;
    }
    return FormatWithArguments(texts_.workerFailed, {name, r.error});
}

std::string COnlineUsersDlg::ListProblemText() const {
    switch (list_.problem) {
        case WorkerListProblem::None: break;
        case WorkerListProblem::NeverRan: return FormatWithArgument(texts_.neverRan, list_.programFolder);
        case WorkerListProblem::NoneRunning: return FormatWithArgument(texts_.noneRunning, list_.programFolder);
        case WorkerListProblem::Denied: return FormatWithArgument(texts_.folderDenied, list_.runFolder);
        case WorkerListProblem::Failed: return FormatWithArguments(texts_.folderFailed, {list_.runFolder, list_.systemError});
    }
    return {};
}

void COnlineUsersDlg::Show() {
    const std::vector<UserRow> rows = CollectUserRows(list_.readings, filter_->text().trimmed().toStdString());
    table_->setSortingEnabled(false);
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const UserRow& row = rows[static_cast<std::size_t>(i)];
        const SnapshotUser& u = *row.user;
        std::string gateways;
        for (const UserRowGateway& g : row.gateways) {
            if (!gateways.empty()) gateways += ", ";
            gateways += GatewayText(texts_, g);
        }
        const std::string cells[kColumnCount] = {u.user, u.domain, u.address,
                                                 u.online ? texts_.online : texts_.loggingOff,
                                                 FormatAge(row.ageSeconds), gateways, u.adPath};
        for (int c = 0; c < kColumnCount; ++c) table_->setItem(i, c, Cell(cells[c]));
    }
    table_->resizeColumnsToContents();
    count_->setText(Q(FormatWithArgument(texts_.count, std::to_string(rows.size()))));

    bool anyAnswer = false;
    std::string workers;
    for (const WorkerReading& r : list_.readings) {
        anyAnswer = anyAnswer || r.state == WorkerReadState::Ok;
        if (!workers.empty()) workers += "; ";
        workers += WorkerText(r);
    }
    if (list_.readings.empty()) {
        message_->setText(Q(FormatWithArgument(texts_.noWorker, ListProblemText())));
    } else if (!anyAnswer) {
        message_->setText(Q(FormatWithArgument(texts_.noWorker, workers)));
    } else {
        message_->clear();
    }
    message_->setVisible(!message_->text().isEmpty());
    status_->setText(Q(FormatWithArgument(texts_.status, workers.empty() ? "-" : workers)));
}

}  // namespace orvane::console
