// The client table: its row operations on their own, and its rows as clients come and go, over
// real sockets (addresses and a reset as the kernel reports them) and over the scriptable layer.
#include "ChatRoom.h"

using namespace talkmere;
using namespace talkmere::testing;

namespace {

QStringList row(ClientTable& table, int slot) {
    QStringList cells;
    const int at = table.FindRow(slot);
    for (int column = 0; at >= 0 && column < ClientTable::kColumns; ++column)
        cells << table.cell(at, column);
    return cells;
}

QStringList connectedRow(int slot, const ChatClient& client) {
    return {QString::number(slot),
            "Connected",
            "127.0.0.1",
            "127.0.0.1",
            QString::number(client.socket.localPort()),
            ""};
}

QStringList connectedRow(int slot, const FakeClient& client) {
    const FakeSocket::Peer peer = client.peer();
    return {QString::number(slot), "Connected", peer.host, peer.ip, QString::number(peer.port), ""};
}

QStringList closedRow(int slot, const QString& error = {}) {
    return {QString::number(slot), "Closed", "---", "---", "---", error};
}

const QString kReset = resetText();

} // namespace

class ClientTableTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword({}); }

    void findRowMatchesTheWholeKey() {
        ClientTable table;
        table.AddRow(10);
        table.AddRow(11);
        QCOMPARE(table.FindRow(1), -1);
        table.MarkClosed(1);
        table.MarkFailed(1, "boom");
        QCOMPARE(table.cell(0, 1), QString()); // row 10 untouched
        QCOMPARE(table.cell(1, 5), QString());
        table.AddRow(1);
        QCOMPARE(table.FindRow(1), 2);
        QCOMPARE(table.FindRow(10), 0);
        QCOMPARE(table.FindRow(11), 1);
        QCOMPARE(table.FindRow(0), -1);
    }

    void closeOrErrorWithoutRowAddsNothing() {
        ClientTable table;
        table.MarkClosed(4);
        table.MarkFailed(4, "gone");
        QCOMPARE(table.rowCount(), 0);
    }

    void headersOnceAndClearKeepsThem() {
        ClientTable table;
        QCOMPARE(table.columnCount(), 0);
        table.setUp();
        table.setUp();
        QCOMPARE(table.columnCount(), 6);
        QStringList headers;
        for (int c = 0; c < table.columnCount(); ++c)
            headers << table.headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, QStringList({"Index", "State", "RemoteHost", "RemoteHostIP", "RemotePort",
                                       "Error"}));
        table.AddRow(1);
        table.ClearRows();
        QCOMPARE(table.rowCount(), 0);
        QCOMPARE(table.columnCount(), 6);
    }

    void rowsFollowConnectCloseErrorReconnect() {
        ChatRoom room(false);
        ClientTable& table = room.server.clients();
        QVERIFY(room.join(3));
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(table.FindRow(n), n - 1);
            QCOMPARE(row(table, n), connectedRow(n, room.client(n)));
        }

        room.client(2).socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(row(table, 2), closedRow(2), kWait);

        room.client(3).reset();
        QTRY_COMPARE_WITH_TIMEOUT(row(table, 3), closedRow(3, kReset), kWait);
        // An error announces the departure too; with the switch off only the error is logged.
        room.client(1).send("end");
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received,
                                  QByteArray(":ID:1:USERSTAT2 209:USERSTAT3 309end"), kWait);
        QCOMPARE(room.lines(), QList<QByteArray>{"Error on client 3 : " + kReset.toUtf8()});

        // A later closure leaves the error where it is.
        QVERIFY(room.server.pool().CloseClient(3));
        QCOMPARE(row(table, 3), closedRow(3, kReset));

        // Reconnections take the lowest free slots and reuse their rows in place.
        ChatClient& second = room.connectClient();
        QTRY_COMPARE_WITH_TIMEOUT(second.received, QByteArray(":ID:2"), kWait);
        ChatClient& third = room.connectClient();
        QTRY_COMPARE_WITH_TIMEOUT(third.received, QByteArray(":ID:3"), kWait);
        QCOMPARE(table.rowCount(), 3);
        QCOMPARE(table.FindRow(2), 1);
        QCOMPARE(table.FindRow(3), 2);
        QCOMPARE(row(table, 2), connectedRow(2, second));
        QCOMPARE(row(table, 3), connectedRow(3, third));
    }

    void slotTenRowComesAfterSlotNine() {
        FakeRoom room;
        QVERIFY(room.join(10));
        ClientTable& table = room.server.clients();
        QCOMPARE(table.rowCount(), 10);
        for (int n = 1; n <= 10; ++n)
            QCOMPARE(table.cell(n - 1, 0), QString::number(n));
        room.client(1).leave();
        QCOMPARE(row(table, 1), closedRow(1));
        QCOMPARE(row(table, 10), connectedRow(10, room.client(10)));
    }

    void stopEmptiesTableAndNextClientStartsAtTheTop() {
        FakeRoom room;
        QVERIFY(room.join(2));
        room.server.stopServer();
        QCOMPARE(room.server.clients().rowCount(), 0);
        room.clients.clear();
        room.server.startServer();
        QVERIFY(room.join(1));
        QCOMPARE(room.server.clients().rowCount(), 1);
        QCOMPARE(row(room.server.clients(), 1), connectedRow(1, room.client(1)));
    }
};

QTEST_GUILESS_MAIN(ClientTableTest)
#include "tst_server_client_table.moc"
