#pragma once

// A relay-like host around the pool on real loopback sockets, and the clients that talk to it.

#include "ChatClient.h"
#include "FreePort.h"
#include "RawClient.h"
#include "TcpSocketLayer.h"
#include "WaitUntil.h"
#include "ZeviderUrive.h"

#include <QStringList>

#include <memory>
#include <vector>

namespace talkmere::testing {

// The pool wired like the chat relay: each new client is greeted with its slot number, and every
// text that arrives goes to every connected client, the sender included. Everything the pool
// reports is written to `log` in order ("new 1", "data 1", "closed 1", "error 1 104").
struct RelayHost {
    struct Failure {
        qint32 index;
        qint32 number;
        QString source;
        QString description;
    };

    ZeviderUrive pool{std::make_unique<TcpSocketLayer>(QHostAddress::LocalHost)};
    quint16 port = 0;
    QStringList log;
    std::vector<Failure> failures;
    QHash<qint32, QByteArray> arrived; // everything each slot sent, concatenated
    QList<qint32> activeAtClose;       // ActiveClients as each ConnectionClosed handler saw it
    qint64 reportedSent = 0;           // sum of the SendProgress amounts
    bool progressOutOfStep = false;    // BytesSent ever differed from the sum reported so far

    explicit RelayHost(qint32 maxClients = 10) {
        pool.setMaxClients(maxClients);
        pool.setRaiseErrors(true);
        QObject::connect(&pool, &ZeviderUrive::NewConnection, &pool, [this](qint32 i, bool&) {
            log << QStringLiteral("new %1").arg(i);
            pool.Send(i, ":ID:" + QByteArray::number(i));
        });
        QObject::connect(&pool, &ZeviderUrive::ConnectionClosed, &pool, [this](qint32 i) {
            log << QStringLiteral("closed %1").arg(i);
            activeAtClose << pool.ActiveClients();
        });
        QObject::connect(&pool, &ZeviderUrive::DataArrival, &pool,
                         [this](qint32 i, const QByteArray& text) {
                             log << QStringLiteral("data %1").arg(i);
                             arrived[i] += text;
                             pool.SendToAll(text);
                         });
        QObject::connect(
            &pool, &ZeviderUrive::SocketError, &pool,
            [this](qint32 i, qint32 number, const QString& source, const QString& description) {
                log << QStringLiteral("error %1 %2").arg(i).arg(number);
                failures.push_back({i, number, source, description});
            });
        QObject::connect(&pool, &ZeviderUrive::SendProgress, &pool,
                         [this](qint32, qint64 sent, qint64) {
                             reportedSent += sent;
                             if (pool.BytesSent() != reportedSent)
                                 progressOutOfStep = true;
                         });
    }
    ~RelayHost() {
        try {
            pool.Shutdown();
        } catch (...) {
        }
    }

    bool start() {
        port = freeLoopbackPort();
        pool.setLocalPort(port);
        return port != 0 && pool.StartListening();
    }
    int count(const QString& entry) const { return static_cast<int>(log.count(entry)); }
};

using Clients = std::vector<std::unique_ptr<ChatClient>>;

// Connects n clients one after the other, each greeted before the next, so they take slots in
// order. Empty on failure.
inline Clients connectGreeted(quint16 port, int n) {
    Clients clients;
    for (int i = 0; i < n; ++i) {
        auto client = std::make_unique<ChatClient>(port);
        if (!waitUntil([&] { return client->takeGreeting(); }, kWait))
            return {};
        clients.push_back(std::move(client));
    }
    return clients;
}

} // namespace talkmere::testing
