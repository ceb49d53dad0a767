// Arrivals are answered in the order they came: a text that arrives while the relay is still in
// the yields of its answer to another waits until that answer has reached everybody, so that no
// sender is held back by the texts that came after its own, however long they keep coming.
#include "HardeningRig.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using namespace talkmere;
using namespace talkmere::testing;

class FairnessTest : public QObject {
    Q_OBJECT
private slots:
    // Slot 1 says "first". From then on, in every yield of every answer, slot 2 or slot 3 says
    // something more, so there is always another arrival waiting: a flood with no pause, for as
    // long as the test lets it run. Every client must get "first" first, then the same stream as
    // everybody else, with each sender's texts once and in order.
    void answersGoOutInTheOrderTheTextsCame() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        std::vector<std::unique_ptr<RawClient>> client(5);
        for (int slot = 1; slot <= 4; ++slot)
            QVERIFY((client[slot] = greetedClient(port, slot)));

        constexpr int kInterruptions = 60;
        QByteArray said[4];
        int interruptions = 0;
        connect(&server.pool(), &ZeviderUrive::SendProgress, this, [&](qint32, qint64, qint64) {
            if (interruptions == kInterruptions)
                return;
            const int slot = 2 + interruptions % 2;
            const QByteArray text = QByteArray::number(slot) + "." +
                                    QByteArray::number(interruptions++).rightJustified(2, '0') +
                                    ";";
            client[slot]->write(text);
            said[slot] += text;
        });
        QVERIFY(client[1]->write("first"));

        const qsizetype total = 5 + kInterruptions * 5;
        std::vector<QByteArray> got(5);
        QVERIFY(waitUntil([&] { return receivedAll(client, got, {1, 2, 3, 4}, total); }, kWait));
        QCOMPARE(interruptions, kInterruptions);
        QVERIFY2(got[4].startsWith("first"), got[4].left(40));
        for (int slot = 1; slot <= 4; ++slot)
            QCOMPARE(got[slot], got[4]);
        for (int sender : {2, 3}) {
            QByteArray theirs;
            for (const QByteArray& text : got[4].mid(5).split(';'))
                if (text.startsWith(QByteArray::number(sender) + "."))
                    theirs += text + ";";
            QCOMPARE(theirs, said[sender]);
        }
        QCOMPARE(server.pool().BytesReceived(), total);
        QCOMPARE(server.pool().ActiveClients(), 4);
    }

    // The operator may open a modal dialog (the password box) while the event loop is inside an
    // answer's yields. The clients must go on being served while it is open, not when it closes,
    // the one being answered too, and in one order for everybody: the answer under way first.
    void aModalLoopInsideAnAnswerDoesNotHoldTheOthersBack() {
        const quint16 port = freeLoopbackPort();
        ServerControl server(port, QHostAddress::LocalHost);
        server.startServer();
        std::vector<std::unique_ptr<RawClient>> client(4);
        for (int slot = 1; slot <= 3; ++slot)
            QVERIFY((client[slot] = greetedClient(port, slot)));

        bool opened = false;
        bool servedWhileOpen = false;
        std::vector<QByteArray> got(4);
        connect(&server.pool(), &ZeviderUrive::SendProgress, this, [&](qint32, qint64, qint64) {
            if (std::exchange(opened, true))
                return;
            client[2]->write("while the dialog is open;");
            client[1]->write("the answered one again;");
            QEventLoop dialog;
            QTimer poll;
            connect(&poll, &QTimer::timeout, &dialog, [&] {
                client[3]->drain(got[3]);
                if (got[3].contains("while the dialog is open;") &&
                    got[3].contains("the answered one again;")) {
                    servedWhileOpen = true;
                    dialog.quit();
                }
            });
            poll.start(5);
            QTimer::singleShot(kWait / 4, &dialog, &QEventLoop::quit);
            dialog.exec();
        });
        QVERIFY(client[1]->write("first;"));
        QVERIFY(waitUntil([&] { return opened; }, kWait));
        QVERIFY(servedWhileOpen);
        const qsizetype total = 6 + 25 + 23;
        QVERIFY(waitUntil([&] { return receivedAll(client, got, {1, 2, 3}, total); }, kWait));
        QVERIFY2(got[3].startsWith("first;"), got[3]);
        for (int slot = 1; slot <= 2; ++slot)
            QCOMPARE(got[slot], got[3]);
    }
};

QTEST_GUILESS_MAIN(FairnessTest)
#include "tst_fairness.moc"
