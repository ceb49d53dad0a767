// Listening, accepting, slot reuse, the client limit, cancelling, closing and shutting down.
#include "fake_pool_rig.h"

#include <QPointer>
#include <QTest>

using namespace talkmere;
using namespace talkmere::testing;

class ConnectionLifeTest : public QObject {
    Q_OBJECT
private slots:
    void newPoolStartsEmpty() {
        PoolRig rig;
        QCOMPARE(rig.pool.RaiseErrors(), false);
        QCOMPARE(rig.pool.LastError(), QString());
        QCOMPARE(rig.pool.LocalPort(), 0);
        QCOMPARE(rig.pool.MaxClients(), 0);
        QCOMPARE(rig.pool.ActiveClients(), 0);
        QCOMPARE(rig.pool.BytesReceived(), 0);
        QCOMPARE(rig.pool.BytesSent(), 0);
        QCOMPARE(rig.pool.SocketCount(), 0);
        QCOMPARE(rig.state(0), int(StateClosed));
    }

    void startListeningOpensOnceAndFollowsThePort() {
        PoolRig rig;
        rig.pool.setLastError(QStringLiteral("earlier"));
        QCOMPARE(rig.pool.StartListening(), false); // no port set: nothing touched or recorded
        rig.pool.setRaiseErrors(true);
        QCOMPARE(rig.pool.StartListening(), false);
        QCOMPARE(rig.pool.LastError(), QStringLiteral("earlier"));
        QCOMPARE(rig.listener()->listenCount, 0);

        rig.startListening();
        QVERIFY(rig.pool.StartListening());
        QCOMPARE(rig.listener()->listenCount, 1);
        QCOMPARE(rig.listener()->localPort(), 100);
        rig.connectClients(2);
        rig.take();

        rig.pool.setLocalPort(2000);
        QCOMPARE(rig.listener()->localPort(), 100); // applied only at the next start
        QVERIFY(rig.pool.StartListening());
        QCOMPARE(rig.listener()->listenCount, 2);
        QCOMPARE(rig.listener()->localPort(), 2000);
        QCOMPARE(rig.state(0), int(StateListening));
        QCOMPARE(rig.pool.ActiveClients(), 2);
        QCOMPARE(rig.connectedSlots(), 2);

        QVERIFY(rig.pool.StopListening());
        QCOMPARE(rig.state(0), int(StateClosed));
        QCOMPARE(rig.connectedSlots(), 2);
        QCOMPARE(rig.pool.ActiveClients(), 2);
        QVERIFY(rig.lines.isEmpty()); // moving the listener announces nothing
    }

    void lowestClosedSlotIsReused() {
        PoolRig rig;
        rig.startListening();
        bool connectedWhileGreeted = true;
        rig.onNewConnection = [&](qint32 i, bool&) {
            connectedWhileGreeted &= rig.state(i) == StateConnected;
        };
        rig.connectClients(3);
        QCOMPARE(rig.take(),
                 QStringList({"NewConnection 1", "NewConnection 2", "NewConnection 3"}));
        QVERIFY(connectedWhileGreeted);
        QCOMPARE(rig.socket(2)->acceptedRequest, 2);
        QCOMPARE(rig.state(0), int(StateListening));

        rig.socket(3)->raisePeerClosed();
        rig.socket(2)->raisePeerClosed();
        QCOMPARE(rig.pool.SocketCount(), 3); // closed slots stay
        rig.request(50);
        QCOMPARE(rig.socket(2)->acceptedRequest, 50);
        QCOMPARE(rig.pool.SocketCount(), 3);
        rig.connectClients(2);
        QCOMPARE(rig.socket(3)->acceptedRequest, 4);
        QCOMPARE(rig.socket(4)->acceptedRequest, 5);
        QCOMPARE(rig.pool.ActiveClients(), 4);

        rig.take();
        rig.socket(1)->raiseConnectionRequest(60); // only slot 0 takes requests
        QVERIFY(rig.take().isEmpty());
        QCOMPARE(rig.pool.SocketCount(), 4);
    }

    void limitIsHeldAgainstActiveClients_data() {
        QTest::addColumn<qint32>("maxClients");
        QTest::addColumn<qint32>("accepted");
        QTest::newRow("zero") << 0 << 0;
        QTest::newRow("negative") << -1 << 0;
        QTest::newRow("two") << 2 << 2;
    }
    void limitIsHeldAgainstActiveClients() {
        QFETCH(qint32, maxClients);
        QFETCH(qint32, accepted);
        PoolRig rig;
        rig.startListening(maxClients);
        rig.connectClients(3);
        QCOMPARE(rig.pool.ActiveClients(), accepted);
        QCOMPARE(rig.pool.SocketCount(), accepted);
        QCOMPARE(rig.lines.size(), accepted);
        QCOMPARE(rig.pool.LastError(), QString());
        if (accepted == 0)
            return;
        rig.socket(1)->raisePeerClosed();
        rig.request(40);
        QCOMPARE(rig.socket(1)->acceptedRequest, 40);
        QCOMPARE(rig.pool.ActiveClients(), 2);
    }

    void cancelRemovesANewSlotAndLeavesAReusedOneClosed() {
        PoolRig rig;
        rig.startListening();
        rig.connectClients(2);
        rig.onNewConnection = [](qint32, bool& cancel) { cancel = true; };
        rig.request(30); // needs a new slot
        QCOMPARE(rig.pool.SocketCount(), 2);
        QVERIFY(!rig.socket(3));
        QCOMPARE(rig.pool.ActiveClients(), 2);

        rig.socket(1)->raisePeerClosed();
        rig.request(31); // reuses slot 1
        QCOMPARE(rig.socket(1)->acceptedRequest, 31);
        QCOMPARE(rig.state(1), int(StateClosed));
        QCOMPARE(rig.pool.SocketCount(), 2);
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.take(), QStringList({"NewConnection 1", "NewConnection 2", "NewConnection 3",
                                          "ConnectionClosed 1", "NewConnection 1"}));
    }

    void peerCloseIsAnnouncedBeforeTheCountDrops() {
        PoolRig rig(2);
        rig.socket(2)->raisePeerClosed();
        QCOMPARE(rig.lines, QStringList{"ConnectionClosed 2"});
        QCOMPARE(rig.activeSeen, QList<qint32>{2});
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.state(2), int(StateClosed));
    }

    void closeClientCountsEachClientDownOnce() {
        PoolRig rig(2);
        QVERIFY(rig.pool.CloseClient(2));
        QVERIFY(rig.pool.CloseClient(2)); // already closed: announced again, not counted again
        rig.socket(1)->raisePeerClosed();
        QVERIFY(rig.pool.CloseClient(1));
        QCOMPARE(rig.lines, QStringList({"ConnectionClosed 2", "ConnectionClosed 2",
                                         "ConnectionClosed 1", "ConnectionClosed 1"}));
        QCOMPARE(rig.activeSeen, QList<qint32>({1, 1, 1, 0}));
        QCOMPARE(rig.pool.ActiveClients(), 0);
        QCOMPARE(rig.pool.SocketCount(), 2);
    }

    void closeClientIgnoresIndicesOutsideTheClients() {
        PoolRig rig(1);
        for (qint32 index : {0, -1, 2, 70000})
            QVERIFY(rig.pool.CloseClient(index));
        QVERIFY(rig.lines.isEmpty());
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.state(0), int(StateListening));
        QCOMPARE(rig.state(1), int(StateConnected));
    }

    void shutdownRemovesClientsInAscendingOrder() {
        PoolRig rig;
        rig.startListening();
        rig.connectClients(3);
        rig.socket(1)->raisePeerClosed();
        rig.pool.setBytesReceived(5);
        rig.pool.setBytesSent(7);
        rig.pool.setLastError(QStringLiteral("earlier"));
        rig.take();
        QStringList slotsSeen; // states of slots 1..3 when each event is raised; '-' for gone
        rig.onConnectionClosed = [&](qint32) {
            QString states;
            for (qint32 i = 1; i <= 3; ++i)
                states += rig.socket(i) ? QString::number(rig.state(i)) : QStringLiteral("-");
            slotsSeen << states;
        };
        QVERIFY(rig.pool.Shutdown());
        QCOMPARE(rig.lines,
                 QStringList({"ConnectionClosed 1", "ConnectionClosed 2", "ConnectionClosed 3"}));
        QCOMPARE(slotsSeen, QStringList({"-77", "--7", "---"}));
        QCOMPARE(rig.activeSeen, QList<qint32>({2, 1, 0}));
        QCOMPARE(rig.pool.SocketCount(), 0);
        QCOMPARE(rig.state(0), int(StateClosed));
        QCOMPARE(rig.pool.LocalPort(), 100);
        QCOMPARE(rig.pool.MaxClients(), 10);
        QCOMPARE(rig.pool.BytesReceived(), 5);
        QCOMPARE(rig.pool.BytesSent(), 7);
        QCOMPARE(rig.pool.LastError(), QStringLiteral("earlier"));

        QVERIFY(rig.pool.StartListening());
        QCOMPARE(rig.state(0), int(StateListening));
        rig.take();
        rig.connectClients(1);
        QCOMPARE(rig.lines, QStringList{"NewConnection 1"});
    }

    void remoteGettersAnswerOnlyForClientSlots() {
        PoolRig rig;
        rig.layer->peers[7] = {QStringLiteral("alpha.example"), QStringLiteral("10.0.0.7"), 5555};
        rig.startListening();
        rig.request(7);
        QCOMPARE(rig.pool.RemoteHost(1), QStringLiteral("alpha.example"));
        QCOMPARE(rig.pool.RemoteHostIP(1), QStringLiteral("10.0.0.7"));
        QCOMPARE(rig.pool.RemotePort(1), 5555);
        rig.listener()->failAlways(FakeSocket::Op::Remote, kReset); // must not even be asked
        for (qint32 index : {0, -1, 2}) {
            QCOMPARE(rig.pool.RemoteHost(index), QString());
            QCOMPARE(rig.pool.RemoteHostIP(index), QString());
            QCOMPARE(rig.pool.RemotePort(index), 0);
        }
        // No error path of their own: a failure reaches the caller and is not recorded.
        rig.socket(1)->failNext(FakeSocket::Op::Remote, kReset);
        QCOMPARE(text(thrownBy([&] { rig.pool.RemotePort(1); })), text(kReset));
        QCOMPARE(rig.pool.LastError(), QString());
    }

    void destructionShutsDownWithoutCallingTheHost() {
        auto* layer = new FakeSocketLayer;
        auto pool = std::make_unique<ZeviderUrive>(std::unique_ptr<SocketLayer>(layer));
        int closedEvents = 0;
        connect(pool.get(), &ZeviderUrive::ConnectionClosed, [&](qint32) { ++closedEvents; });
        pool->setMaxClients(10);
        pool->setLocalPort(100);
        QVERIFY(pool->StartListening());
        layer->created[0]->raiseConnectionRequest(1);
        layer->created[0]->raiseConnectionRequest(2);
        QCOMPARE(pool->ActiveClients(), 2);
        QPointer<FakeSocket> client = layer->created[1];
        pool.reset();
        QCOMPARE(closedEvents, 0);
        QVERIFY(client.isNull());
    }
};

QTEST_GUILESS_MAIN(ConnectionLifeTest)
#include "tst_fake_connection_life.moc"
