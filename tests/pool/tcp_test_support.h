#pragma once

// A relay-like host around the pool on real loopback sockets, and the clients that talk to it.

#include "FreePort.h"
#include "TcpSocket.h"
#include "WaitUntil.h"
#include "ZeviderUrive.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
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

// A chat client on QTcpSocket that keeps everything it receives.
struct Client {
    QTcpSocket socket;
    QByteArray got;      // cleared by the tests between phases
    qint64 totalGot = 0; // never cleared
    qint32 slot = 0;     // from the greeting

    explicit Client(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            const QByteArray bytes = socket.readAll();
            got += bytes;
            totalGot += bytes.size();
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool ended() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // True once the greeting is in; takes the slot number from it and clears the buffer.
    bool takeGreeting() {
        if (!got.startsWith(":ID:") || got.size() < 5)
            return false;
        slot = got.mid(4).toInt();
        got.clear();
        return slot > 0;
    }
};

using Clients = std::vector<std::unique_ptr<Client>>;

// Connects n clients one after the other, each greeted before the next, so they take slots in
// order. Empty on failure.
inline Clients connectGreeted(quint16 port, int n) {
    Clients clients;
    for (int i = 0; i < n; ++i) {
        auto client = std::make_unique<Client>(port);
        if (!waitUntil([&] { return client->takeGreeting(); }, 5000))
            return {};
        clients.push_back(std::move(client));
    }
    return clients;
}

// A bare POSIX client, for what QTcpSocket does not offer: a reset, a tiny receive window, a
// half close, and never reading.
class RawClient {
public:
    explicit RawClient(quint16 port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Loopback connects complete in the kernel's backlog, before the pool accepts.
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool write(const QByteArray& bytes) {
        return ::send(fd_, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) ==
               bytes.size();
    }
    void endStream() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an orderly end of stream.
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd_);
        fd_ = -1;
    }
    // Takes what has arrived without waiting; true once the stream has ended (EOF or error).
    bool drain(QByteArray& into) {
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                into.append(buffer, n);
                continue;
            }
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
    }

private:
    int fd_ = -1;
};

} // namespace talkmere::testing
