// Arbitrary arrival texts through the relay's handlers: a real RelayServer, ClientTable and
// EventLog on a pool over the fake socket layer, configured as the server configures it.
//
// Input: byte 0 picks how many clients connect (1 to 10); bytes 1 and 2 pick which of slots 1 to
// 8 and 9 to 10 leave again before the arrivals (one always stays); byte 3 starts the event log
// nearly full when its low six bits are 1 (rarely: filling it is slow). Then one record per
// arrival: a header byte (bits 0-3 pick the sender among the connected clients, bit 4 "Show data
// events", bit 5 stretches the payload by a repeat count in the next byte, bit 6 makes the next
// record arrive inside this one's first yield), a length byte and the payload.
#include "ClientTable.h"
#include "EventLog.h"
#include "FakeSocket.h"
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "Module1.h"
#include "Protocol.h"
#include "RelayServer.h"
#include "ServerControl.h"
#include "ZeviderUrive.h"

#include <QHash>
#include <QList>

#include <algorithm>
#include <memory>
#include <vector>

using namespace talkmere;
using namespace talkmere::fuzz;

namespace {

constexpr int kMaxNesting = 8;
const QByteArray kPassword = "secret";

struct Arrival {
    qint32 slot = 0;
    QByteArray text;
    bool showDataEvents = false;
    bool nextInsideYield = false;
};

// The cut written independently of the server's own helper, from the rule the log follows.
QByteArray expectedLine(qint32 slot, const QByteArray& text) {
    QByteArray logged = text;
    if (text.size() > 1024)
        logged = text.left(1024) + " ... (" + QByteArray::number(text.size()) + " bytes)";
    return protocol::dataLine(slot, logged);
}

class RelayRig {
public:
    RelayRig() : layer_(new FakeSocketLayer), pool_(std::unique_ptr<SocketLayer>(layer_)) {
        relay_ = std::make_unique<RelayServer>(pool_, table_, log_);
        table_.setUp();
        ServerControl::setPassword(kPassword);
        pool_.setMaxClients(10);
        pool_.setRaiseErrors(true);
        pool_.setLocalPort(100);
        FUZZ_REQUIRE(pool_.StartListening(), QStringLiteral("the fake listener refused"));
    }

    FakeSocket* socket(qint32 slot) const { return static_cast<FakeSocket*>(pool_.socketAt(slot)); }
    bool connected(qint32 slot) const {
        return socket(slot) && socket(slot)->state() == StateConnected;
    }

    void connectClients(int count) {
        for (int i = 1; i <= count; ++i) {
            socket(0)->raiseConnectionRequest(i);
            FUZZ_REQUIRE(connected(i), QStringLiteral("client %1 was not connected").arg(i));
            const QList<QByteArray> greeting{protocol::greeting(i, kPassword)};
            FUZZ_REQUIRE(socket(i)->sent == greeting, QStringLiteral("slot %1 greeted with %2")
                                                          .arg(i)
                                                          .arg(shown(socket(i)->sent.value(0))));
        }
        FUZZ_REQUIRE(pool_.ActiveClients() == count, QString());
    }

    void leave(qint32 slot) {
        std::vector<qint32> staying;
        for (qint32 i = 1; i <= 10; ++i)
            if (i != slot && connected(i))
                staying.push_back(i);
        QHash<qint32, qsizetype> before;
        for (qint32 i : staying)
            before[i] = socket(i)->sent.size();
        socket(slot)->raisePeerClosed();
        const QByteArray departure = protocol::departure(slot);
        for (qint32 i : staying)
            FUZZ_REQUIRE(socket(i)->sent.mid(before[i]) == QList<QByteArray>{departure},
                         QStringLiteral("slot %1 was not told that slot %2 left").arg(i).arg(slot));
        FUZZ_REQUIRE(table_.cell(table_.FindRow(slot), 1) == QStringLiteral("Closed"), QString());
    }

    void fillLogAlmost() {
        const QByteArray filler = "earlier line";
        for (qsizetype i = 0; i < EventLog::kMaxLines - 3; ++i)
            log_.appendOnly(filler);
    }

    void run(std::vector<Arrival> arrivals) {
        arrivals_ = std::move(arrivals);
        for (qint32 i = 1; i <= 10; ++i)
            if (connected(i))
                connected_.push_back(i);
        layer_->onYield = [this] {
            if (next_ > 0 && next_ < arrivals_.size() && arrivals_[next_ - 1].nextInsideYield &&
                depth_ < kMaxNesting)
                deliver(next_++);
        };
        while (next_ < arrivals_.size()) {
            const size_t first = next_;
            Snapshot before = snapshot();
            deliver(next_++);
            check(first, next_, before);
        }
        layer_->onYield = nullptr;
    }

private:
    struct Snapshot {
        QHash<qint32, qsizetype> sent;
        quint64 appended = 0;
        qint64 received = 0;
    };

    Snapshot snapshot() const {
        Snapshot s;
        for (qint32 i : connected_)
            s.sent[i] = socket(i)->sent.size();
        for (qint32 i = 0; i <= pool_.SocketCount(); ++i)
            if (socket(i))
                s.sent[i] = socket(i)->sent.size();
        s.appended = log_.appended();
        s.received = pool_.BytesReceived();
        return s;
    }

    void deliver(size_t n) {
        const Arrival& arrival = arrivals_[n];
        relay_->setShowDataEvents(arrival.showDataEvents);
        ++depth_;
        socket(arrival.slot)->raiseDataArrival(arrival.text);
        --depth_;
    }

    // Who must receive what for one arrival, by the routing rule.
    void expectDeliveries(const Arrival& arrival,
                          QHash<qint32, QList<QByteArray>>& expected) const {
        const QByteArray& text = arrival.text;
        if (!text.startsWith('@')) {
            for (qint32 i : connected_)
                expected[i] << text;
            return;
        }
        if (text.size() < 2 || text[1] < '0' || text[1] > '9')
            return;
        const qint32 target = text[1] - '0';
        if (std::find(connected_.begin(), connected_.end(), target) != connected_.end())
            expected[target] << text.mid(2);
    }

    void check(size_t first, size_t end, const Snapshot& before) {
        QHash<qint32, QList<QByteArray>> expected;
        QList<QByteArray> expectedLines;
        qint64 bytes = 0;
        for (size_t n = first; n < end; ++n) {
            expectDeliveries(arrivals_[n], expected);
            if (arrivals_[n].showDataEvents)
                expectedLines << expectedLine(arrivals_[n].slot, arrivals_[n].text);
            bytes += arrivals_[n].text.size();
        }
        const QString batch = QStringLiteral("arrivals %1..%2, first from slot %3: %4")
                                  .arg(first)
                                  .arg(end - 1)
                                  .arg(arrivals_[first].slot)
                                  .arg(shown(arrivals_[first].text));

        // Every slot got exactly its texts, unchanged; nested arrivals interleave, so compare
        // each slot's texts regardless of order.
        for (auto it = before.sent.begin(); it != before.sent.end(); ++it) {
            FakeSocket* s = socket(it.key());
            FUZZ_REQUIRE(s, QStringLiteral("slot %1 vanished; %2").arg(it.key()).arg(batch));
            QList<QByteArray> got = s->sent.mid(it.value());
            QList<QByteArray> want = expected.value(it.key());
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            FUZZ_REQUIRE(got == want, QStringLiteral("slot %1 received %2 texts (first %3), "
                                                     "expected %4 (first %5); %6")
                                          .arg(it.key())
                                          .arg(got.size())
                                          .arg(shown(got.value(0)))
                                          .arg(want.size())
                                          .arg(shown(want.value(0)))
                                          .arg(batch));
        }

        // The data lines, in arrival order, and nothing else.
        const auto appended = static_cast<qsizetype>(log_.appended() - before.appended);
        FUZZ_REQUIRE(appended == expectedLines.size(),
                     QStringLiteral("%1 log lines for %2 expected; newest %3; %4")
                         .arg(appended)
                         .arg(expectedLines.size())
                         .arg(shown(log_.count() ? log_.line(log_.count() - 1) : QByteArray()))
                         .arg(batch));
        for (qsizetype j = 0; j < appended; ++j) {
            const QByteArray& line = log_.line(log_.count() - appended + j);
            FUZZ_REQUIRE(line == expectedLines[j], QStringLiteral("log line %1 is %2, expected %3")
                                                       .arg(j)
                                                       .arg(shown(line, 1200))
                                                       .arg(shown(expectedLines[j], 1200)));
        }
        FUZZ_REQUIRE(log_.count() <= EventLog::kMaxLines,
                     QStringLiteral("the log holds %1 lines").arg(log_.count()));
        FUZZ_REQUIRE(log_.count() == std::min<qint64>(qint64(log_.appended()), EventLog::kMaxLines),
                     QStringLiteral("the log holds %1 of %2 lines appended")
                         .arg(log_.count())
                         .arg(log_.appended()));
        if (appended > 0)
            FUZZ_REQUIRE(
                log_.selected() == log_.count() - 1,
                QStringLiteral("selected line %1 of %2").arg(log_.selected()).arg(log_.count()));

        // Nobody was disconnected, and the counts followed the arrivals.
        for (qint32 i : connected_) {
            FUZZ_REQUIRE(connected(i),
                         QStringLiteral("slot %1 was disconnected; %2").arg(i).arg(batch));
            FUZZ_REQUIRE(table_.cell(table_.FindRow(i), 1) == QStringLiteral("Connected"),
                         QStringLiteral("slot %1's row says %2")
                             .arg(i)
                             .arg(table_.cell(table_.FindRow(i), 1)));
        }
        FUZZ_REQUIRE(pool_.ActiveClients() == qint32(connected_.size()),
                     QStringLiteral("ActiveClients %1 with %2 connected")
                         .arg(pool_.ActiveClients())
                         .arg(connected_.size()));
        FUZZ_REQUIRE(pool_.BytesReceived() == before.received + bytes,
                     QStringLiteral("BytesReceived %1, expected %2")
                         .arg(pool_.BytesReceived())
                         .arg(before.received + bytes));
    }

    FakeSocketLayer* layer_; // owned by the pool
    ZeviderUrive pool_;
    ClientTable table_;
    EventLog log_;
    std::unique_ptr<RelayServer> relay_;
    std::vector<qint32> connected_;
    std::vector<Arrival> arrivals_;
    size_t next_ = 0;
    int depth_ = 0;
};

} // namespace

void talkmere::fuzz::fuzzOne(FuzzInput& input) {
    const int clients = 1 + input.byte() % 10;
    const quint8 leavingLow = input.byte();
    const quint8 leavingHigh = input.byte();
    const unsigned leaving = leavingLow | (leavingHigh & 3u) << 8;
    const bool logNearlyFull = (input.byte() & 0x3f) == 1;
    RelayRig rig;
    rig.connectClients(clients);
    int staying = clients;
    for (qint32 slot = 1; slot <= clients; ++slot)
        if (leaving & (1u << (slot - 1)) && staying > 1) {
            rig.leave(slot);
            --staying;
        }
    if (logNearlyFull)
        rig.fillLogAlmost();

    std::vector<qint32> senders;
    for (qint32 slot = 1; slot <= clients; ++slot)
        if (rig.connected(slot))
            senders.push_back(slot);
    std::vector<Arrival> arrivals;
    while (!input.exhausted()) {
        const quint8 header = input.byte();
        Arrival arrival;
        arrival.slot = senders[(header & 0x0f) % senders.size()];
        arrival.showDataEvents = header & 0x10;
        const int repeat = header & 0x20 ? 1 + input.byte() : 1;
        arrival.nextInsideYield = header & 0x40;
        arrival.text = input.bytes(input.byte()).repeated(repeat);
        arrivals.push_back(std::move(arrival));
    }
    rig.run(std::move(arrivals));
}
