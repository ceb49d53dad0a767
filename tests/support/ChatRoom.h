#pragma once

// A started server with the chat clients that joined it: over the scriptable socket layer, where
// everything happens at once and in a known order (FakeRoom), or over real loopback sockets
// (ChatRoom), for what only the kernel does.

#include "ChatClient.h"
#include "FakeSocket.h"
#include "FreePort.h"
#include "Module1.h"
#include "Protocol.h"
#include "ServerControl.h"
#include "WaitUntil.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace talkmere::testing {

inline QList<QByteArray> logLines(const EventLog& log) {
    QList<QByteArray> all;
    for (qsizetype i = 0; i < log.count(); ++i)
        all << log.line(i);
    return all;
}

// What a reset peer reports on this system, through the real sockets and through the fake.
inline QString resetText() {
    return QString::fromLocal8Bit(std::strerror(ECONNRESET));
}

// A client on the scriptable layer: a connection request raised on the listener. What it says
// reaches the server at once; what it was sent is kept at the far end of its connection.
class FakeClient {
public:
    FakeClient(FakeSocketLayer& layer, ZeviderUrive& pool, qint32 request)
        : layer_(layer), pool_(pool), request_(request) {}

    // Where it connects from.
    FakeSocket::Peer peer() const { return layer_.peers.value(request_); }
    // Whether the server took the connection at all.
    bool accepted() const { return layer_.farEnds.contains(request_); }
    // The slot holding its connection; 0 once the connection has ended.
    qint32 slot() const {
        for (qint32 i = 1; i <= pool_.SocketCount(); ++i)
            if (const auto* s = static_cast<FakeSocket*>(pool_.socketAt(i));
                s && s->acceptedRequest == request_ && s->state() != StateClosed)
                return i;
        return 0;
    }
    QByteArray received() const { return layer_.farEnds.value(request_).received; }
    // The server has closed the connection.
    bool ended() const { return layer_.farEnds.value(request_).closed; }

    // A data arrival on its slot.
    void send(const QByteArray& text) { socket()->raiseDataArrival(text); }
    // The client closes in order.
    void leave() { socket()->raisePeerClosed(); }
    // The connection is reset.
    void reset() { socket()->raiseError(ECONNRESET, resetText()); }

private:
    FakeSocket* socket() const {
        const qint32 at = slot();
        if (at == 0)
            qFatal("client %d holds no connection", request_);
        return static_cast<FakeSocket*>(pool_.socketAt(at));
    }

    FakeSocketLayer& layer_;
    ZeviderUrive& pool_;
    qint32 request_;
};

class FakeRoom {
    FakeSocketLayer* layer_ = new FakeSocketLayer; // owned by the pool
    std::unique_ptr<ServerControl> owned_ =
        std::make_unique<ServerControl>(std::unique_ptr<SocketLayer>(layer_), ServerControl::kPort);

public:
    // Started and showing data events; a window starts its server itself.
    explicit FakeRoom(bool start = true) {
        if (!start)
            return;
        server.relay().setShowDataEvents(true);
        server.startServer();
    }
    FakeRoom(const FakeRoom&) = delete;
    FakeRoom& operator=(const FakeRoom&) = delete;

    // Hands the server over to a window; the room still drives it, and must not outlive it.
    std::unique_ptr<ServerControl> release() { return std::move(owned_); }

    FakeSocket* socket(qint32 slot) const {
        return static_cast<FakeSocket*>(server.pool().socketAt(slot));
    }
    FakeClient& client(int n) { return *clients.at(static_cast<size_t>(n - 1)); }
    // Client n connects from client<n>.example, 10.0.0.<n>, port 50000 + n.
    FakeClient& connectClient() {
        const qint32 n = nextRequest_++;
        layer.peers[n] = {QStringLiteral("client%1.example").arg(n),
                          QStringLiteral("10.0.0.%1").arg(n), 50000 + n};
        clients.push_back(std::make_unique<FakeClient>(layer, server.pool(), n));
        socket(0)->raiseConnectionRequest(n);
        return *clients.back();
    }
    // Adds clients one at a time; each must be greeted with the next slot and the password.
    bool join(int count) {
        for (int i = 0; i < count; ++i) {
            const auto slot = static_cast<qint32>(clients.size()) + 1;
            if (connectClient().received() != protocol::greeting(slot, Module1::ServerPassword))
                return false;
        }
        return true;
    }
    QList<QByteArray> lines() const { return logLines(server.log()); }

    FakeSocketLayer& layer = *layer_;
    ServerControl& server = *owned_;
    std::vector<std::unique_ptr<FakeClient>> clients;

private:
    qint32 nextRequest_ = 1;
};

// The same over real loopback sockets, on a port of its own. Clients are declared last so they
// go first, while the server can still see them leave.
class ChatRoom {
public:
    explicit ChatRoom(bool showDataEvents = true) : port(freeLoopbackPort()) {
        server.relay().setShowDataEvents(showDataEvents);
        server.startServer();
    }

    ChatClient& client(int n) { return *clients.at(static_cast<size_t>(n - 1)); }
    ChatClient& connectClient() {
        clients.push_back(std::make_unique<ChatClient>(port));
        return *clients.back();
    }
    bool join(int count) {
        for (int i = 0; i < count; ++i) {
            const auto slot = static_cast<qint32>(clients.size()) + 1;
            const QByteArray greeting = protocol::greeting(slot, Module1::ServerPassword);
            ChatClient& c = connectClient();
            if (!QTest::qWaitFor([&] { return c.received == greeting; }, kWait))
                return false;
        }
        return true;
    }
    QList<QByteArray> lines() { return logLines(server.log()); }

    quint16 port;
    ServerControl server{port, QHostAddress::LocalHost};
    std::vector<std::unique_ptr<ChatClient>> clients;
};

} // namespace talkmere::testing
