// Starting and stopping the server, also from inside its own yields, a taken port, and the
// bounded event log with its selection.
#include "ChatRoom.h"
#include "FlagRows.h"

#include <QTcpServer>

#include <utility>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

QByteArray numbered(qsizetype n) {
    return "line " + QByteArray::number(n);
}

// The client table as "slot state" lines.
QStringList rows(ClientTable& table) {
    QStringList rows;
    for (int row = 0; row < table.rowCount(); ++row)
        rows << table.cell(row, 0) + " " + table.cell(row, 1);
    return rows;
}

} // namespace

class ServerControlTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword({}); }

    void stopAnnouncesToHigherSlotsAndCompletes() {
        FakeRoom room;
        QVERIFY(room.join(3));
        QStringList statesSeen; // each row as the stop's closure handling left it
        connect(&room.server.pool(), &ZeviderUrive::ConnectionClosed, this, [&](qint32 slot) {
            ClientTable& table = room.server.clients();
            statesSeen << table.cell(table.FindRow(slot), 1);
        });
        room.server.stopServer();

        QCOMPARE(statesSeen, QStringList({"Closed", "Closed", "Closed"}));
        QVERIFY(!room.server.online());
        QCOMPARE(room.server.statusText(), QString("Offline"));
        QCOMPARE(room.server.statusColour(), Qt::red);
        QCOMPARE(room.server.clients().rowCount(), 0);
        QCOMPARE(room.server.pool().SocketCount(), 0);
        QCOMPARE(room.server.pool().ActiveClients(), 0);
        QCOMPARE(room.lines(), QList<QByteArray>({"Data on client 1 : :USERSTAT1 09",
                                                  "Data on client 2 : :USERSTAT2 09",
                                                  "Data on client 3 : :USERSTAT3 09"}));
        for (int n = 1; n <= 3; ++n)
            QVERIFY(room.client(n).ended());
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1"));
        QCOMPARE(room.client(2).received(), QByteArray(":ID:2:USERSTAT1 109"));
        QCOMPARE(room.client(3).received(), QByteArray(":ID:3:USERSTAT1 109:USERSTAT2 209"));
    }

    // Slot 2 has left, and slot 3 leaves in order or by a reset; the stop comes afterwards, or in
    // the yield after slot 3's departure reached slot 4. No slot is announced twice.
    void stopCompletesWithLeftAndFailedSlots_data() {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<bool>("inside");
        QTest::newRow("closed, stop after") << false << false;
        QTest::newRow("reset, stop after") << true << false;
        QTest::newRow("closed, stop inside its departure") << false << true;
        QTest::newRow("reset, stop inside its departure") << true << true;
    }
    void stopCompletesWithLeftAndFailedSlots() {
        QFETCH(bool, reset);
        QFETCH(bool, inside);
        FakeRoom room;
        QVERIFY(room.join(4));
        room.client(2).leave();
        bool stopped = false;
        room.layer.onYield = [&] {
            if (inside && !stopped && room.client(4).received().endsWith(":USERSTAT3 309")) {
                stopped = true;
                room.server.stopServer();
            }
        };
        reset ? room.client(3).reset() : room.client(3).leave();
        if (!stopped)
            room.server.stopServer();

        QVERIFY(!room.server.online());
        QCOMPARE(room.server.clients().rowCount(), 0);
        QCOMPARE(room.server.pool().SocketCount(), 0);
        QVERIFY(room.client(4).ended());
        QCOMPARE(room.client(4).received(),
                 QByteArray(":ID:4:USERSTAT2 209:USERSTAT3 309:USERSTAT1 109"));
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1:USERSTAT2 209:USERSTAT3 309"));
        QList<QByteArray> lines = {"Data on client 2 : :USERSTAT2 09"};
        if (reset)
            lines << "Error on client 3 : " + resetText().toUtf8();
        lines << "Data on client 3 : :USERSTAT3 09"
              << "Data on client 1 : :USERSTAT1 09"
              << "Data on client 4 : :USERSTAT4 09";
        QCOMPARE(room.lines(), lines);
        QCOMPARE(stopped, inside);
    }

    // The operator's Stop can run inside the yield of a broadcast (here: as soon as the first
    // client is handed the text); the broadcast then finds the other clients gone, and the stop
    // must still complete.
    void stopInsideABroadcastCompletes() {
        FakeRoom room;
        QVERIFY(room.join(3));
        bool stopped = false;
        room.layer.onYield = [&] {
            if (!std::exchange(stopped, true))
                room.server.stopServer();
        };
        room.client(2).send("hello");
        QVERIFY(stopped);
        QVERIFY(!room.server.online());
        QCOMPARE(room.server.clients().rowCount(), 0);
        for (auto& c : room.clients)
            QVERIFY(c->ended());
        QCOMPARE(room.server.pool().SocketCount(), 0);
        QCOMPARE(room.server.pool().ActiveClients(), 0);
        QVERIFY(!room.lines().contains("Shutdown() failed"));
        // Only slot 1 had the text when the stop came; the others hear only the departures.
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1hello"));
        QCOMPARE(room.client(3).received(), QByteArray(":ID:3:USERSTAT1 109:USERSTAT2 209"));

        room.layer.onYield = nullptr;
        room.clients.clear();
        room.server.startServer();
        QVERIFY(room.join(2));
        QCOMPARE(room.server.pool().ActiveClients(), 2);
    }

    // Start, and Exit, pressed while a stop announces its departures (in the yields of the first
    // announcement): the status must say whether the server listens, the table must show every
    // connected client, and a new client must take the lowest free number.
    void startAndExitInsideAStopLeaveTheServerAsItIs() {
        FakeRoom room;
        QVERIFY(room.join(4));
        room.client(3).leave(); // a closed slot, still there, above the first departure
        bool pressed = false;
        room.layer.onYield = [&] {
            if (std::exchange(pressed, true))
                return;
            room.server.startServer();
            room.connectClient(); // takes slot 1, whose departure is being announced
            room.connectClient(); // takes slot 3, which the stop has not reached yet
        };
        room.server.stopServer();
        QVERIFY(pressed);
        QVERIFY(room.server.online());
        QCOMPARE(room.server.statusText(), QString("Online"));
        QCOMPARE(room.server.pool().ConnectedClients(), QList<qint32>({1, 3}));
        QCOMPARE(rows(room.server.clients()), QStringList({"1 Connected", "3 Connected"}));
        QCOMPARE(room.socket(1)->sent,
                 QList<QByteArray>({":ID:1", ":USERSTAT2 209", ":USERSTAT4 409"}));
        room.connectClient();
        QCOMPARE(room.server.pool().ConnectedClients(), QList<qint32>({1, 2, 3}));
        QCOMPARE(room.socket(2)->sent, QList<QByteArray>({":ID:2"}));

        // Exit inside the next stop: no start may open the listener again.
        pressed = false;
        room.layer.onYield = [&] {
            if (std::exchange(pressed, true))
                return;
            room.server.shutdownForExit();
            room.server.startServer();
        };
        room.server.stopServer();
        QVERIFY(pressed);
        QVERIFY(!room.server.online());
        QVERIFY(!room.server.pool().Listening());
        QCOMPARE(room.server.pool().SocketCount(), 0);
        QCOMPARE(room.server.clients().rowCount(), 0);
    }

    // Stop, Start and Stop again in one announcement's yield: the last one holds.
    void aStopAfterAStartInsideAStopEmptiesTheServer() {
        FakeRoom room;
        QVERIFY(room.join(3));
        bool pressed = false;
        room.layer.onYield = [&] {
            if (std::exchange(pressed, true))
                return;
            room.server.startServer();
            room.connectClient();
            room.server.stopServer();
        };
        room.server.stopServer();
        QVERIFY(pressed);
        QVERIFY(!room.server.online());
        QCOMPARE(room.server.pool().SocketCount(), 0);
        QCOMPARE(room.server.clients().rowCount(), 0);
        room.server.startServer();
        room.connectClient();
        QCOMPARE(room.server.pool().ConnectedClients(), QList<qint32>({1}));
    }

    void stopWhileOfflineSucceeds() {
        FakeRoom room;
        room.server.stopServer();
        room.server.stopServer();
        QVERIFY(!room.server.online());
        QCOMPARE(room.server.statusText(), QString("Offline"));
        QVERIFY(room.lines().isEmpty());
    }

    void restartCyclesNumberFromOneAndKeepTheLog() {
        FakeRoom room;
        for (int cycle = 0; cycle < 3; ++cycle) {
            QVERIFY(room.server.online());
            QVERIFY(room.join(2));
            room.client(2).send("hi");
            QCOMPARE(room.client(1).received(), QByteArray(":ID:1hi"));
            room.server.stopServer();
            for (auto& c : room.clients)
                QVERIFY(c->ended());
            room.clients.clear();
            QCOMPARE(room.server.log().count(), 3 * (cycle + 1));
            room.server.startServer();
        }
        QCOMPARE(room.server.statusText(), QString("Online"));
        QCOMPARE(room.server.statusColour(), Qt::blue);
    }

    void takenPortLeavesServerOfflineThenStarts() {
        const quint16 port = freeLoopbackPort();
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, port));
        ServerControl server(port, QHostAddress::LocalHost);
        server.log().appendAndSelect("first");
        server.log().appendAndSelect("second");
        server.log().select(0);
        server.startServer();
        QVERIFY(!server.online());
        QCOMPARE(server.statusText(), QString("Offline"));
        QCOMPARE(server.log().count(), 3);
        QCOMPARE(server.log().line(2), QByteArray("Start() failed"));
        QCOMPARE(server.log().selected(), 0);

        squatter.close();
        server.startServer();
        QVERIFY(server.online());
        ChatClient client(port);
        QTRY_COMPARE_WITH_TIMEOUT(client.received, QByteArray(":ID:1"), kWait);
    }

    void listenerFailureLeavesServerOfflineAndSaysWhy_data() {
        flagRows("inAccept", "the listener fails", "a connection request fails");
    }
    void listenerFailureLeavesServerOfflineAndSaysWhy() {
        QFETCH(bool, inAccept);
        FakeRoom room;
        QVERIFY(room.join(1));
        FakeSocket* listener = room.socket(0);
        if (inAccept) {
            room.layer.failNextCreate = ErrorInfo{EMFILE, "FakeSocket", "broken"};
            listener->raiseConnectionRequest(99);
        } else {
            listener->raiseError(EIO, "broken");
        }
        QCOMPARE(room.server.statusText(), QString("Offline"));
        QCOMPARE(room.lines().last(), QByteArray("Error on client 0 : broken"));
        room.server.startServer(); // the operator starts it again
        QCOMPARE(room.server.statusText(), QString("Online"));
        QVERIFY(room.server.pool().Listening());
    }

    void relayLinesSelectNewestAndObeyTheSwitch() {
        FakeRoom room;
        room.server.relay().setShowDataEvents(false);
        QVERIFY(room.join(2));
        room.client(2).send("quiet");
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1quiet"));
        QVERIFY(room.lines().isEmpty());

        room.server.log().appendOnly("operator's");
        room.server.log().select(0);
        room.server.relay().setShowDataEvents(true);
        room.client(2).send("hello");
        QCOMPARE(room.lines(), QList<QByteArray>({"operator's", "Data on client 2 : hello"}));
        QCOMPARE(room.server.log().selected(), 1);
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1quiethello"));
    }

    void appendFormsAndSelection() {
        EventLog log;
        log.appendOnly("a");
        QCOMPARE(log.selected(), -1);
        log.appendAndSelect("b");
        QCOMPARE(log.selected(), 1);
        log.appendOnly("c");
        QCOMPARE(log.selected(), 1);
        log.select(0);
        log.appendOnly("d");
        QCOMPARE(log.selected(), 0);
        log.appendAndSelect("e");
        QCOMPARE(log.selected(), 4);
        QCOMPARE(log.line(4), QByteArray("e"));
    }

    void ringDropsOldestAndKeepsSelectionOnItsLine() {
        EventLog log;
        const qsizetype total = EventLog::kMaxLines + 5;
        for (qsizetype n = 0; n < total; ++n)
            log.appendAndSelect(numbered(n));
        QCOMPARE(log.count(), EventLog::kMaxLines);
        QCOMPARE(log.selected(), EventLog::kMaxLines - 1);
        for (qsizetype i :
             {qsizetype(0), qsizetype(1), EventLog::kMaxLines / 2, EventLog::kMaxLines - 1})
            QCOMPARE(log.line(i), numbered(i + 5));

        log.select(10);
        for (int n = 0; n < 3; ++n)
            log.appendOnly("more");
        QCOMPARE(log.selected(), 7);
        QCOMPARE(log.line(log.selected()), numbered(15));
        QCOMPARE(log.line(EventLog::kMaxLines - 1), QByteArray("more"));

        log.select(0);
        log.appendOnly("pushes the selected line out");
        QCOMPARE(log.selected(), -1);
        log.appendAndSelect("last");
        QCOMPARE(log.selected(), EventLog::kMaxLines - 1);
        QCOMPARE(log.line(log.selected()), QByteArray("last"));
    }

    void longTextsAreCutForTheLog() {
        const QByteArray exact(EventLog::kMaxLoggedText, 'x');
        QCOMPARE(EventLog::clipped(exact), exact);
        QCOMPARE(EventLog::clipped(QByteArray()), QByteArray());
        const QByteArray over = exact + "yz";
        QCOMPARE(EventLog::clipped(over), exact + " ... (1026 bytes)");
    }
};

QTEST_GUILESS_MAIN(ServerControlTest)
#include "tst_server_control.moc"
