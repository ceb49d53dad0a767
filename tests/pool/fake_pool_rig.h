#pragma once

#include "FakeSocket.h"
#include "ZeviderUrive.h"

#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

namespace talkmere::testing {

inline const ErrorInfo kReset{104, QStringLiteral("FakeSocket"),
                              QStringLiteral("Connection reset by peer")};
inline const ErrorInfo& kNotConnected = FakeSocket::kNotConnected;

inline QString text(const std::optional<ErrorInfo>& e) {
    return e ? QStringLiteral("%1 %2 %3").arg(e->number).arg(e->source, e->description)
             : QStringLiteral("no failure");
}

// What a call threw toward its caller, if anything.
template <typename Call> std::optional<ErrorInfo> thrownBy(Call&& call) {
    try {
        call();
    } catch (const PoolError& failure) {
        return failure.info();
    }
    return std::nullopt;
}

// A pool on the scriptable socket layer. Every event is logged as one line, with the
// ActiveClients its handler saw; the on* hooks are the host's behaviour, run after logging.
struct PoolRig {
    QStringList lines;
    QList<qint32> activeSeen;
    std::function<void(qint32, bool&)> onNewConnection;
    std::function<void(qint32)> onConnectionClosed;
    std::function<void(qint32, const QByteArray&)> onDataArrival;
    std::function<void(qint32)> onSocketError;
    qint32 nextRequest = 1;
    FakeSocketLayer* layer = new FakeSocketLayer;           // owned by the pool
    ZeviderUrive pool{std::unique_ptr<SocketLayer>(layer)}; // last: goes first

    PoolRig() {
        QObject::connect(&pool, &ZeviderUrive::NewConnection, [this](qint32 i, bool& cancel) {
            log(QStringLiteral("NewConnection %1").arg(i));
            if (onNewConnection)
                onNewConnection(i, cancel);
        });
        QObject::connect(&pool, &ZeviderUrive::ConnectionClosed, [this](qint32 i) {
            log(QStringLiteral("ConnectionClosed %1").arg(i));
            if (onConnectionClosed)
                onConnectionClosed(i);
        });
        QObject::connect(
            &pool, &ZeviderUrive::DataArrival, [this](qint32 i, const QByteArray& data) {
                log(QStringLiteral("DataArrival %1 ").arg(i) + QString::fromLatin1(data));
                if (onDataArrival)
                    onDataArrival(i, data);
            });
        QObject::connect(
            &pool, &ZeviderUrive::SocketError,
            [this](qint32 i, qint32 n, const QString& src, const QString& desc) {
                log(QStringLiteral("SocketError %1 %2 %3 %4").arg(i).arg(n).arg(src, desc));
                if (onSocketError)
                    onSocketError(i);
            });
        QObject::connect(
            &pool, &ZeviderUrive::SendProgress, [this](qint32 i, qint64 sent, qint64 remaining) {
                log(QStringLiteral("SendProgress %1 %2 %3").arg(i).arg(sent).arg(remaining));
            });
        QObject::connect(&pool, &ZeviderUrive::SendComplete,
                         [this](qint32 i) { log(QStringLiteral("SendComplete %1").arg(i)); });
    }
    // Listening, with `clients` connected and nothing logged yet.
    explicit PoolRig(int clients) : PoolRig() {
        startListening();
        connectClients(clients);
        take();
    }
    PoolRig(const PoolRig&) = delete;
    PoolRig& operator=(const PoolRig&) = delete;

    void log(const QString& line) {
        lines << line;
        activeSeen << pool.ActiveClients();
    }
    QStringList take() {
        activeSeen.clear();
        return std::exchange(lines, {});
    }

    FakeSocket* socket(qint32 index) const {
        return static_cast<FakeSocket*>(pool.socketAt(index));
    }
    FakeSocket* listener() const { return socket(0); }
    int state(qint32 index) const { return socket(index) ? socket(index)->state() : -1; }

    void startListening(qint32 maxClients = 10) {
        pool.setMaxClients(maxClients);
        pool.setLocalPort(100);
        pool.StartListening();
    }
    void request(qint32 id) { listener()->raiseConnectionRequest(id); }
    void connectClients(int count) {
        for (int i = 0; i < count; ++i)
            request(nextRequest++);
    }
    // Counted from the sockets, to hold ActiveClients against.
    qint32 connectedSlots() const {
        qint32 connected = 0;
        for (size_t i = 1; i < layer->created.size(); ++i)
            connected += state(static_cast<qint32>(i)) == StateConnected ? 1 : 0;
        return connected;
    }
};

} // namespace talkmere::testing
