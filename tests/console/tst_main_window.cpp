// fMain around a real server on a loopback port: what load leaves behind, the layout on real
// widgets, the statistics tick, the buttons with real clients, the password box and the way out.

#include "ConsoleRig.h"
#include "EventLogView.h"
#include "Module1.h"
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
#include <QTcpServer>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

struct Window {
    Window() : port(freeLoopbackPort()), main(loopbackServer(port)) {}
    Window(const Window&) = delete;

    QLabel* label(const char* name) const { return control<QLabel>(&main, name); }
    QWidget* widget(const char* name) const { return control<QWidget>(&main, name); }
    QAction* action(const char* name) const { return control<QAction>(&main, name); }
    void click(const char* name) const {
        QTest::mouseClick(control<QPushButton>(&main, name), Qt::LeftButton);
    }
    bool logHas(const QByteArray& line) {
        EventLog& log = main.server().log();
        for (qsizetype i = 0; i < log.count(); ++i)
            if (log.line(i) == line)
                return true;
        return false;
    }

    quint16 port;
    fMain main;
};

// Answers the modal input box that the next action opens, once it is up.
void answerInputBox(const std::function<void(QInputDialog*)>& answer, QString* label,
                    QString* title, QString* prefill) {
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        *label = box->labelText();
        *title = box->windowTitle();
        *prefill = box->textValue();
        answer(box);
    });
}

} // namespace

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
    QCOMPARE(w.main.windowTitle(), QStringLiteral("Talkmere Server - Version: 1.1.3"));
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: secret"));
    QVERIFY(control<QCheckBox>(&w.main, "chkDataEvents")->isChecked());
    QVERIFY(w.main.server().relay().showDataEvents());
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(w.main.server().clients().columnCount(), 6);
    QCOMPARE(control<QTimer>(&w.main, "tmrProperties")->interval(), 100);
    QVERIFY(control<QTimer>(&w.main, "tmrProperties")->isActive());

    // Listening without anyone pressing Start: a client is greeted with the password.
    Client client(w.port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray(":ID:1secret"), kWait);

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

    // Real traffic is counted; a client's text comes back to it, so both counts move.
    Client client(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(client.received.startsWith(":ID:1"), kWait);
    client.send("hello");
    QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith("hello"), kWait);
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
    w.click("cmdStopServer");
    QCOMPARE(spoken("lblStatus"), QStringLiteral("Offline"));
}

void MainWindowTest::buttonsStopAndStartWithClientsConnected() {
    Window w;
    Client a(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(a.received.startsWith(":ID:1"), kWait);
    Client b(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(b.received.startsWith(":ID:2"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(w.main.server().clients().rowCount(), 2, kWait);
    const qsizetype linesBefore = w.main.server().log().count();

    w.click("cmdStopServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Offline"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(w.main.server().clients().rowCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(a.socket.state(), QAbstractSocket::UnconnectedState, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(b.socket.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY(w.main.server().log().count() >= linesBefore); // the log is never cleared

    Client refused(w.port);
    QTRY_COMPARE_WITH_TIMEOUT(refused.socket.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY(refused.received.isEmpty());

    w.click("cmdStartServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.label("lblStatus")->palette().color(QPalette::WindowText), QColor(Qt::blue));
    Client c(w.port);
    QTRY_COMPARE_WITH_TIMEOUT(c.received, QByteArray(":ID:1secret"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(w.main.server().clients().rowCount(), 1, kWait);
    QCOMPARE(control<QTableView>(&w.main, "lvwClients")->model()->rowCount(), 1);

    // Start while listening changes nothing and logs nothing.
    const qsizetype lines = w.main.server().log().count();
    w.click("cmdStartServer");
    QCOMPARE(w.label("lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(w.main.server().log().count(), lines);
}

void MainWindowTest::portTakenLeavesTheServerOffline() {
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    fMain main(loopbackServer(squatter.serverPort()));
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
    Client client(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(client.received.startsWith(":ID:1"), kWait);
    client.send("first");
    QTRY_VERIFY_WITH_TIMEOUT(w.logHas("Data on client 1 : first"), kWait);
    EventLog& log = w.main.server().log();
    QCOMPARE(log.selected(), log.count() - 1);

    QTest::mouseClick(control<QCheckBox>(&w.main, "chkDataEvents"), Qt::LeftButton);
    QVERIFY(!w.main.server().relay().showDataEvents());
    client.send("second");
    QTRY_VERIFY_WITH_TIMEOUT(client.received.endsWith("second"), kWait);
    QVERIFY(!w.logHas("Data on client 1 : second"));
}

void MainWindowTest::passwordBoxPrefillsAndCancelEmpties() {
    Window w;
    QString label, title, prefill;
    answerInputBox(
        [](QInputDialog* box) {
            box->setTextValue(QStringLiteral("n3w"));
            box->accept();
        },
        &label, &title, &prefill);
    w.action("pass")->trigger();
    QCOMPARE(label, QStringLiteral("Enter a new password:"));
    QCOMPARE(title, QStringLiteral("Server Password"));
    QCOMPARE(prefill, QStringLiteral("secret"));
    QCOMPARE(Module1::ServerPassword, QByteArray("n3w"));
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: n3w"));

    answerInputBox([](QInputDialog* box) { box->reject(); }, &label, &title, &prefill);
    w.action("pass")->trigger();
    QCOMPARE(prefill, QStringLiteral("n3w"));
    QCOMPARE(Module1::ServerPassword, QByteArray());
    QCOMPARE(w.action("pass")->text(), QStringLiteral("Server Password: "));
    Client client(w.port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray(":ID:1"), kWait);
}

void MainWindowTest::longTextIsLoggedCut() {
    Window w;
    Client client(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(client.received.startsWith(":ID:1"), kWait);
    const QByteArray big(1 << 20, 'x');
    client.send(big);
    QTRY_COMPARE_WITH_TIMEOUT(w.main.server().pool().BytesReceived(), qint64(big.size()), kWait);
    EventLog& log = w.main.server().log();
    qsizetype dataLines = 0;
    for (qsizetype i = 0; i < log.count(); ++i) {
        if (!log.line(i).startsWith("Data on client 1 : "))
            continue;
        ++dataLines;
        QVERIFY2(log.line(i).size() < 19 + EventLog::kMaxLoggedText + 40, log.line(i).left(80));
    }
    QVERIFY(dataLines >= 1);
}

void MainWindowTest::exitShutsThePoolDown() {
    Window w;
    w.main.show();
    Client client(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(client.received.startsWith(":ID:1"), kWait);
    w.action("FMess")->trigger();
    QVERIFY(w.main.messageWindow()->isVisible());

    w.action("FExit")->trigger();
    QVERIFY(!w.main.isVisible());
    QVERIFY(!w.main.messageWindow()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, kWait);
    Client late(w.port);
    QTRY_COMPARE_WITH_TIMEOUT(late.socket.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY(late.received.isEmpty());
}

void MainWindowTest::closingTheWindowShutsThePoolDown() {
    Window w;
    w.main.show();
    Client client(w.port);
    QTRY_VERIFY_WITH_TIMEOUT(client.received.startsWith(":ID:1"), kWait);
    QVERIFY(w.main.close());
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, kWait);
}

// Ten clients keep the relay busy; the 100 ms refresh must keep coming all the same (it runs in
// the relay's own yields), not once the flood is over. The clients run on a thread of their own,
// as plain sockets, so that the load does not depend on the server's event loop.
void MainWindowTest::refreshKeepsRunningUnderAFlood() {
    Window w;
    std::vector<int> sockets;
    for (int i = 0; i < 10; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(w.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        sockets.push_back(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.main.server().pool().ActiveClients(), 10, kWait);

    auto* timer = control<QTimer>(&w.main, "tmrProperties");
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
        countsShown.insert(w.label("lblBytesReceived")->text());
    });
    std::thread load([&] {
        const std::string chunk(512, 'x');
        char sink[64 * 1024];
        while (clock.elapsed() < 1500)
            for (int fd : sockets) {
                [[maybe_unused]] auto sent = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                while (::recv(fd, sink, sizeof sink, 0) > 0) {
                }
            }
    });
    QTest::qWait(1600);
    load.join();
    for (int fd : sockets)
        ::close(fd);

    const qint64 relayed = w.main.server().pool().BytesReceived();
    QVERIFY2(relayed > 1024 * 1024, qPrintable(QString::number(relayed)));
    // About fifteen ticks are due during the flood; a refresh starved by it would show none.
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY2(countsShown.size() >= 3, qPrintable(QStringList(countsShown.values()).join(", ")));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
