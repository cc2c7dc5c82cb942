// The Online users view against workers served on their status sockets in a temporary folder.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>

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

class UsersDialogTest : public ::testing::Test {
protected:
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
    QTRY_COMPARE_WITH_TIMEOUT(Names(table), (QStringList{"bob", "carol", "dave"}), 3 * kUsersRefreshMs);
    EXPECT_EQ(Cell(table, 2, 5), "");
}

TEST_F(UsersDialogTest, ChineseTextsForStatesAndHeadings) {
    FakeWorker worker(folder_.path(), ".", ClientReport());
    ASSERT_TRUE(worker.Ok());
    COnlineUsersDlg dlg(folder_.path(), kSimplifiedChinese);
    auto* table = Find<QTableWidget>(&dlg, "UsersTable");
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("在线用户"));
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QString::fromUtf8("用户"));
    EXPECT_EQ(Cell(table, 0, 3), QString::fromUtf8("在线"));
    EXPECT_EQ(Cell(table, 0, 5),
              QString::fromUtf8("192.168.10.1:6666 已确认, 192.168.20.1:6666 待确认（剩余 2 次）"));
}

TEST_F(UsersDialogTest, NoWorkerGivesTheReasonWithoutWaiting) {
    QElapsedTimer clock;
    clock.start();
    {
        // No worker ever ran from the folder.
        COnlineUsersDlg dlg(folder_.path(), kEnglish);
        auto* message = Find<QLabel>(&dlg, "UsersMessage");
        EXPECT_TRUE(message->isVisibleTo(&dlg));
        EXPECT_TRUE(message->text().startsWith("No worker answers: no worker has run from ")) << message->text().toStdString();
        EXPECT_EQ(Find<QTableWidget>(&dlg, "UsersTable")->rowCount(), 0);
    }
    EXPECT_LT(clock.elapsed(), 1000);

    // A worker that never answers and a socket left by a stopped one: both named, one short wait.
    int err = 0;
    ASSERT_TRUE(platform::EnsureSocketFolder(StatusSocketFolder(folder_.path()), 0700, err));
    platform::LocalListener hung;
    ASSERT_TRUE(hung.Listen(StatusSocketPath(folder_.path(), "10.20.0.10"), 0600, err)) << err;
    clock.restart();
    COnlineUsersDlg dlg(folder_.path(), kEnglish);
    EXPECT_LT(clock.elapsed(), kUsersReadTimeoutMs + 600);
    auto* message = Find<QLabel>(&dlg, "UsersMessage");
    EXPECT_TRUE(message->isVisibleTo(&dlg));
    EXPECT_EQ(message->text(), "No worker answers: worker 10.20.0.10: not answering");

    // Once a worker answers again the message goes.
    FakeWorker worker(folder_.path(), ".", ClientReport());
    ASSERT_TRUE(worker.Ok());
    QTRY_VERIFY_WITH_TIMEOUT(!message->isVisibleTo(&dlg), 3 * kUsersRefreshMs + 2 * kUsersReadTimeoutMs);
    EXPECT_EQ(Find<QTableWidget>(&dlg, "UsersTable")->rowCount(), 3);
    EXPECT_TRUE(Find<QLabel>(&dlg, "UsersStatus")->text().contains("worker 10.20.0.10: not answering"));
}

}  // namespace
}  // namespace orvane::console
