// Both ways a failure is reported: to the caller of a method, and from a notification handler.
#include "FlagRows.h"
#include "fake_pool_rig.h"

#include <QTest>

using namespace talkmere;
using namespace talkmere::testing;

using MethodCall = std::function<bool(PoolRig&)>;
using Setup = std::function<void(PoolRig&)>;
Q_DECLARE_METATYPE(MethodCall)
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(talkmere::ErrorInfo)

namespace {

// Clients in slots 1 to 3 connected, slot 4 closed.
void fourSlots(PoolRig& rig) {
    rig.startListening();
    rig.connectClients(4);
    rig.socket(4)->raisePeerClosed();
    rig.take();
}

// Failures raised, or recorded over an earlier record.
void reportFailures(PoolRig& rig, bool raise) {
    rig.pool.setRaiseErrors(raise);
    rig.pool.setLastError(QStringLiteral("earlier"));
}

QString textsHeld(const PoolRig& rig) {
    QString counts;
    for (qint32 i = 1; i <= 4; ++i)
        counts += rig.socket(i) ? QString::number(rig.socket(i)->sent.size()) : QStringLiteral("-");
    return counts;
}

} // namespace

class ErrorFormsTest : public QObject {
    Q_OBJECT
private slots:
    // A zero number in `error` stands for one of the pool's own failures.
    void methodFormEitherWay_data() {
        QTest::addColumn<MethodCall>("call");
        QTest::addColumn<ErrorInfo>("error");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<qint32>("active");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("held"); // texts held by slots 1..4 afterwards
        const ErrorInfo own;
        QTest::newRow("StartListening, listen refused") << MethodCall([](PoolRig& r) {
            r.pool.setLocalPort(200);
            r.listener()->failNext(FakeSocket::Op::Listen, kReset);
            return r.pool.StartListening();
        }) << kReset << QStringList() << 3 << false << "0000";
        QTest::newRow("Send to slot 0")
            << MethodCall([](PoolRig& r) { return r.pool.Send(0, "x"); }) << kNotConnected
            << QStringList() << 3 << true << "0000";
        QTest::newRow("Send to a closed slot")
            << MethodCall([](PoolRig& r) { return r.pool.Send(4, "x"); }) << kNotConnected
            << QStringList() << 3 << true << "0000";
        for (qint32 index : {5, -1, 32768, -32769})
            QTest::addRow("Send to slot %d", index)
                << MethodCall([index](PoolRig& r) { return r.pool.Send(index, "x"); }) << own
                << QStringList() << 3 << true << "0000";
        QTest::newRow("Send refused by the socket") << MethodCall([](PoolRig& r) {
            r.socket(2)->failNext(FakeSocket::Op::Send, kReset);
            return r.pool.Send(2, "x");
        }) << kReset << QStringList() << 3 << true << "0000";
        QTest::newRow("SendToAll refused at slot 2") << MethodCall([](PoolRig& r) {
            r.socket(2)->failNext(FakeSocket::Op::Send, kReset);
            return r.pool.SendToAll("x");
        }) << kReset << QStringList() << 3 << true << "1000";
        QTest::newRow("CloseClient, close refused") << MethodCall([](PoolRig& r) {
            r.socket(1)->failNext(FakeSocket::Op::Close, kReset);
            return r.pool.CloseClient(1);
        }) << kReset << QStringList() << 3 << true << "0000";
        QTest::newRow("Shutdown, close refused at slot 2") << MethodCall([](PoolRig& r) {
            r.socket(2)->failNext(FakeSocket::Op::Close, kReset);
            return r.pool.Shutdown();
        }) << kReset << QStringList{"ConnectionClosed 1"} << 2
                                                           << false << "-000";
    }
    void methodFormEitherWay() {
        QFETCH(MethodCall, call);
        QFETCH(ErrorInfo, error);
        QFETCH(QStringList, events);
        QFETCH(qint32, active);
        QFETCH(bool, listening);
        QFETCH(QString, held);
        QString recorded;
        for (bool raise : {false, true}) {
            PoolRig rig;
            fourSlots(rig);
            reportFailures(rig, raise);
            std::optional<bool> result;
            const auto thrown = thrownBy([&] { result = call(rig); });
            if (!raise) {
                QVERIFY(!thrown);
                QCOMPARE(result, std::optional<bool>(false));
                recorded = rig.pool.LastError();
                QVERIFY(!recorded.isEmpty() && recorded != QStringLiteral("earlier"));
                if (error.number != 0)
                    QCOMPARE(recorded, error.description);
            } else {
                QVERIFY(!result);
                QVERIFY(thrown);
                QCOMPARE(thrown->description, recorded);
                if (error.number != 0)
                    QCOMPARE(text(thrown), text(error));
                QCOMPARE(rig.pool.LastError(), QStringLiteral("earlier"));
            }
            QCOMPARE(rig.lines, events);
            QCOMPARE(rig.pool.ActiveClients(), active);
            QCOMPARE(rig.state(0) == StateListening, listening);
            QCOMPARE(textsHeld(rig), held);
            if (!raise) { // later successes leave the record alone
                QVERIFY(rig.pool.StartListening());
                QVERIFY(rig.pool.Send(3, "ok"));
                QCOMPARE(rig.pool.LastError(), recorded);
            }
        }
    }

    void failedFetchClosesTheClientSilently_data() { flagRows("raise", "recorded", "announced"); }
    void failedFetchClosesTheClientSilently() {
        QFETCH(bool, raise);
        PoolRig rig(2);
        reportFailures(rig, raise);
        rig.socket(2)->failNext(FakeSocket::Op::Fetch, kReset);
        rig.socket(2)->raiseDataArrival("xyz");
        QCOMPARE(rig.state(2), int(StateClosed));
        QCOMPARE(rig.pool.ActiveClients(), 1);
        QCOMPARE(rig.pool.BytesReceived(), 3); // counted before the fetch
        if (raise) {
            QCOMPARE(rig.lines, QStringList{"SocketError 2 " + text(kReset)});
            QCOMPARE(rig.activeSeen, QList<qint32>{1});
            QCOMPARE(rig.pool.LastError(), QStringLiteral("earlier"));
        } else {
            QVERIFY(rig.lines.isEmpty());
            QCOMPARE(rig.pool.LastError(), kReset.description);
        }
        rig.request(9);
        QCOMPARE(rig.socket(2)->acceptedRequest, 9);
        QCOMPARE(rig.pool.SocketCount(), 2);
    }

    void failedAcceptanceStopsListening_data() {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<bool>("raise");
        QTest::addColumn<qint32>("slotCount");
        const auto reuseSlot1 = [](FakeSocket::Op op) {
            return Setup([op](PoolRig& r) {
                r.socket(1)->raisePeerClosed();
                r.socket(1)->failNext(op, kReset);
            });
        };
        QTest::newRow("accept refused") << reuseSlot1(FakeSocket::Op::Accept) << true << 2;
        QTest::newRow("accept refused, recorded")
            << reuseSlot1(FakeSocket::Op::Accept) << false << 2;
        QTest::newRow("close refused") << reuseSlot1(FakeSocket::Op::Close) << true << 2;
        QTest::newRow("state unreadable")
            << Setup([](PoolRig& r) { r.socket(2)->failNext(FakeSocket::Op::State, kReset); })
            << true << 2;
        QTest::newRow("no slot can be added")
            << Setup([](PoolRig& r) { r.layer->failNextCreate = kReset; }) << true << 2;
    }
    void failedAcceptanceStopsListening() {
        QFETCH(Setup, setup);
        QFETCH(bool, raise);
        QFETCH(qint32, slotCount);
        PoolRig rig;
        rig.startListening();
        rig.connectClients(2);
        setup(rig);
        rig.take();
        reportFailures(rig, raise);
        const qint32 active = rig.pool.ActiveClients();
        rig.request(77);
        QCOMPARE(rig.state(0), int(StateClosed));
        QCOMPARE(rig.pool.ActiveClients(), active);
        QCOMPARE(rig.pool.SocketCount(), slotCount);
        QCOMPARE(rig.lines, raise ? QStringList{"SocketError 0 " + text(kReset)} : QStringList());
        QCOMPARE(rig.pool.LastError(), raise ? QStringLiteral("earlier") : kReset.description);
        QVERIFY(rig.pool.StartListening());
        rig.request(78);
        QCOMPARE(rig.pool.ActiveClients(), active + 1);
    }

    void errorNotificationClosesTheSlot_data() {
        QTest::addColumn<qint32>("slot");
        QTest::addColumn<qint16>("number");
        QTest::addColumn<bool>("raise");
        QTest::newRow("client slot") << 3 << qint16(104) << true;
        QTest::newRow("listening slot") << 0 << qint16(104) << true;
        QTest::newRow("recorded") << 3 << qint16(104) << false;
        QTest::newRow("negative number") << 3 << qint16(-2) << true;
    }
    void errorNotificationClosesTheSlot() {
        QFETCH(qint32, slot);
        QFETCH(qint16, number);
        QFETCH(bool, raise);
        PoolRig rig(3);
        reportFailures(rig, raise);
        rig.socket(slot)->raiseError(number, kReset.description);
        const qint32 active = slot > 0 ? 2 : 3;
        QCOMPARE(rig.state(slot), int(StateClosed));
        QCOMPARE(rig.pool.ActiveClients(), active);
        QCOMPARE(rig.connectedSlots(), active);
        if (raise) {
            QCOMPARE(rig.lines, QStringList{QStringLiteral("SocketError %1 %2 FakeSocket %3")
                                                .arg(slot)
                                                .arg(number)
                                                .arg(kReset.description)});
            QCOMPARE(rig.activeSeen, QList<qint32>{active}); // counted down before the event
            QCOMPARE(rig.pool.LastError(), QStringLiteral("earlier"));
        } else {
            QVERIFY(rig.lines.isEmpty());
            QCOMPARE(rig.pool.LastError(), kReset.description);
        }
    }
};

QTEST_GUILESS_MAIN(ErrorFormsTest)
#include "tst_fake_error_forms.moc"
