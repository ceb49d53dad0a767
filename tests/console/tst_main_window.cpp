// fMain around a server on the scriptable socket layer: what load leaves behind, the layout on
// real widgets, the statistics tick, the buttons with clients connected, the password box and the
// way out; and around a real server, the statistics refresh under a flood of real clients.

#include "ConsoleRig.h"
#include "EventLogView.h"
#include "RawClient.h"
#include "RelayServer.h"
#include "frmMess.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTimer>

#include <thread>

using namespace talkmere;
using namespace talkmere::testing;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword("secret"); }

    void loadStartsTheServerAndSetsCaptions();
    void layoutAtTheFirstSizeAndAfterResizing();
    void statisticsAfterTheFirstTick();
    void buttonsStopAndStartWithClientsConnected();
    void portTakenLeavesTheServerOffline();
    void dataEventsFollowTheCheckBox();
    void passwordBoxPrefillsAndCancelEmpties();
    void longTextIsLoggedCut();
    void exitShutsThePoolDown();
    void closingTheWindowShutsThePoolDown();
    void refreshKeepsRunningUnderAFlood();
};

void MainWindowTest::loadStartsTheServerAndSetsCaptions() {
    Window w;
    QCOMPARE(w.main.windowTitle(), QStringLiteral("Talkmere Server - Version: " TALKMERE_VERSION));
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: secret"));
    QVERIFY(control<QCheckBox>(&w.main, "chkDataEvents")->isChecked());
    QVERIFY(w.main.server().relay().showDataEvents());
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(w.main.server().clients().columnCount(), 6);
    QCOMPARE(control<QTimer>(&w.main, "tmrProperties")->interval(), 100);
    QVERIFY(control<QTimer>(&w.main, "tmrProperties")->isActive());

    // Listening without anyone pressing Start: a client is greeted with the password.
    QCOMPARE(w.room.connectClient().received(), QByteArray(":ID:1secret"));

    // The File menu as designed; "&" in a password shows as itself.
    const QList<QAction*> file = control<QMenu>(&w.main, "File")->actions();
    QCOMPARE(file.size(), 3);
    QCOMPARE(file[0]->text(), QStringLiteral("Send Server Message"));
    QVERIFY(file[1]->isSeparator());
    QCOMPARE(file[2]->text(), QStringLiteral("Exit"));
    w.main.server().changePassword("a&b");
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: a&&b"));
}

void MainWindowTest::layoutAtTheFirstSizeAndAfterResizing() {
    Window w;
    w.main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.main));
    QCOMPARE(w.main.clientArea()->size(), QSize(619, 462)); // 9285 x 6930 twips

    const auto check = [&](int W, int H) {
        // H and W in whole pixels; the rule in twips.
        const double Ht = H * 15.0;
        const int table = px(static_cast<qint64>(std::nearbyint(Ht)) / 3 * 2);
        QCOMPARE(w.widget("lvwClients")->geometry(), QRect(0, 0, W, table));
        QCOMPARE(w.widget("lblStatus")->geometry(), QRect(0, H - 17, W, 17));
        QCOMPARE(w.widget("cmdStartServer")->y(), px(Ht - 255 - 375 - 100));
        QCOMPARE(w.widget("cmdStopServer")->y(), w.widget("cmdStartServer")->y());
        auto* log = control<EventLogView>(&w.main, "lstEvents");
        QCOMPARE(log->y(), px(table * 15 + 50));
        QCOMPARE(log->width(), W);
        QCOMPARE(log->height(), log->wholeLinesHeight(px(Ht - table * 15 - 850)));
        // The rows under the log follow its real bottom edge.
        const double below = table * 15 + log->height() * 15 + 100;
        QCOMPARE(w.widget("lblBytesSent")->y(), px(below));
        QCOMPARE(w.widget("chkDataEvents")->y(), px(below));
        QCOMPARE(w.widget("lblBytesReceived")->y(), px(below + 255));
        QCOMPARE(w.widget("lblSocketCount")->y(), px(below + 255));
        // Left edges never move.
        QCOMPARE(w.widget("cmdStopServer")->x(), 88);
        QCOMPARE(w.widget("lblSocketCount")->x(), 344);
    };
    check(619, 462);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(w.widget("lvwClients")->height(), 308); // 4620 twips
    QCOMPARE(w.widget("cmdStartServer")->y(), 413);  // 6200 twips
    QCOMPARE(w.widget("lblStatus")->y(), 445);       // 6675 twips
    QCOMPARE(w.widget("lblStatus")->width(), 619);   // 9285 twips
    QVERIFY(w.widget("lstEvents")->height() <= px(1460));

    const QSize frame = w.main.size() - w.main.clientArea()->size();
    w.main.resize(QSize(800, 601) + frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.main.clientArea()->size(), QSize(800, 601), kWait);
    check(800, 601);
    if (QTest::currentTestFailed())
        return;

    // Minimised and restored: back where the rule puts them.
    w.main.showMinimized();
    QCoreApplication::processEvents();
    w.main.showNormal();
    QTRY_COMPARE_WITH_TIMEOUT(w.main.clientArea()->size(), QSize(800, 601), kWait);
    check(800, 601);
    if (QTest::currentTestFailed())
        return;

    // Too small for the log: it keeps its height, the rest is still placed.
    const int logHeight = w.widget("lstEvents")->height();
    w.main.resize(QSize(300, 60) + frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.main.clientArea()->size(), QSize(300, 60), kWait);
    QCOMPARE(w.widget("lstEvents")->height(), logHeight);
    QCOMPARE(w.widget("lstEvents")->width(), 300);
    QCOMPARE(w.widget("lblStatus")->geometry(), QRect(0, 43, 300, 17));
    QCOMPARE(w.widget("lvwClients")->height(), 40); // 900 twips: 600
    QCOMPARE(w.widget("lblBytesSent")->y(), px(600 + logHeight * 15 + 100));
}

void MainWindowTest::statisticsAfterTheFirstTick() {
    Window w;
    // Design captions until the first tick, 100 ms after load.
    QCOMPARE(w.label("lblBytesSent")->text(), QStringLiteral("Bytes Sent:"));
    QCOMPARE(w.label("lblBytesReceived")->text(), QStringLiteral("Bytes Received:"));
    QCOMPARE(w.label("lblSocketCount")->text(), QStringLiteral("SocketCount"));
    QTRY_COMPARE_WITH_TIMEOUT(w.label("lblBytesSent")->text(), QStringLiteral("Bytes sent: 0"),
                              kWait);
    QCOMPARE(w.label("lblBytesReceived")->text(), QStringLiteral("Bytes received: 0"));
    QCOMPARE(w.label("lblSocketCount")->text(), QStringLiteral("Socket count: 0"));

    // Traffic is counted.
    FakeClient& client = w.room.connectClient();
    client.send("hello");
    QCOMPARE(client.received(), QByteArray(":ID:1secrethello"));
    QTRY_COMPARE_WITH_TIMEOUT(w.label("lblBytesReceived")->text(),
                              QStringLiteral("Bytes received: 5"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(w.label("lblSocketCount")->text(), QStringLiteral("Socket count: 1"),
                              kWait);

    // Beyond 32 bits, shown in full without separators.
    w.main.server().pool().setBytesSent(5'000'000'000);
    w.main.server().pool().setBytesReceived(1234567);
    QTRY_COMPARE_WITH_TIMEOUT(w.label("lblBytesSent")->text(),
                              QStringLiteral("Bytes sent: 5000000000"), kWait);
    QCOMPARE(w.label("lblBytesReceived")->text(), QStringLiteral("Bytes received: 1234567"));

    // A screen reader reads the counts, the status and the log by what they show.
    const auto spoken = [&](const char* name) {
        QAccessibleInterface* readable = QAccessible::queryAccessibleInterface(w.widget(name));
        return readable ? readable->text(QAccessible::Name) : QString();
    };
    QCOMPARE(spoken("lblBytesSent"), QStringLiteral("Bytes sent: 5000000000"));
    QCOMPARE(spoken("lblBytesReceived"), QStringLiteral("Bytes received: 1234567"));
    QCOMPARE(spoken("lblSocketCount"), QStringLiteral("Socket count: 1"));
    QCOMPARE(spoken("lblStatus"), QStringLiteral("Online"));
    QCOMPARE(spoken("lstEvents"), QStringLiteral("Event log"));
    QCOMPARE(spoken("lvwClients"), QStringLiteral("Clients"));
    // The status's colour is its text's; its frame is a plain black line.
    const QImage status = w.widget("lblStatus")->grab().toImage();
    QCOMPARE(status.pixelColor(0, status.height() / 2), QColor(Qt::black));
    w.click("cmdStopServer");
    QCOMPARE(spoken("lblStatus"), QStringLiteral("Offline"));
}

void MainWindowTest::buttonsStopAndStartWithClientsConnected() {
    Window w;
    FakeClient& a = w.room.connectClient();
    FakeClient& b = w.room.connectClient();
    QCOMPARE(a.received(), QByteArray(":ID:1secret"));
    QCOMPARE(b.received(), QByteArray(":ID:2secret"));
    QCOMPARE(w.main.server().clients().rowCount(), 2);
    const qsizetype linesBefore = w.main.server().log().count();

    w.click("cmdStopServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Offline"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(w.main.server().clients().rowCount(), 0);
    QVERIFY(a.ended());
    QVERIFY(b.ended());
    QVERIFY(w.main.server().log().count() >= linesBefore); // the log is never cleared
    QVERIFY(!w.main.server().pool().Listening());

    w.click("cmdStartServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(w.room.connectClient().received(), QByteArray(":ID:1secret"));
    QCOMPARE(w.main.server().clients().rowCount(), 1);
    QCOMPARE(control<QTableView>(&w.main, "lvwClients")->model()->rowCount(), 1);

    // Start while listening changes nothing and logs nothing.
    const qsizetype lines = w.main.server().log().count();
    w.click("cmdStartServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.main.server().log().count(), lines);
}

void MainWindowTest::portTakenLeavesTheServerOffline() {
    FakeRoom room(false);
    room.socket(0)->failNext(FakeSocket::Op::Listen, {EADDRINUSE, QStringLiteral("FakeSocket"),
                                                      QStringLiteral("Address already in use")});
    fMain main(room.release());
    QCOMPARE(control<QLabel>(&main, "lblStatus")->text(), QStringLiteral("Offline"));
    QCOMPARE(control<QLabel>(&main, "lblStatus")->palette().color(QPalette::WindowText),
             QColor(Qt::red));
    EventLog& log = main.server().log();
    QVERIFY(log.count() >= 1);
    QCOMPARE(log.line(log.count() - 1), QByteArray("Start() failed"));
    QCOMPARE(log.selected(), -1);
}

void MainWindowTest::dataEventsFollowTheCheckBox() {
    Window w;
    FakeClient& client = w.room.connectClient();
    client.send("first");
    QVERIFY(w.room.lines().contains("Data on client 1 : first"));
    EventLog& log = w.main.server().log();
    QCOMPARE(log.selected(), log.count() - 1);

    QTest::mouseClick(control<QCheckBox>(&w.main, "chkDataEvents"), Qt::LeftButton);
    QVERIFY(!w.main.server().relay().showDataEvents());
    client.send("second");
    QCOMPARE(client.received(), QByteArray(":ID:1secretfirstsecond"));
    QVERIFY(!w.room.lines().contains("Data on client 1 : second"));
}

void MainWindowTest::passwordBoxPrefillsAndCancelEmpties() {
    Window w;
    QString label, title, prefill;
    const auto read = [&](QInputDialog* box) {
        label = box->labelText();
        title = box->windowTitle();
        prefill = box->textValue();
    };
    answerNextModal<QInputDialog>([&](QInputDialog* box) {
        read(box);
        box->setTextValue(QStringLiteral("n3w"));
        box->accept();
    });
    w.action("pass")->trigger();
    QCOMPARE(label, QStringLiteral("Enter a new password:"));
    QCOMPARE(title, QStringLiteral("Server Password"));
    QCOMPARE(prefill, QStringLiteral("secret"));
    QCOMPARE(Module1::ServerPassword, QByteArray("n3w"));
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: n3w"));

    answerNextModal<QInputDialog>([&](QInputDialog* box) {
        read(box);
        box->reject();
    });
    w.action("pass")->trigger();
    QCOMPARE(prefill, QStringLiteral("n3w"));
    QCOMPARE(Module1::ServerPassword, QByteArray());
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: "));
    QCOMPARE(w.room.connectClient().received(), QByteArray(":ID:1"));
}

void MainWindowTest::longTextIsLoggedCut() {
    Window w;
    const QByteArray big(1 << 20, 'x');
    w.room.connectClient().send(big);
    QCOMPARE(w.main.server().pool().BytesReceived(), qint64(big.size()));
    QCOMPARE(w.room.lines(), QList<QByteArray>{"Data on client 1 : " + QByteArray(1024, 'x') +
                                               " ... (1048576 bytes)"});
}

void MainWindowTest::exitShutsThePoolDown() {
    Window w;
    w.main.show();
    FakeClient& client = w.room.connectClient();
    QCOMPARE(client.received(), QByteArray(":ID:1secret"));
    w.action("FMess")->trigger();
    QVERIFY(w.main.messageWindow()->isVisible());

    w.action("FExit")->trigger();
    QVERIFY(!w.main.isVisible());
    QVERIFY(!w.main.messageWindow()->isVisible());
    QVERIFY(client.ended());
    QVERIFY(!w.main.server().pool().Listening());
    QCOMPARE(w.main.server().pool().SocketCount(), 0);
}

void MainWindowTest::closingTheWindowShutsThePoolDown() {
    Window w;
    w.main.show();
    FakeClient& client = w.room.connectClient();
    QVERIFY(w.main.close());
    QVERIFY(client.ended());
    QVERIFY(!w.main.server().pool().Listening());
}

// Ten clients keep the relay busy; the 100 ms refresh must keep coming all the same (it runs in
// the relay's own yields), not once the flood is over. The clients run on a thread of their own,
// as plain sockets, so that the load does not depend on the server's event loop.
void MainWindowTest::refreshKeepsRunningUnderAFlood() {
    const quint16 port = freeLoopbackPort();
    fMain main(std::make_unique<ServerControl>(port, QHostAddress::LocalHost));
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        QVERIFY(clients.back()->established());
    }
    QTRY_COMPARE_WITH_TIMEOUT(main.server().pool().ActiveClients(), 10, kWait);

    auto* timer = control<QTimer>(&main, "tmrProperties");
    // The load stops by itself, so that the wait below does not depend on this thread, busy with
    // the flood, getting back to it in time.
    QElapsedTimer clock;
    clock.start();
    // Ticks that came while the clients were still flooding, and the counts they showed.
    int ticks = 0;
    QSet<QString> countsShown;
    QObject::connect(timer, &QTimer::timeout, [&] {
        if (clock.elapsed() >= 1500)
            return;
        ++ticks;
        countsShown.insert(control<QLabel>(&main, "lblBytesReceived")->text());
    });
    std::thread load([&] {
        const std::string chunk(512, 'x');
        char sink[64 * 1024];
        while (clock.elapsed() < 1500)
            for (const auto& client : clients) {
                [[maybe_unused]] auto sent =
                    ::send(client->fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
                while (::recv(client->fd(), sink, sizeof sink, 0) > 0) {
                }
            }
    });
    QTest::qWait(1600);
    load.join();
    clients.clear();

    const qint64 relayed = main.server().pool().BytesReceived();
    QVERIFY2(relayed > 1024 * 1024, qPrintable(QString::number(relayed)));
    // About fifteen ticks are due during the flood; a refresh starved by it would show none.
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY2(countsShown.size() >= 3, qPrintable(QStringList(countsShown.values()).join(", ")));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
