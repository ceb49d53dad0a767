#pragma once

#include <QHostAddress>
#include <QTcpSocket>

#include <sys/socket.h>

namespace talkmere::testing {

// A chat client on a plain QTcpSocket, connecting from the start. There is no framing on the
// wire, so everything it is sent is kept as one concatenation and compared as a whole.
class ChatClient {
public:
    explicit ChatClient(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            const QByteArray bytes = socket.readAll();
            received += bytes;
            totalReceived += bytes.size();
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    ChatClient(const ChatClient&) = delete;
    ChatClient& operator=(const ChatClient&) = delete;

    void send(const QByteArray& text) {
        socket.write(text);
        socket.flush();
    }
    bool ended() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // Ends the connection with a reset instead of an orderly close.
    void reset() {
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                     sizeof hard);
        socket.abort();
    }
    // True once a greeting is in: takes the slot number from it and clears what was received.
    bool takeGreeting() {
        if (!received.startsWith(":ID:") || received.size() < 5)
            return false;
        slot = received.mid(4).toInt();
        received.clear();
        return slot > 0;
    }

    QTcpSocket socket;
    QByteArray received;      // tests may clear it between phases
    qint64 totalReceived = 0; // never cleared
    qint32 slot = 0;          // from takeGreeting
};

} // namespace talkmere::testing
