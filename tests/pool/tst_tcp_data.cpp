// The pool's data path over real loopback sockets: bytes pass unchanged and complete, each
// sender's bytes stay in order under load, the counters follow the sockets, and a client that
// stops reading is dropped without holding up the others.

#include "tcp_test_support.h"

#include <QtTest>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

// Bytes that depend on their position in the stream, so a lost, doubled or swapped piece shows.
QByteArray patternAt(qint64 offset, qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        const qint64 p = offset + i;
        bytes[i] = static_cast<char>((p ^ (p >> 8) ^ (p >> 16) ^ (p >> 24)) & 0xFF);
    }
    return bytes;
}

// One sender's numbered record, self-delimiting: "<sender>:<number>:<padding>;".
QByteArray record(int sender, int number) {
    return QByteArray::number(sender) + ':' + QByteArray::number(number) + ':' +
           QByteArray(number % 23, char('a' + sender)) + ';';
}

// Why a receiver's stream is not every sender's records, each once and in order; empty if it is.
QString checkRecords(const QByteArray& stream, int senders, int perSender) {
    if (!stream.endsWith(';'))
        return QStringLiteral("stream does not end with a whole record");
    QList<int> next(senders, 0);
    const QList<QByteArray> records = stream.chopped(1).split(';');
    for (const QByteArray& text : records) {
        const QList<QByteArray> fields = text.split(':');
        bool senderOk = false;
        bool numberOk = false;
        const int sender = fields.value(0).toInt(&senderOk);
        const int number = fields.value(1).toInt(&numberOk);
        if (fields.size() != 3 || !senderOk || !numberOk || sender < 0 || sender >= senders)
            return QStringLiteral("malformed record '%1'").arg(QString::fromLatin1(text.left(40)));
        if (number != next[sender])
            return QStringLiteral("sender %1: record %2 where %3 was due")
                .arg(sender)
                .arg(number)
                .arg(next[sender]);
        if (text != record(sender, number).chopped(1))
            return QStringLiteral("record %1 of sender %2 is damaged").arg(number).arg(sender);
        ++next[sender];
    }
    for (int s = 0; s < senders; ++s)
        if (next[s] != perSender)
            return QStringLiteral("sender %1: %2 records, not %3")
                .arg(s)
                .arg(next[s])
                .arg(perSender);
    return {};
}

qint64 totalDelivered(const Clients& clients) {
    qint64 sum = 0;
    for (const auto& client : clients)
        sum += client->totalReceived;
    return sum;
}

} // namespace

class TcpDataTest : public QObject {
    Q_OBJECT
private slots:
    void relaysEveryByteExactlyAndCounts();
    void keepsEachSendersOrderUnderLoad();
    void dropsAClientThatStopsReading();
};

void TcpDataTest::relaysEveryByteExactlyAndCounts() {
    RelayHost host;
    QVERIFY(host.start());
    Clients clients = connectGreeted(host.port, 3);
    QCOMPARE(clients.size(), 3u);

    QByteArray everyByte(256, Qt::Uninitialized);
    for (int b = 0; b < 256; ++b)
        everyByte[b] = static_cast<char>(b); // NUL, CR, LF and bytes that are no valid UTF-8
    clients[1]->socket.write(everyByte);
    for (const auto& client : clients)
        QTRY_COMPARE(client->received.size(), everyByte.size());
    for (const auto& client : clients) {
        QCOMPARE(client->received, everyByte);
        client->received.clear();
    }
    QCOMPARE(host.arrived.value(2), everyByte);

    // A 1 MiB text of lines may come in several arrivals; concatenated it is exact everywhere.
    QByteArray text;
    for (int line = 0; text.size() < 1024 * 1024; ++line)
        text += "line " + QByteArray::number(line) + " of a long text\r\n";
    text.truncate(1024 * 1024);
    clients[2]->socket.write(text);
    const auto allIn = [&] {
        return std::all_of(clients.begin(), clients.end(),
                           [&](const auto& c) { return c->received.size() >= text.size(); });
    };
    QVERIFY2(waitUntil(allIn, 30000), "every client receives the whole text");
    for (const auto& client : clients)
        QVERIFY(client->received == text);
    QVERIFY(host.arrived.value(3) == text);
    QVERIFY(host.count("data 3") >= 1);

    QCOMPARE(host.pool.BytesReceived(), everyByte.size() + text.size());
    QTRY_COMPARE(host.pool.BytesSent(), totalDelivered(clients));
    QCOMPARE(host.reportedSent, host.pool.BytesSent());
    QVERIFY(!host.progressOutOfStep);
    QVERIFY(host.failures.empty());
}

void TcpDataTest::keepsEachSendersOrderUnderLoad() {
    constexpr int kSenders = 5;
    constexpr int kPerSender = 2000;
    constexpr int kBatch = 20;
    RelayHost host;
    QVERIFY(host.start());
    Clients clients = connectGreeted(host.port, kSenders);
    QCOMPARE(clients.size(), size_t(kSenders));

    qint64 streamSize = 0;
    for (int first = 0; first < kPerSender; first += kBatch) {
        for (int s = 0; s < kSenders; ++s) {
            QByteArray batch;
            for (int n = first; n < first + kBatch; ++n)
                batch += record(s, n);
            streamSize += batch.size();
            clients[size_t(s)]->socket.write(batch);
        }
        QCoreApplication::processEvents(); // let the batches go and the relay run between them
    }
    const auto allIn = [&] {
        return std::all_of(clients.begin(), clients.end(),
                           [&](const auto& c) { return c->received.size() >= streamSize; });
    };
    QVERIFY2(waitUntil(allIn, 60000), "every receiver gets every record");
    for (const auto& client : clients) {
        QCOMPARE(client->received.size(), streamSize);
        const QString why = checkRecords(client->received, kSenders, kPerSender);
        QVERIFY2(why.isEmpty(),
                 qPrintable(QStringLiteral("slot %1: %2").arg(client->slot).arg(why)));
    }
    QCOMPARE(host.pool.BytesReceived(), streamSize);
    QTRY_COMPARE(host.pool.BytesSent(), totalDelivered(clients));
    QVERIFY(!host.progressOutOfStep);
    QVERIFY(host.failures.empty());
    QCOMPARE(host.pool.ActiveClients(), kSenders);
}

void TcpDataTest::dropsAClientThatStopsReading() {
    RelayHost host;
    QVERIFY(host.start());
    RawClient stuck(host.port, 4096);
    QVERIFY(stuck.established());
    QTRY_COMPARE(host.pool.ActiveClients(), 1);
    Clients clients = connectGreeted(host.port, 2); // a reader and a sender
    QCOMPARE(clients.size(), 2u);
    ChatClient& reader = *clients[0];
    ChatClient& sender = *clients[1];

    // Flood until the stuck client is dropped, keeping the sender's own buffer short.
    constexpr qsizetype kChunk = 256 * 1024;
    constexpr qint64 kMostToSend = 64 * 1024 * 1024;
    qint64 sent = 0;
    const auto dropped = [&] { return !host.failures.empty(); };
    QTimer ticker;
    ticker.start(10);
    QDeadlineTimer deadline(30000);
    while (!dropped() && sent < kMostToSend && !deadline.hasExpired()) {
        if (sender.socket.bytesToWrite() < kChunk) {
            sender.socket.write(patternAt(sent, kChunk));
            sent += kChunk;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    QVERIFY2(dropped(), qPrintable(QStringLiteral("no drop after %1 bytes").arg(sent)));
    QCOMPARE(host.failures.size(), 1u);
    QCOMPARE(host.failures.front().index, 1);
    QCOMPARE(host.failures.front().number, ENOBUFS);
    QCOMPARE(host.failures.front().description, QStringLiteral("Send queue limit exceeded"));
    QCOMPARE(host.pool.socketAt(1)->state(), int(StateClosed));
    QCOMPARE(host.pool.ActiveClients(), 2);

    // The others still get every byte, in order.
    const auto allIn = [&] {
        return reader.received.size() >= sent && sender.received.size() >= sent;
    };
    QVERIFY2(waitUntil(allIn, 30000), "reader and sender receive the whole flood");
    const QByteArray expected = patternAt(0, sent);
    QVERIFY(reader.received == expected);
    QVERIFY(sender.received == expected);
    QCOMPARE(host.pool.BytesReceived(), sent);

    // The dropped client finds its stream ended after a clean prefix of what it was sent.
    QByteArray stuckGot;
    QVERIFY2(waitUntil([&] { return stuck.drain(stuckGot); }, kWait), "dropped stream ends");
    QVERIFY(stuckGot.startsWith(":ID:1"));
    QVERIFY(expected.startsWith(stuckGot.mid(5)));
    QVERIFY(stuckGot.size() - 5 < sent);
    QCOMPARE(host.count("closed 1"), 0);
    QCOMPARE(host.failures.size(), 1u);
}

QTEST_GUILESS_MAIN(TcpDataTest)
#include "tst_tcp_data.moc"
