// Sending to one slot or all, arrivals, the byte counters and the progress events.
#include "fake_pool_rig.h"

#include <QTest>

using namespace talkmere;
using namespace talkmere::testing;

class DataPathTest : public QObject {
    Q_OBJECT
private slots:
    void sendHandsTheTextToOneSocketThenYields() {
        PoolRig rig(2);
        QList<qsizetype> sentAtYield;
        rig.layer->onYield = [&] { sentAtYield << rig.socket(2)->sent.size(); };
        QVERIFY(rig.pool.Send(2, "hello\r\n"));
        QCOMPARE(rig.socket(2)->sent, QList<QByteArray>{"hello\r\n"});
        QVERIFY(rig.socket(1)->sent.isEmpty());
        QCOMPARE(sentAtYield, QList<qsizetype>{1});
        QCOMPARE(rig.pool.BytesSent(), 0); // counted only when the socket reports progress
        QVERIFY(rig.lines.isEmpty());
    }

    void sendToAllVisitsConnectedClientsInOrder() {
        PoolRig rig;
        rig.startListening();
        rig.connectClients(3);
        rig.socket(2)->raisePeerClosed();
        QStringList sentAtYield; // texts held by slots 1..3 at each yield
        rig.layer->onYield = [&] {
            QString counts;
            for (qint32 i = 1; i <= 3; ++i)
                counts += QString::number(rig.socket(i)->sent.size());
            sentAtYield << counts;
        };
        QVERIFY(rig.pool.SendToAll("all"));
        QCOMPARE(sentAtYield, QStringList({"100", "101"}));
        QCOMPARE(rig.socket(3)->sent, QList<QByteArray>{"all"});
        QVERIFY(rig.listener()->sent.isEmpty());
    }

    void sendToAllWithoutClientsSendsNothing() {
        PoolRig rig;
        rig.startListening();
        QVERIFY(rig.pool.SendToAll("nobody"));
        rig.connectClients(1);
        rig.socket(1)->raisePeerClosed();
        QVERIFY(rig.pool.SendToAll("nobody"));
        QCOMPARE(rig.layer->yields, 0);
        QVERIFY(rig.socket(1)->sent.isEmpty());
    }

    void arrivalIsCountedThenDeliveredWhole() {
        PoolRig rig(1);
        qint64 countSeen = -1;
        rig.onDataArrival = [&](qint32, const QByteArray&) {
            countSeen = rig.pool.BytesReceived();
        };
        rig.socket(1)->raiseDataArrival("hello");
        QCOMPARE(rig.lines, QStringList{"DataArrival 1 hello"});
        QCOMPARE(countSeen, 5);

        // No framing: whatever the socket holds is one event; the count is the notification's.
        rig.socket(1)->pending = "a\r\n";
        rig.socket(1)->raiseDataArrival("b\r\n");
        QCOMPARE(rig.lines.last(), QStringLiteral("DataArrival 1 a\r\nb\r\n"));
        QCOMPARE(rig.pool.BytesReceived(), 8);

        rig.pool.setBytesReceived(0);
        rig.socket(1)->raiseDataArrival("xy");
        QCOMPARE(rig.pool.BytesReceived(), 2);
        QCOMPARE(rig.lines.size(), 3);
    }

    void progressAndCompletePassThrough() {
        PoolRig rig(1);
        QVERIFY(rig.pool.Send(1, "hello"));
        QCOMPARE(rig.pool.BytesSent(), 0);
        rig.socket(1)->raiseSendProgress(3, 2);
        QCOMPARE(rig.pool.BytesSent(), 3);
        rig.socket(1)->raiseSendProgress(2, 0);
        rig.socket(1)->raiseSendComplete();
        QCOMPARE(rig.pool.BytesSent(), 5);
        QCOMPARE(rig.lines,
                 QStringList({"SendProgress 1 3 2", "SendProgress 1 2 0", "SendComplete 1"}));
    }

    // Counting never disconnects anyone, however long the server runs.
    void countersGoPastTwoToThe31() {
        PoolRig rig;
        rig.pool.setRaiseErrors(true);
        rig.startListening();
        rig.connectClients(1);
        rig.take();
        rig.pool.setBytesReceived(2147483647 - 2);
        rig.socket(1)->raiseDataArrival("hello");
        QCOMPARE(rig.pool.BytesReceived(), Q_INT64_C(2147483650));
        rig.pool.setBytesSent(2147483647);
        rig.socket(1)->raiseSendProgress(1, 0);
        QCOMPARE(rig.pool.BytesSent(), Q_INT64_C(2147483648));
        QCOMPARE(rig.lines, QStringList({"DataArrival 1 hello", "SendProgress 1 1 0"}));
        QCOMPARE(rig.state(1), int(StateConnected));
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.pool.LastError(), QString());
    }
};

QTEST_GUILESS_MAIN(DataPathTest)
#include "tst_fake_data_path.moc"
