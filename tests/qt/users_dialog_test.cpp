// The Online users view against workers served on their status sockets in a temporary folder.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include "common/worker_snapshot.h"
#include "console/app/users_dialog.h"
#include "platform/local_socket.h"
#include "tests/qt/fake_worker.h"
#include "tests/unit/console_test_support.h"

namespace orvane::console {
namespace {

using testing::ConsoleFolder;
using testing::FakeWorker;
using testing::SampleUser;

SnapshotUser User(const char* name, const char* address, std::vector<SnapshotDelivery> gateways) {
    return SampleUser(name, address, 1000, true, std::move(gateways));
}

WorkerSnapshot ClientReport() {
    WorkerSnapshot s;
    s.server = ".";
    s.mode = "client-report";
    s.pid = 4321;
    s.started = 100;
    s.now = 1125;
    s.gateways = {{"192.168.10.1", 6666, 1120, 1121}, {"192.168.20.1", 6666, 1120, 0}};
    s.users.push_back(User("alice", "10.1.0.2", {{true, true, 0}, {true, false, 2}}));
    s.users.push_back(User("bob", "10.1.0.3", {{true, false, 0}, {false, false, 0}}));
    s.users.push_back(SampleUser("carol", "10.1.0.40", 1000, false, {{true, true, 0}, {true, true, 0}}));
    return s;
}

// A worker that listens but never accepts (hung): every read of it waits for its deadline.
struct HungWorker {
    HungWorker(const std::string& folder, const std::string& server) {
        int err = 0;
        ok = platform::EnsureSocketFolder(StatusSocketFolder(folder), 0700, err) &&
             listener.Listen(StatusSocketPath(folder, server), 0600, err);
    }
    // The connections waiting in its backlog: one per read that reached it.
    int Reads() {
        int n = 0, err = 0;
        for (platform::LocalConnection c; listener.Accept(0, c, err); c.Close()) ++n;
        return n;
    }
    platform::LocalListener listener;
    bool ok = false;
};

// The socket a killed worker leaves: bound, never listened on, never removed.
void LeaveStaleSocket(const std::string& folder, const std::string& server) {
    int err = 0;
    ASSERT_TRUE(platform::EnsureSocketFolder(StatusSocketFolder(folder), 0700, err));
    ASSERT_TRUE(orvane::testing::BindAbandonedSocket(StatusSocketPath(folder, server)));
}

class UsersDialogTest : public ::testing::Test {
protected:
    // Waits for the dialog's next read to be shown.
    static bool Shown(COnlineUsersDlg& dlg, int timeoutMs = 5000) {
        QSignalSpy spy(&dlg, &COnlineUsersDlg::Refreshed);
        return spy.wait(timeoutMs);
    }
    template <typename T = QWidget>
    T* Find(QWidget* dialog, const char* id) const {
        T* w = dialog->findChild<T*>(QString::fromLatin1(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    static QString Cell(QTableWidget* t, int row, int column) {
        const QTableWidgetItem* item = t->item(row, column);
        return item ? item->text() : QString();
    }
    // The user names of the table, top to bottom.
    static QStringList Names(QTableWidget* t) {
        QStringList out;
        for (int r = 0; r < t->rowCount(); ++r) out << Cell(t, r, 0);
        return out;
    }

    ConsoleFolder folder_;
};

TEST_F(UsersDialogTest, ShowsEveryUserWithEachGatewaysStateAndFilters) {
    FakeWorker worker(folder_.path(), ".", ClientReport());
    ASSERT_TRUE(worker.Ok());
    COnlineUsersDlg dlg(folder_.path(), kEnglish);
    ASSERT_TRUE(Shown(dlg));
    auto* table = Find<QTableWidget>(&dlg, "UsersTable");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(Names(table), (QStringList{"alice", "bob", "carol"}));
    EXPECT_EQ(table->horizontalHeaderItem(6)->text(), "AD path");
    EXPECT_EQ(Cell(table, 0, 1), "CORP");
    EXPECT_EQ(Cell(table, 0, 2), "10.1.0.2");
    EXPECT_EQ(Cell(table, 0, 3), "online");
    EXPECT_EQ(Cell(table, 0, 4), "2m05s");
    EXPECT_EQ(Cell(table, 0, 5), "192.168.10.1:6666 confirmed, 192.168.20.1:6666 pending (2 left)");
    EXPECT_EQ(Cell(table, 0, 6), "CN=alice,OU=Staff,DC=corp,DC=example");
    EXPECT_EQ(Cell(table, 1, 5), "192.168.10.1:6666 given up, 192.168.20.1:6666 not sent");
    EXPECT_EQ(Cell(table, 2, 3), "logging off");
    EXPECT_FALSE(Find<QLabel>(&dlg, "UsersMessage")->isVisibleTo(&dlg));
    EXPECT_EQ(Find<QLabel>(&dlg, "UsersStatus")->text(),
              "Workers: worker client-report: running (client-report mode), pid 4321, up 17m05s");
    EXPECT_EQ(Find<QLabel>(&dlg, "UsersCount")->text(), "3 users shown");

    // By name ignoring case, by a part of the address, and nothing matching.
    auto* filter = Find<QLineEdit>(&dlg, "UsersFilter");
    filter->setText("ALI");
    EXPECT_EQ(Names(table), QStringList{"alice"});
    filter->setText("10.1.0.4");
    EXPECT_EQ(Names(table), QStringList{"carol"});
    filter->setText("nobody");
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(Find<QLabel>(&dlg, "UsersCount")->text(), "0 users shown");

    // The timer reads again; the filter stays applied to what the worker answers then.
    filter->setText("10.1.0.");
    WorkerSnapshot later = ClientReport();
    later.users.erase(later.users.begin());
    later.users.push_back(User("dave", "10.1.0.9", {}));
    later.users.push_back(User("erin", "10.2.0.9", {}));
    worker.Set(later);
    const QStringList want{"bob", "carol", "dave"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return Names(table) == want; }, 3 * kUsersRefreshMs))
        << Names(table).join(' ').toStdString();
    EXPECT_EQ(Cell(table, 2, 5), "");
}

TEST_F(UsersDialogTest, ChineseTextsForStatesAndHeadings) {
    FakeWorker worker(folder_.path(), ".", ClientReport());
    ASSERT_TRUE(worker.Ok());
    COnlineUsersDlg dlg(folder_.path(), kSimplifiedChinese);
    ASSERT_TRUE(Shown(dlg));
    auto* table = Find<QTableWidget>(&dlg, "UsersTable");
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("在线用户"));
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QString::fromUtf8("用户"));
    EXPECT_EQ(Cell(table, 0, 3), QString::fromUtf8("在线"));
    EXPECT_EQ(Cell(table, 0, 5),
              QString::fromUtf8("192.168.10.1:6666 已确认, 192.168.20.1:6666 待确认（剩余 2 次）"));
}

// The status line and the no-worker message are worded by the view from language.ini: in
// Chinese not one English word of the core's appears, whatever state the workers are in.
TEST_F(UsersDialogTest, ChineseStatusAndNoWorkerMessagesCarryNoEnglish) {
    const QRegularExpression english("[A-Za-z]{3,}");
    {
        COnlineUsersDlg dlg(folder_.path(), kSimplifiedChinese);
        ASSERT_TRUE(Shown(dlg));
        EXPECT_EQ(Find<QLabel>(&dlg, "UsersMessage")->text(),
                  QString::fromUtf8("没有工作进程应答：尚无工作进程从 ") + QString::fromStdString(folder_.path()) +
                      QString::fromUtf8(" 运行过"));
    }
    LeaveStaleSocket(folder_.path(), "10.20.0.11");
    {
        COnlineUsersDlg dlg(folder_.path(), kSimplifiedChinese);
        ASSERT_TRUE(Shown(dlg));
        EXPECT_EQ(Find<QLabel>(&dlg, "UsersMessage")->text(),
                  QString::fromStdString(folder_.path()).prepend(QString::fromUtf8("没有工作进程应答：")) +
                      QString::fromUtf8(" 中没有正在运行的工作进程"));
        EXPECT_EQ(Find<QLabel>(&dlg, "UsersStatus")->text(), QString::fromUtf8("工作进程：-"));
    }
    HungWorker hung(folder_.path(), "10.20.0.10");
    ASSERT_TRUE(hung.ok);
    WorkerSnapshot query = ClientReport();
    query.server = "10.20.0.12";
    query.mode = "log-query";
    query.users.clear();
    FakeWorker worker(folder_.path(), ".", ClientReport()), queryWorker(folder_.path(), "10.20.0.12", query);
    ASSERT_TRUE(worker.Ok() && queryWorker.Ok());
    COnlineUsersDlg dlg(folder_.path(), kSimplifiedChinese);
    ASSERT_TRUE(Shown(dlg));
    const QString status = Find<QLabel>(&dlg, "UsersStatus")->text();
    EXPECT_EQ(status, QString::fromUtf8("工作进程：工作进程 10.20.0.10：无应答; "
                                        "工作进程 10.20.0.12：运行中（日志查询模式），进程号 4321，已运行 17m05s; "
                                        "工作进程 客户端上报：运行中（客户端上报模式），进程号 4321，已运行 17m05s"));
    EXPECT_FALSE(status.contains(english)) << status.toStdString();
    EXPECT_FALSE(Find<QLabel>(&dlg, "UsersMessage")->isVisibleTo(&dlg));
}

TEST_F(UsersDialogTest, NoWorkerGivesTheReasonWithoutWaiting) {
    QElapsedTimer clock;
    clock.start();
    {
        // No worker ever ran from the folder.
        COnlineUsersDlg dlg(folder_.path(), kEnglish);
        ASSERT_TRUE(Shown(dlg));
        auto* message = Find<QLabel>(&dlg, "UsersMessage");
        EXPECT_TRUE(message->isVisibleTo(&dlg));
        EXPECT_EQ(message->text().toStdString(), "No worker answers: no worker has run from " + folder_.path());
        EXPECT_EQ(Find<QTableWidget>(&dlg, "UsersTable")->rowCount(), 0);
    }
    EXPECT_LT(clock.elapsed(), 1000);

    // A socket left by a killed worker is no worker: not named, and nothing to wait for.
    LeaveStaleSocket(folder_.path(), ".");
    clock.restart();
    {
        COnlineUsersDlg dlg(folder_.path(), kEnglish);
        ASSERT_TRUE(Shown(dlg));
        EXPECT_EQ(Find<QLabel>(&dlg, "UsersMessage")->text().toStdString(),
                  "No worker answers: no worker is running from " + folder_.path());
        EXPECT_EQ(Find<QLabel>(&dlg, "UsersStatus")->text(), "Workers: -");
    }
    EXPECT_LT(clock.elapsed(), 1000);
}

// A hung worker costs the view its deadline on the pool thread, not on the UI thread: the event
// loop keeps running meanwhile, repeated refreshes do not stack reads, and the worker is then
// shown as not answering, beside the socket of a killed one that is not shown at all.
TEST_F(UsersDialogTest, AHungWorkerNeverBlocksTheWindow) {
    HungWorker hung(folder_.path(), "10.20.0.10");
    ASSERT_TRUE(hung.ok);
    LeaveStaleSocket(folder_.path(), "10.20.0.9");
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    COnlineUsersDlg dlg(folder_.path(), kEnglish);
    EXPECT_LT(clock.elapsed(), 200);  // the constructor does not read
    EXPECT_TRUE(dlg.Reading());
    dlg.Refresh();
    dlg.Refresh();
    QSignalSpy shown(&dlg, &COnlineUsersDlg::Refreshed);
    ASSERT_TRUE(shown.wait(kUsersReadTimeoutMs + 3000));
    const qint64 took = clock.elapsed();
    EXPECT_GE(took, kUsersReadTimeoutMs - 50);
    // Ticking at 20 ms all along: a blocked loop would have ticked at most once.
    EXPECT_GE(ticks, kUsersReadTimeoutMs / 20 / 3) << ticks << " ticks in " << took << " ms";
    EXPECT_FALSE(dlg.Reading());
    EXPECT_EQ(hung.Reads(), 1);  // one read although three were asked for
    auto* message = Find<QLabel>(&dlg, "UsersMessage");
    EXPECT_TRUE(message->isVisibleTo(&dlg));
    EXPECT_EQ(message->text(), "No worker answers: worker 10.20.0.10: not answering");
    EXPECT_EQ(Find<QLabel>(&dlg, "UsersStatus")->text(), "Workers: worker 10.20.0.10: not answering");

    // Once a worker answers again the message goes; the hung one is still named.
    FakeWorker worker(folder_.path(), ".", ClientReport());
    ASSERT_TRUE(worker.Ok());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !message->isVisibleTo(&dlg); }, 3 * (kUsersRefreshMs + kUsersReadTimeoutMs)));
    EXPECT_EQ(Find<QTableWidget>(&dlg, "UsersTable")->rowCount(), 3);
    EXPECT_EQ(Find<QLabel>(&dlg, "UsersStatus")->text(),
              "Workers: worker 10.20.0.10: not answering; "
              "worker client-report: running (client-report mode), pid 4321, up 17m05s");
}

// Closing or deleting the view while a read is under way: the late result is dropped, nothing
// is shown after the close and nothing touches the deleted view.
TEST_F(UsersDialogTest, AResultArrivingAfterTheViewClosedIsDropped) {
    HungWorker hung(folder_.path(), "10.20.0.10");
    ASSERT_TRUE(hung.ok);
    {
        COnlineUsersDlg dlg(folder_.path(), kEnglish);
        QSignalSpy shown(&dlg, &COnlineUsersDlg::Refreshed);
        ASSERT_TRUE(dlg.Reading());
        dlg.done(QDialog::Rejected);
        ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(kUsersReadTimeoutMs + 3000));
        QTest::qWait(100);  // the finished read's notice is delivered now
        EXPECT_EQ(shown.count(), 0);
        EXPECT_TRUE(Find<QLabel>(&dlg, "UsersStatus")->text().isEmpty());
        EXPECT_FALSE(dlg.Reading());
        dlg.Refresh();  // a closed view reads no more
        EXPECT_FALSE(dlg.Reading());
    }
    auto* dlg = new COnlineUsersDlg(folder_.path(), kEnglish);
    ASSERT_TRUE(dlg->Reading());
    delete dlg;
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(kUsersReadTimeoutMs + 3000));
    QTest::qWait(100);
    EXPECT_EQ(hung.Reads(), 2);  // one read for each view, none after either closed
}

}  // namespace
}  // namespace orvane::console
