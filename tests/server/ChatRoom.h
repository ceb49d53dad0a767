#pragma once

#include "FreePort.h"
#include "Module1.h"
#include "ServerControl.h"

#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <sys/socket.h>
#include <vector>

namespace talkmere::testing {

// Generous: the machine is shared and slow at times; a wait that succeeds returns at once.
constexpr int kWait = 10000;

// A chat client on a plain QTcpSocket. There is no framing on the wire, so everything it is sent
// is kept as one concatenation and compared as a whole.
class ChatClient {
public:
    ChatClient() {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
    }

    void send(const QByteArray& text) {
        socket.write(text);
        socket.flush();
    }
    bool connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // Ends the connection with a reset instead of an orderly close.
    void reset() {
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                     sizeof hard);
        socket.abort();
    }

    QTcpSocket socket;
    QByteArray received;
};

// A started server on a loopback port of its own, and the clients that joined it. Clients are
// declared last so they go first, while the server can still see them leave.
class ChatRoom {
public:
    explicit ChatRoom(bool showDataEvents = true) : port(freeLoopbackPort()) {
        server.relay().setShowDataEvents(showDataEvents);
        server.startServer();
    }

    ChatClient& client(int n) { return *clients.at(static_cast<size_t>(n - 1)); }

    ChatClient& connectClient() {
        clients.push_back(std::make_unique<ChatClient>());
        clients.back()->socket.connectToHost(QHostAddress::LocalHost, port);
        return *clients.back();
    }

    // Adds clients one at a time; each must be greeted with the next slot and the password.
    bool join(int count) {
        for (int i = 0; i < count; ++i) {
            const QByteArray greeting = ":ID:" + QByteArray::number(qsizetype(clients.size()) + 1) +
                                        Module1::ServerPassword;
            ChatClient& c = connectClient();
            if (!QTest::qWaitFor([&] { return c.received == greeting; }, kWait))
                return false;
        }
        return true;
    }

    QList<QByteArray> lines() {
        QList<QByteArray> all;
        for (qsizetype i = 0; i < server.log().count(); ++i)
            all << server.log().line(i);
        return all;
    }

    // Waits until the log holds the line: the relay has then handled the text that wrote it.
    bool logged(const QByteArray& line) {
        return QTest::qWaitFor([&] { return lines().contains(line); }, kWait);
    }

    quint16 port;
    ServerControl server{port, QHostAddress::LocalHost};
    std::vector<std::unique_ptr<ChatClient>> clients;
};

} // namespace talkmere::testing
