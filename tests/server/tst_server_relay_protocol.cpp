// The relay protocol: greetings, echo, routing, server messages and departures, as the clients
// see them byte for byte. On the scriptable layer, but for last words that reach the server
// together with the close, which only real sockets do.
#include "ChatRoom.h"

using namespace talkmere;
using namespace talkmere::testing;

using Texts = QList<QByteArray>;

class RelayProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword({}); }

    void greetingCarriesSlotAndPassword() {
        FakeRoom room;
        QVERIFY(room.join(1));
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1")); // no password, nothing after
        room.server.changePassword(" ");
        QVERIFY(room.join(1));
        QCOMPARE(room.client(2).received(), QByteArray(":ID:2 "));
        QCOMPARE(room.socket(2)->sent, Texts{":ID:2 "}); // one text, as it is
    }

    void changedPasswordReachesOnlyLaterClients() {
        FakeRoom room;
        room.server.changePassword("alpha");
        QVERIFY(room.join(1));
        room.server.changePassword("beta");
        QVERIFY(room.join(1));
        QCOMPARE(room.client(2).received(), QByteArray(":ID:2beta"));
        room.client(2).send("end");
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1alphaend"));
        QCOMPARE(room.client(2).received(), QByteArray(":ID:2betaend"));
    }

    void broadcastEchoesToEveryoneWithLogLine() {
        FakeRoom room;
        QVERIFY(room.join(3));
        // The line is written before anything goes out.
        Texts linesAtFirstSend;
        room.layer.onYield = [&] {
            if (linesAtFirstSend.isEmpty())
                linesAtFirstSend = room.lines();
        };
        room.client(2).send("hello");
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(room.socket(n)->sent, Texts({protocol::greeting(n, {}), QByteArray("hello")}));
        QCOMPARE(room.lines(), Texts{"Data on client 2 : hello"});
        QCOMPARE(linesAtFirstSend, room.lines());
    }

    // Client 2 sends the text; the texts each client is then sent, after its greeting.
    void routing_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Texts>("to1");
        QTest::addColumn<Texts>("to2");
        QTest::addColumn<Texts>("to3");
        QTest::newRow("private") << QByteArray("@3hi there") << Texts{} << Texts{}
                                 << Texts{"hi there"};
        QTest::newRow("private empty") << QByteArray("@3") << Texts{} << Texts{} << Texts{""};
        QTest::newRow("one digit only") << QByteArray("@12x") << Texts{"2x"} << Texts{} << Texts{};
        QTest::newRow("to self") << QByteArray("@2me") << Texts{} << Texts{"me"} << Texts{};
        for (const char* text : {"x@3", ":ser:fake", ":ID:9pw", ":USERSTAT1 109", " @1"})
            QTest::newRow(text) << QByteArray(text) << Texts{text} << Texts{text} << Texts{text};
        for (const char* text : {"@x", "@", "@0hi", "@7hi", "@ 1"})
            QTest::newRow(text) << QByteArray(text) << Texts{} << Texts{} << Texts{};
    }
    void routing() {
        QFETCH(QByteArray, text);
        QFETCH(Texts, to1);
        QFETCH(Texts, to2);
        QFETCH(Texts, to3);
        FakeRoom room;
        QVERIFY(room.join(3));
        room.client(2).send(text);
        QCOMPARE(room.lines(), Texts{protocol::dataLine(2, text)});
        QCOMPARE(room.socket(1)->sent, Texts{":ID:1"} + to1);
        QCOMPARE(room.socket(2)->sent, Texts{":ID:2"} + to2);
        QCOMPARE(room.socket(3)->sent, Texts{":ID:3"} + to3);
        QCOMPARE(room.server.pool().ActiveClients(), 3);
    }

    void undeliverablePrivateMessagesHarmNobody() {
        FakeRoom room;
        QVERIFY(room.join(3));
        room.client(3).leave();
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1:USERSTAT3 309"));
        // A slot that had a client, one the pool never made, the listener, and no digit at all.
        for (const QByteArray text : {"@3late", "@9never", "@0listener", "@!x"})
            room.client(2).send(text);
        QCOMPARE(room.lines().mid(1),
                 Texts({"Data on client 2 : @3late", "Data on client 2 : @9never",
                        "Data on client 2 : @0listener", "Data on client 2 : @!x"}));
        room.client(2).send("still here");
        QCOMPARE(room.client(1).received(), QByteArray(":ID:1:USERSTAT3 309still here"));
        QCOMPARE(room.client(2).received(), QByteArray(":ID:2:USERSTAT3 309still here"));
        QCOMPARE(room.client(3).received(), QByteArray(":ID:3"));
        QCOMPARE(room.client(2).slot(), 2);
        QVERIFY(room.server.online());
        QCOMPARE(room.connectClient().received(), QByteArray(":ID:3"));
    }

    void serverMessagesReachEveryone() {
        FakeRoom room;
        QVERIFY(room.join(2));
        room.server.sendServerMessage("line one\nline two\r\n");
        room.server.sendServerMessage("");
        for (int n = 1; n <= 2; ++n)
            QCOMPARE(room.socket(n)->sent,
                     Texts({protocol::greeting(n, {}), ":ser:line one\nline two\r\n", ":ser:"}));
        QVERIFY(room.lines().isEmpty()); // a server message writes no log line
    }

    void departureAnnouncedToTheRest() {
        FakeRoom room;
        QVERIFY(room.join(4));
        room.client(4).leave();
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(room.client(n).received(), protocol::greeting(n, {}) + ":USERSTAT4 409");
        QCOMPARE(room.client(4).received(), QByteArray(":ID:4"));
        QVERIFY(room.client(4).ended());
        QCOMPARE(room.lines(), Texts{"Data on client 4 : :USERSTAT4 09"});
    }

    // Last words and the close may reach the server together: the words still go out first.
    void lastWordsGoOutBeforeTheDeparture() {
        ChatRoom room;
        QVERIFY(room.join(3));
        room.client(2).send("bye");
        room.client(2).socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(room.client(1).received, ":ID:1bye:USERSTAT2 209", kWait);
        QTRY_COMPARE_WITH_TIMEOUT(room.client(3).received, ":ID:3bye:USERSTAT2 209", kWait);
        QCOMPARE(room.lines(),
                 Texts({"Data on client 2 : bye", "Data on client 2 : :USERSTAT2 09"}));
    }

    void tenthSlotGreetedNotAddressableAndAnnounced() {
        FakeRoom room;
        QVERIFY(room.join(10));
        QCOMPARE(room.client(10).received(), QByteArray(":ID:10"));

        // Past the limit of ten: never taken, never greeted.
        FakeClient& extra = room.connectClient();
        QVERIFY(!extra.accepted());
        QCOMPARE(room.server.pool().SocketCount(), 10);
        room.clients.pop_back();

        room.client(2).send("@10hi");
        QCOMPARE(room.lines().last(), QByteArray("Data on client 2 : @10hi"));
        room.client(10).send("ten");
        QCOMPARE(room.client(1).received(), QByteArray(":ID:10hiten"));
        QCOMPARE(room.client(10).received(), QByteArray(":ID:10ten"));

        room.client(10).leave();
        for (int n = 1; n <= 9; ++n) {
            const QByteArray tail = n == 1 ? "0hiten" : "ten";
            QCOMPARE(room.client(n).received(),
                     protocol::greeting(n, {}) + tail + ":USERSTAT10 1009");
        }
    }

    void longTextRelayedWholeAndLoggedCut() {
        FakeRoom room;
        QVERIFY(room.join(2));
        QByteArray text(2000, 'a');
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = static_cast<char>('a' + i % 26);
        room.client(1).send(text);
        QCOMPARE(room.client(2).received(), ":ID:2" + text);
        QCOMPARE(room.lines(),
                 Texts{"Data on client 1 : " + text.left(1024) + " ... (2000 bytes)"});
    }
};

QTEST_GUILESS_MAIN(RelayProtocolTest)
#include "tst_server_relay_protocol.moc"
