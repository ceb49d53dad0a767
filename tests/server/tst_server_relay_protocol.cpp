// The relay protocol over real loopback connections: greetings, echo, routing, server messages
// and departures, as the clients see them byte for byte.
#include "ChatRoom.h"

using namespace talkmere;
using namespace talkmere::testing;

class RelayProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword({}); }

    void greetingCarriesSlotAndPassword() {
        ChatRoom room;
        QVERIFY(room.join(1)); // exactly ":ID:1" with no password
        room.server.changePassword(" ");
        QVERIFY(room.join(1));
        QCOMPARE(room.client(2).received, QByteArray(":ID:2 "));
    }

    void changedPasswordReachesOnlyLaterClients() {
        ChatRoom room;
        room.server.changePassword("alpha");
        QVERIFY(room.join(1));
        room.server.changePassword("beta");
        QVERIFY(room.join(1));
        QCOMPARE(room.client(2).received, QByteArray(":ID:2beta"));
        room.client(2).send("end");
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, QByteArray(":ID:1alphaend"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(2).received, QByteArray(":ID:2betaend"), kWait);
    }

    void broadcastEchoesToEveryoneWithLogLine() {
        ChatRoom room;
        QVERIFY(room.join(3));
        room.client(2).send("hello");
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(room.client(n).received,
                                      ":ID:" + QByteArray::number(n) + "hello", kWait);
        QCOMPARE(room.lines(), QList<QByteArray>{"Data on client 2 : hello"});
    }

    // Client 2 sends the text; then client 1 broadcasts "end", which every client receives after
    // whatever the text gave it.
    void routing_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("to1");
        QTest::addColumn<QByteArray>("to2");
        QTest::addColumn<QByteArray>("to3");
        QTest::newRow("private") << QByteArray("@3hi there") << QByteArray() << QByteArray()
                                 << QByteArray("hi there");
        QTest::newRow("private empty")
            << QByteArray("@3") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("one digit only")
            << QByteArray("@12x") << QByteArray("2x") << QByteArray() << QByteArray();
        QTest::newRow("to self") << QByteArray("@2me") << QByteArray() << QByteArray("me")
                                 << QByteArray();
        for (const char* text : {"x@3", ":ser:fake", ":ID:9pw", ":USERSTAT1 109", " @1"})
            QTest::newRow(text) << QByteArray(text) << QByteArray(text) << QByteArray(text)
                                << QByteArray(text);
        for (const char* text : {"@x", "@", "@0hi", "@7hi", "@ 1"})
            QTest::newRow(text) << QByteArray(text) << QByteArray() << QByteArray() << QByteArray();
    }
    void routing() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, to1);
        QFETCH(QByteArray, to2);
        QFETCH(QByteArray, to3);
        ChatRoom room;
        QVERIFY(room.join(3));
        room.client(2).send(text);
        QVERIFY(room.logged("Data on client 2 : " + text));
        room.client(1).send("end");
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, ":ID:1" + to1 + "end", kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(2).received, ":ID:2" + to2 + "end", kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(3).received, ":ID:3" + to3 + "end", kWait);
        QCOMPARE(room.server.pool().ActiveClients(), 3);
    }

    void undeliverablePrivateMessagesHarmNobody() {
        ChatRoom room;
        QVERIFY(room.join(3));
        room.client(3).socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, QByteArray(":ID:1:USERSTAT3 309"),
                                  kWait);
        // A slot that had a client, one the pool never made, the listener, and no digit at all.
        for (const QByteArray text : {"@3late", "@9never", "@0listener", "@!x"}) {
            room.client(2).send(text);
            QVERIFY(room.logged("Data on client 2 : " + text));
        }
        room.client(2).send("still here");
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received,
                                  QByteArray(":ID:1:USERSTAT3 309still here"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(2).received,
                                  QByteArray(":ID:2:USERSTAT3 309still here"), kWait);
        QVERIFY(room.client(2).connected());
        QVERIFY(room.server.online());
        ChatClient& again = room.connectClient();
        QTRY_COMPARE_WITH_TIMEOUT(again.received, QByteArray(":ID:3"), kWait);
    }

    void serverMessagesReachEveryone() {
        ChatRoom room;
        QVERIFY(room.join(2));
        room.server.sendServerMessage("line one\nline two\r\n");
        room.server.sendServerMessage("");
        for (int n = 1; n <= 2; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(
                room.client(n).received,
                ":ID:" + QByteArray::number(n) + ":ser:line one\nline two\r\n:ser:", kWait);
        QVERIFY(room.lines().isEmpty()); // a server message writes no log line
    }

    void departureAnnouncedToTheRest() {
        ChatRoom room;
        QVERIFY(room.join(4));
        room.client(4).socket.disconnectFromHost();
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE_WITH_TIMEOUT(room.client(n).received,
                                      ":ID:" + QByteArray::number(n) + ":USERSTAT4 409", kWait);
        QCOMPARE(room.lines(), QList<QByteArray>{"Data on client 4 : :USERSTAT4 09"});
        // Last words and the close may reach the server together: the words still go out first.
        room.client(2).send("bye");
        room.client(2).socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, ":ID:1:USERSTAT4 409bye:USERSTAT2 209",
                                  kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(3).received, ":ID:3:USERSTAT4 409bye:USERSTAT2 209",
                                  kWait);
    }

    void tenthSlotGreetedNotAddressableAndAnnounced() {
        ChatRoom room;
        QVERIFY(room.join(10));
        QCOMPARE(room.client(10).received, QByteArray(":ID:10"));

        // Past the limit of ten: hung up at once, never greeted.
        ChatClient& extra = room.connectClient();
        QTRY_COMPARE_WITH_TIMEOUT(extra.socket.state(), QAbstractSocket::UnconnectedState, kWait);
        QVERIFY(extra.received.isEmpty());
        room.clients.pop_back();

        room.client(2).send("@10hi");
        QVERIFY(room.logged("Data on client 2 : @10hi"));
        room.client(10).send("ten");
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, QByteArray(":ID:10hiten"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(10).received, QByteArray(":ID:10ten"), kWait);

        room.client(10).socket.disconnectFromHost();
        for (int n = 1; n <= 9; ++n) {
            const QByteArray tail = n == 1 ? "0hiten" : "ten";
            QTRY_COMPARE_WITH_TIMEOUT(room.client(n).received,
                                      ":ID:" + QByteArray::number(n) + tail + ":USERSTAT10 1009",
                                      kWait);
        }
    }

    void longTextRelayedWholeAndLoggedCut() {
        ChatRoom room;
        QVERIFY(room.join(2));
        QByteArray text(2000, 'a');
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = static_cast<char>('a' + i % 26);
        room.client(1).send(text);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(2).received, ":ID:2" + text, kWait);
        QCOMPARE(room.lines(),
                 QList<QByteArray>{"Data on client 1 : " + text.left(1024) + " ... (2000 bytes)"});
    }
};

QTEST_GUILESS_MAIN(RelayProtocolTest)
#include "tst_server_relay_protocol.moc"
