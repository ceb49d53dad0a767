// The host calling back into the pool from its handlers, and events arriving inside yields.
#include "FlagRows.h"
#include "fake_pool_rig.h"

#include <QTest>

#include <stdexcept>

using namespace talkmere;
using namespace talkmere::testing;

using SlotAction = std::function<void(PoolRig&, qint32)>;
Q_DECLARE_METATYPE(SlotAction)

class ReentrancyTest : public QObject {
    Q_OBJECT
private slots:
    // A client cancelled after a newer one took a higher slot during its greeting.
    void cancelBelowANewerSlotLeavesNoHole() {
        PoolRig rig;
        rig.startListening();
        int burst = 1;
        rig.layer->onYield = [&] {
            if (burst-- > 0)
                rig.request(2);
        };
        rig.onNewConnection = [&](qint32 i, bool& cancel) {
            if (i == 1) {
                rig.pool.Send(1, "greeting");
                cancel = true;
            }
        };
        rig.request(1);
        rig.onNewConnection = nullptr;
        QCOMPARE(rig.take(), QStringList({"NewConnection 1", "NewConnection 2"}));
        QCOMPARE(rig.pool.SocketCount(), 2);
        QCOMPARE(rig.state(1), int(StateClosed));
        QCOMPARE(rig.pool.ActiveClients(), 1);

        QVERIFY(rig.pool.SendToAll("all"));
        QCOMPARE(rig.socket(2)->sent, QList<QByteArray>{"all"});
        QCOMPARE(rig.pool.RemotePort(2), 40002);
        QVERIFY(!thrownBy([&] { rig.pool.RemoteHost(1); }));
        QVERIFY(rig.pool.CloseClient(1));
        QCOMPARE(rig.pool.ActiveClients(), 1);
        rig.request(3);
        QCOMPARE(rig.socket(1)->acceptedRequest, 3); // the cancelled slot is reused
        QVERIFY(rig.pool.Shutdown());
        QCOMPARE(rig.take(), QStringList({"ConnectionClosed 1", "NewConnection 1",
                                          "ConnectionClosed 1", "ConnectionClosed 2"}));
        QCOMPARE(rig.pool.ActiveClients(), 0);
        QCOMPARE(rig.pool.SocketCount(), 0);
    }

    void burstDuringGreetingsKeepsTheLimit_data() {
        flagRows("nested", "all in the first greeting", "each inside the previous greeting");
    }
    void burstDuringGreetingsKeepsTheLimit() {
        QFETCH(bool, nested);
        PoolRig rig;
        rig.startListening(10);
        int pending = 15;
        bool bursting = false;
        qint32 mostActive = 0;
        rig.onNewConnection = [&](qint32 i, bool&) { rig.pool.Send(i, "greeting"); };
        rig.layer->onYield = [&] {
            mostActive = qMax(mostActive, rig.pool.ActiveClients());
            if (nested && pending > 0) {
                --pending;
                rig.connectClients(1);
            } else if (!nested && !bursting) {
                bursting = true;
                for (; pending > 0; --pending)
                    rig.connectClients(1);
            }
        };
        rig.connectClients(1);
        QCOMPARE(rig.lines.size(), 10);
        QCOMPARE(rig.pool.ActiveClients(), 10);
        QCOMPARE(rig.connectedSlots(), 10);
        QCOMPARE(rig.pool.SocketCount(), 10);
        QVERIFY(mostActive <= 10);
    }

    // Whatever ends a client while its own greeting runs, it is not counted afterwards.
    void clientGoneDuringItsGreetingIsNotCounted_data() {
        QTest::addColumn<SlotAction>("action");
        QTest::addColumn<qint32>("active");
        QTest::newRow("peer closes")
            << SlotAction([](PoolRig& r, qint32 i) { r.socket(i)->raisePeerClosed(); }) << 1;
        QTest::newRow("host closes")
            << SlotAction([](PoolRig& r, qint32 i) { r.pool.CloseClient(i); }) << 1;
        QTest::newRow("socket error")
            << SlotAction([](PoolRig& r, qint32 i) { r.socket(i)->raiseError(104, "reset"); }) << 1;
        QTest::newRow("fetch fails") << SlotAction([](PoolRig& r, qint32 i) {
            r.socket(i)->failNext(FakeSocket::Op::Fetch, kReset);
            r.socket(i)->raiseDataArrival("x");
        }) << 1;
        QTest::newRow("shutdown") << SlotAction([](PoolRig& r, qint32) { r.pool.Shutdown(); }) << 0;
    }
    void clientGoneDuringItsGreetingIsNotCounted() {
        QFETCH(SlotAction, action);
        QFETCH(qint32, active);
        PoolRig rig;
        rig.startListening();
        rig.connectClients(1);
        rig.onNewConnection = [&](qint32 i, bool&) {
            rig.pool.Send(i, "greeting"); // the departure arrives inside this yield
        };
        rig.layer->onYield = [&] {
            if (rig.socket(2) && rig.state(2) == StateConnected)
                action(rig, 2);
        };
        rig.connectClients(1);
        QCOMPARE(rig.pool.ActiveClients(), active);
        QCOMPARE(rig.connectedSlots(), active);
        rig.layer->onYield = nullptr;
        QVERIFY(rig.pool.StartListening());
        rig.connectClients(1); // the count goes on from the right value
        QCOMPARE(rig.pool.ActiveClients(), active + 1);
        QCOMPARE(rig.connectedSlots(), active + 1);
    }

    void failingHostHandlersAreContained() {
        PoolRig rig;
        rig.pool.setRaiseErrors(true);
        rig.startListening();
        rig.onNewConnection = [&](qint32, bool&) { rig.pool.Send(99, "x"); }; // throws
        rig.connectClients(1);
        QVERIFY(!rig.pool.LastError().isEmpty());
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.state(1), int(StateConnected));
        rig.onNewConnection = nullptr;

        rig.onDataArrival = [](qint32, const QByteArray& data) {
            if (data == "boom")
                throw std::runtime_error("data handler broke");
        };
        rig.socket(1)->raiseDataArrival("boom");
        QCOMPARE(rig.pool.LastError(), QStringLiteral("data handler broke"));
        QCOMPARE(rig.state(1), int(StateConnected));
        rig.socket(1)->raiseDataArrival("next");
        QCOMPARE(rig.lines.last(), QStringLiteral("DataArrival 1 next"));
        connect(&rig.pool, &ZeviderUrive::SendProgress,
                [] { throw std::runtime_error("progress handler broke"); });
        rig.socket(1)->raiseSendProgress(4, 0);
        QCOMPARE(rig.pool.LastError(), QStringLiteral("progress handler broke"));
        QCOMPARE(rig.pool.BytesSent(), 4);

        rig.connectClients(1);
        rig.onConnectionClosed = [](qint32) { throw std::runtime_error("close handler broke"); };
        rig.socket(2)->raisePeerClosed();
        QCOMPARE(rig.pool.LastError(), QStringLiteral("close handler broke"));
        QCOMPARE(rig.pool.ActiveClients(), 1); // still counted down after the handler
        rig.onSocketError = [](qint32) { throw PoolError(1, "host", "error handler broke"); };
        rig.socket(1)->raiseError(104, "reset");
        QCOMPARE(rig.pool.LastError(), QStringLiteral("error handler broke"));
        QCOMPARE(rig.pool.ActiveClients(), 0);

        rig.take();
        rig.connectClients(1);
        QCOMPARE(rig.lines, QStringList{"NewConnection 1"});
        QCOMPARE(rig.pool.ActiveClients(), 1);
    }

    // A relay of a message that arrived while another relay was still sending.
    void nestedSendToAllKeepsItsOwnBound() {
        PoolRig rig;
        rig.startListening();
        rig.connectClients(2);
        rig.onDataArrival = [&](qint32, const QByteArray& data) { rig.pool.SendToAll(data); };
        bool first = true;
        rig.layer->onYield = [&] {
            if (std::exchange(first, false)) {
                rig.connectClients(1); // slot 3, above the outer call's bound
                rig.socket(2)->raiseDataArrival("B");
            }
        };
        QVERIFY(rig.pool.SendToAll("A"));
        QCOMPARE(rig.socket(1)->sent, QList<QByteArray>({"A", "B"}));
        QCOMPARE(rig.socket(2)->sent, QList<QByteArray>({"B", "A"}));
        QCOMPARE(rig.socket(3)->sent, QList<QByteArray>{"B"});
        QCOMPARE(rig.layer->yields, 5);
    }

    void sendToAllSkipsSlotsClosedOrRemovedDuringItsYield_data() {
        QTest::addColumn<SlotAction>("action");
        QTest::addColumn<QString>("held"); // texts held by slots 2 and 3 afterwards
        QTest::newRow("slot 2 closed")
            << SlotAction([](PoolRig& r, qint32) { r.pool.CloseClient(2); }) << "01";
        QTest::newRow("pool shut down")
            << SlotAction([](PoolRig& r, qint32) { r.pool.Shutdown(); }) << "--";
    }
    void sendToAllSkipsSlotsClosedOrRemovedDuringItsYield() {
        QFETCH(SlotAction, action);
        QFETCH(QString, held);
        PoolRig rig;
        rig.startListening();
        rig.connectClients(3);
        bool first = true;
        rig.layer->onYield = [&] {
            if (std::exchange(first, false))
                action(rig, 0);
        };
        QVERIFY(rig.pool.SendToAll("A"));
        QString counts;
        for (qint32 i = 2; i <= 3; ++i)
            counts += rig.socket(i) ? QString::number(rig.socket(i)->sent.size()) : "-";
        QCOMPARE(counts, held);
    }

    void shutdownFromAConnectionClosedHandler() {
        PoolRig rig(3);
        rig.onConnectionClosed = [&](qint32 i) {
            if (i == 1)
                QVERIFY(rig.pool.Shutdown());
        };
        QVERIFY(rig.pool.Shutdown());
        QCOMPARE(rig.lines,
                 QStringList({"ConnectionClosed 1", "ConnectionClosed 2", "ConnectionClosed 3"}));
        QCOMPARE(rig.pool.ActiveClients(), 0);
        QCOMPARE(rig.pool.SocketCount(), 0);
    }
};

QTEST_GUILESS_MAIN(ReentrancyTest)
#include "tst_fake_reentrancy.moc"
