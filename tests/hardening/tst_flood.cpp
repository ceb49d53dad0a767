// Floods through the whole server: a client that never reads must cost a bounded amount of memory
// and nobody else's data, byte counts past 2^31 must not cut anybody off, and the room must hear
// of every client that leaves while one talks, however it leaves.
#include "HardeningRig.h"

#include <QTest>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

using FloodClients = std::vector<std::unique_ptr<FloodClient>>;

bool joinFlooder(ServerControl& server, FloodClients& clients, quint16 port) {
    const qint32 before = server.pool().ActiveClients();
    clients.push_back(std::make_unique<FloodClient>(port, static_cast<int>(clients.size())));
    FloodClient& client = *clients.back();
    return waitUntil([&] { return client.greeted() && server.pool().ActiveClients() > before; },
                     kWait);
}

// Every flooder sends `perSender` bytes in 64 KiB writes. Together the senders stay at most one
// MiB ahead of the slowest reader, so no reader's queue on the server nears the bound by our own
// doing; a reader that stalls stalls the flood, and the wait runs out.
bool floodAndReceiveAll(FloodClients& clients, qint64 perSender, int milliseconds) {
    constexpr qint64 kChunk = 64 * 1024;
    constexpr qint64 kWindow = kMiB;
    const qint64 everything = perSender * static_cast<qint64>(clients.size());
    size_t turn = 0;
    return waitUntil(
        [&] {
            qint64 sent = 0;
            qint64 slowest = everything;
            for (const auto& c : clients) {
                sent += c->sent;
                slowest = std::min(slowest, c->received);
            }
            while (sent < everything && sent - slowest < kWindow) {
                FloodClient& next = *clients[turn++ % clients.size()];
                const qint64 size = std::min(kChunk, perSender - next.sent);
                if (size > 0)
                    next.flood(size);
                sent += size;
            }
            return slowest == everything;
        },
        milliseconds, 5);
}

QList<QByteArray> errorLines(ServerControl& server) {
    QList<QByteArray> found;
    for (qsizetype i = 0; i < server.log().count(); ++i)
        if (server.log().line(i).startsWith("Error on client"))
            found << server.log().line(i);
    return found;
}

} // namespace

class FloodTest : public QObject {
    Q_OBJECT
private slots:
    // Slot 2 holds a client with a tiny receive window that never reads; three readers flood
    // 3 x 32 MiB through the relay (3 x 8 MiB under AddressSanitizer). Without the queue bound the
    // silent client's queue alone would hold most of the 96 MiB.
    void clientThatNeverReadsIsDroppedAndCostsBoundedMemory() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        QVERIFY(server.online());
        FloodClients readers;
        QVERIFY(joinFlooder(server, readers, port));
        RawClient silent(port, 4096);
        QVERIFY(waitUntil([&] { return server.pool().ActiveClients() == 2; }, kWait));
        QVERIFY(joinFlooder(server, readers, port));
        QVERIFY(joinFlooder(server, readers, port));

        // Watched from the event loop, so also inside the relay's yields.
        const qint64 baseKiB = residentKiB();
        qint64 peakKiB = baseKiB;
        qint64 peakQueued = 0;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            peakKiB = std::max(peakKiB, residentKiB());
            for (qint32 i = 1; i <= server.pool().SocketCount(); ++i)
                if (auto* s = qobject_cast<TcpSocket*>(server.pool().socketAt(i)))
                    peakQueued = std::max(peakQueued, s->bytesQueued());
        });
        sampler.start(20);

        const qint64 perSender = (kUnderAsan ? 8 : 32) * kMiB;
        QVERIFY(floodAndReceiveAll(readers, perSender, 90000));
        sampler.stop();

        for (const auto& reader : readers) {
            QVERIFY(!reader->checker.broken());
            QCOMPARE(reader->other, protocol::departure(2)); // the dropped client
            for (int sender = 0; sender < 3; ++sender)
                QCOMPARE(reader->checker.from(sender), perSender);
        }
        QCOMPARE(errorLines(server),
                 QList<QByteArray>({"Error on client 2 : Send queue limit exceeded"}));
        const int row = server.clients().FindRow(2);
        QCOMPARE(server.clients().cell(row, 1), QString("Closed"));
        QCOMPARE(server.clients().cell(row, 5), QString("Send queue limit exceeded"));
        QCOMPARE(server.pool().ActiveClients(), 3);
        QVERIFY2(peakQueued <= TcpSocket::kSendQueueLimit, QByteArray::number(peakQueued));
        // AddressSanitizer keeps freed memory in quarantine, so resident size says nothing there.
        if (!kUnderAsan)
            QVERIFY2(peakKiB - baseKiB < 64 * 1024,
                     QByteArray::number(peakKiB - baseKiB) + " KiB more resident");

        // What the silent client was given before the drop is an intact piece of the flood.
        QByteArray got;
        QVERIFY(waitUntil([&] { return silent.drain(got); }, kWait));
        QVERIFY(got.startsWith(":ID:2"));
        FloodChecker checker;
        QVERIFY(checker.take(got.mid(5)));
        QVERIFY(checker.from(0) + checker.from(1) + checker.from(2) > 0);
    }

    // While slot 1 talks, slot 2 closes with the talk unread (which Linux turns into a reset),
    // slot 3 resets, and slot 4, which never reads, is dropped at the send-queue bound. The
    // listener in slot 5 must hear each one's last text and then its departure, once, and the
    // stop must announce none of them again.
    void everyWayOfLeavingIsAnnouncedOnceAfterTheLastText() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        FloodClients flood;
        QVERIFY(joinFlooder(server, flood, port));
        auto closer = greetedClient(port, 2);
        auto resetter = greetedClient(port, 3);
        QVERIFY(closer && resetter);
        RawClient stalled(port, 4096);
        QVERIFY(waitUntil([&] { return server.pool().ActiveClients() == 4; }, kWait));
        QVERIFY(joinFlooder(server, flood, port));
        FloodClient& talker = *flood[0];
        FloodClient& listener = *flood[1];

        // Slot 5 has it last, so the leavers hold it unread by then.
        talker.flood(16 * 1024);
        QVERIFY(waitUntil([&] { return listener.received == 16 * 1024; }, kWait));
        closer->write("closer bye");
        closer->close();
        QVERIFY(waitUntil([&] { return server.pool().ActiveClients() == 4; }, kWait));
        resetter->write("resetter bye");
        resetter->reset();
        QVERIFY(waitUntil([&] { return server.pool().ActiveClients() == 3; }, kWait));
        stalled.write("stalled bye");
        QVERIFY(waitUntil(
            [&] {
                while (talker.sent - listener.received < kMiB && talker.sent < 64 * kMiB)
                    talker.flood(64 * 1024);
                return server.pool().ActiveClients() == 2;
            },
            3 * kWait, 5));
        talker.socket.write("end");
        QVERIFY(waitUntil([&] { return listener.other.endsWith("end"); }, kWait));
        server.stopServer();
        QVERIFY(waitUntil(
            [&] { return listener.socket.state() == QAbstractSocket::UnconnectedState; }, kWait));
        QCOMPARE(listener.other, QByteArray("closer bye:USERSTAT2 209resetter bye:USERSTAT3 309"
                                            "stalled bye:USERSTAT4 409end:USERSTAT1 109"));
        QVERIFY(!listener.checker.broken());
        const QByteArray reset = resetText().toUtf8();
        QCOMPARE(errorLines(server),
                 QList<QByteArray>({"Error on client 2 : " + reset, "Error on client 3 : " + reset,
                                    "Error on client 4 : Send queue limit exceeded"}));
    }

    void byteCountersPassTwoToTheThirtyFirst() {
        ChatRoom room; // started, showing data events
        ServerControl& server = room.server;
        const quint16 port = room.port;
        FloodClients clients;
        for (int i = 0; i < 3; ++i)
            QVERIFY(joinFlooder(server, clients, port));

        const qint64 start = std::numeric_limits<qint32>::max() - 1000;
        server.pool().setBytesReceived(start);
        server.pool().setBytesSent(start);
        const qint64 perSender = 2 * kMiB;
        QVERIFY(floodAndReceiveAll(clients, perSender, kWait));

        const qint64 in = 3 * perSender;
        QCOMPARE(server.pool().BytesReceived(), start + in);
        // Progress is reported at the yield after each send, or when the socket drains.
        QVERIFY(waitUntil([&] { return server.pool().BytesSent() >= start + 3 * in; }, kWait));
        QCOMPARE(server.pool().BytesSent(), start + 3 * in);
        QCOMPARE(server.pool().ActiveClients(), 3);
        QVERIFY(errorLines(server).isEmpty());
        for (const auto& c : clients) {
            QVERIFY(!c->checker.broken());
            QCOMPARE(c->other, QByteArray());
            QCOMPARE(c->socket.state(), QAbstractSocket::ConnectedState);
        }
    }
};

QTEST_GUILESS_MAIN(FloodTest)
#include "tst_flood.moc"
