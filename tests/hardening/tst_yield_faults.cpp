// Faults that strike while the relay is inside a broadcast, in the yields after each send: peers
// that reset or close, a client closed by the server, and the operator's Stop during a flood.
#include "HardeningRig.h"

#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

// Counts the pool's data arrivals being handled right now, so that a hook can tell whether it runs
// inside the relay's answer to one (a yield of its SendToAll) or from the top of the event loop.
class ArrivalDepthApp : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    static inline int depth = 0;

    bool notify(QObject* receiver, QEvent* event) override {
        const auto* notifier =
            event->type() == QEvent::SockAct ? qobject_cast<QSocketNotifier*>(receiver) : nullptr;
        const int arrival = notifier && notifier->type() == QSocketNotifier::Read &&
                            qobject_cast<TcpSocket*>(notifier->parent());
        depth += arrival;
        struct Leave {
            int arrival;
            ~Leave() { depth -= arrival; }
        } leave{arrival};
        return QCoreApplication::notify(receiver, event);
    }
};

} // namespace

class YieldFaultsTest : public QObject {
    Q_OBJECT
private slots:
    // Ten clients; slot 1 broadcasts. In the yield after the text went to slot 2, the sender
    // itself and slot 4 reset, slot 6 closes in order and the server closes slot 8. Slots 4 and
    // 6 say two last things first, which wait behind the broadcast while writes to them fail:
    // both must still be relayed, before their senders' error and departure.
    void resetsAndClosesInsideABroadcast() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        std::vector<std::unique_ptr<RawClient>> client(11);
        std::vector<QByteArray> got(11);
        for (int slot = 1; slot <= 10; ++slot)
            QVERIFY((client[slot] = greetedClient(port, slot)));

        bool hooked = false;
        bool insideArrival = false;
        connect(&server.pool(), &ZeviderUrive::SendProgress, this,
                [&](qint32 slot, qint64, qint64) {
                    if (hooked || slot != 2)
                        return;
                    hooked = true;
                    insideArrival = ArrivalDepthApp::depth > 0;
                    client[1]->reset();
                    client[4]->write("4a");
                    client[4]->write("4b");
                    client[4]->reset();
                    client[6]->write("6a");
                    client[6]->write("6b");
                    client[6]->closeInOrder();
                    server.pool().CloseClient(8);
                });
        QVERIFY(client[1]->write("broadcast!"));

        // Survivors get the text and the four departures once each, in whatever order.
        const std::vector<int> survivors = {2, 3, 5, 7, 9, 10};
        const QList<QByteArray> expected = {"broadcast!",     "4a4b",           "6a6b",
                                            ":USERSTAT1 109", ":USERSTAT4 409", ":USERSTAT6 609",
                                            ":USERSTAT8 809"};
        auto allArrived = [&](qsizetype size) { return receivedAll(client, got, survivors, size); };
        QVERIFY(
            waitUntil([&] { return allArrived(74) && server.pool().ActiveClients() == 6; }, kWait));
        QVERIFY(insideArrival);
        for (int slot : survivors) {
            QCOMPARE(got[slot].size(), 74);
            for (const QByteArray& text : expected)
                QVERIFY2(got[slot].count(text) == 1, got[slot]);
            QVERIFY2(got[slot].indexOf("4a4b") < got[slot].indexOf(":USERSTAT4"), got[slot]);
            QVERIFY2(got[slot].indexOf("6a6b") < got[slot].indexOf(":USERSTAT6"), got[slot]);
        }
        QByteArray ended;
        QVERIFY(waitUntil([&] { return client[8]->drain(ended); }, kWait));

        ClientTable& table = server.clients();
        for (int slot : {1, 4}) {
            QCOMPARE(table.cell(table.FindRow(slot), 1), QString("Closed"));
            QVERIFY(!table.cell(table.FindRow(slot), 5).isEmpty());
        }
        for (int slot : {6, 8}) {
            QCOMPARE(table.cell(table.FindRow(slot), 1), QString("Closed"));
            QVERIFY(table.cell(table.FindRow(slot), 5).isEmpty());
        }
        QStringList errors;
        QList<QByteArray> lines;
        for (qsizetype i = 0; i < server.log().count(); ++i) {
            const QByteArray& line = server.log().line(i);
            QVERIFY2(!line.startsWith("Relay failure"), line);
            if (line.startsWith("Error on client "))
                errors << QString::fromUtf8(line.left(18));
            lines << line;
        }
        errors.sort();
        QCOMPARE(errors, QStringList({"Error on client 1 ", "Error on client 4 "}));
        auto at = [&](const QByteArray& start) {
            return std::find_if(lines.begin(), lines.end(),
                                [&](const QByteArray& l) { return l.startsWith(start); }) -
                   lines.begin();
        };
        QVERIFY(at("Data on client 4 : 4a4b") < at("Error on client 4 : "));
        QVERIFY(at("Data on client 6 : 6a6b") < at("Data on client 6 : :USERSTAT6 09"));
        QVERIFY(at("Data on client 6 : :USERSTAT6 09") < lines.size());

        // The survivors go on talking.
        QVERIFY(client[3]->write("again"));
        QVERIFY(waitUntil([&] { return allArrived(79); }, kWait));
        for (int slot : survivors)
            QVERIFY(got[slot].endsWith("again"));
    }

    // Four clients flood 4 MiB each; once a MiB has come in, the operator's Stop runs in a yield
    // of the relay's broadcast. The stop must complete, and a restart must serve again.
    void stopDuringAFloodCompletesAndTheServerStartsAgain() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        std::vector<std::unique_ptr<FloodClient>> flooders;
        for (int sender = 0; sender < 4; ++sender) {
            flooders.push_back(std::make_unique<FloodClient>(port, sender));
            QVERIFY(waitUntil(
                [&] {
                    return flooders.back()->greeted() && server.pool().ActiveClients() > sender;
                },
                kWait));
        }

        bool stopped = false;
        connect(&server.pool(), &ZeviderUrive::SendProgress, this, [&] {
            if (stopped || ArrivalDepthApp::depth == 0 || server.pool().BytesReceived() < 1 << 20)
                return;
            stopped = true;
            server.stopServer();
        });
        for (auto& flooder : flooders)
            flooder->flood(4 << 20);
        QVERIFY(waitUntil([&] { return stopped; }, kWait));

        QVERIFY(!server.online());
        QCOMPARE(server.clients().rowCount(), 0);
        QCOMPARE(server.pool().SocketCount(), 0);
        QCOMPARE(server.pool().ActiveClients(), 0);
        for (qsizetype i = 0; i < server.log().count(); ++i)
            QVERIFY2(server.log().line(i) != "Shutdown() failed", "the stop failed");
        const QRegularExpression departuresOnly(R"(^(:USERSTAT(\d+) \g{2}09)*$)");
        for (auto& flooder : flooders) {
            QVERIFY(waitUntil(
                [&] { return flooder->socket.state() == QAbstractSocket::UnconnectedState; },
                kWait));
            // Whatever came before the end is intact; the rest of the stop's announcements.
            QVERIFY(!flooder->checker.broken());
            QVERIFY2(departuresOnly.match(flooder->other).hasMatch(), flooder->other);
        }

        server.startServer();
        QVERIFY(server.online());
        QVERIFY(servesAFreshClient(port));
        QCOMPARE(server.clients().rowCount(), 1);
    }
};

int main(int argc, char** argv) {
    ArrivalDepthApp app(argc, argv);
    YieldFaultsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_yield_faults.moc"
