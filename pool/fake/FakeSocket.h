#pragma once

#include "Socket.h"

#include <QHash>
#include <QList>
#include <QPointer>

#include <functional>
#include <optional>
#include <vector>

namespace talkmere {

class FakeSocketLayer;

// A socket that does what the test says: every operation can be made to fail, and every
// notification is raised by the test, synchronously, as the event loop would deliver it.
class FakeSocket final : public Socket {
    Q_OBJECT
public:
    enum class Op { Close, Listen, Accept, Send, Fetch, State, LocalPort, Remote };

    struct Peer {
        QString host;
        QString ip;
        qint32 port = 0;
    };

    // The other end of one accepted connection: everything it was sent, and whether the pool
    // has closed the connection. The layer keeps it, so it outlives the socket and the reuse of
    // the socket's slot, as a real peer would.
    struct FarEnd {
        QByteArray received;
        bool closed = false;
    };

    // What a send on a socket that is not connected fails with.
    static inline const ErrorInfo kNotConnected{10057, QStringLiteral("FakeSocket"),
                                                QStringLiteral("Socket is not connected")};

    FakeSocket(FakeSocketLayer* layer, QObject* parent);

    // Scripting.
    void failNext(Op op, const ErrorInfo& failure) { failNext_[op] = failure; }
    void failAlways(Op op, const ErrorInfo& failure) { failAlways_[op] = failure; }
    void stopFailing() {
        failNext_.clear();
        failAlways_.clear();
    }
    void setState(int state) { state_ = state; }

    // Notifications.
    void raiseConnectionRequest(qint32 requestId);
    void raiseDataArrival(const QByteArray& data);
    void raiseSendProgress(qint64 sent, qint64 remaining);
    void raiseSendComplete();
    void raiseError(qint16 number, const QString& description,
                    const QString& source = QStringLiteral("FakeSocket"));
    void raisePeerClosed();

    // What the pool did to it.
    QList<QByteArray> sent;
    int closeCount = 0;
    int listenCount = 0;
    std::optional<qint32> acceptedRequest;
    QByteArray pending; // what fetch hands over next

    void close() override;
    void listen() override;
    void accept(qint32 requestId) override;
    void send(const QByteArray& data) override;
    QByteArray fetch() override;
    int state() const override;
    qint32 localPort() const override;
    void setLocalPort(qint32 port) override;
    QString remoteHost() const override;
    QString remoteHostIP() const override;
    qint32 remotePort() const override;

private:
    void maybeFail(Op op) const;

    FakeSocketLayer* layer_;
    mutable QHash<Op, ErrorInfo> failNext_;
    QHash<Op, ErrorInfo> failAlways_;
    int state_ = StateClosed;
    qint32 localPort_ = 0;
    Peer peer_;
};

class FakeSocketLayer final : public SocketLayer {
public:
    Socket* createSocket(QObject* parent) override;
    void yield() override;

    // Every socket made so far, in creation order (null once the pool has destroyed it).
    std::vector<QPointer<FakeSocket>> created;
    // Who is on the other end of each connection request.
    QHash<qint32, FakeSocket::Peer> peers;
    // The other end of each accepted connection, by its request.
    QHash<qint32, FakeSocket::FarEnd> farEnds;
    // What happens inside each yield; the pool's events may re-enter it from here.
    std::function<void()> onYield;
    int yields = 0;
    // Fails the next socket creation (a slot that cannot be added).
    std::optional<ErrorInfo> failNextCreate;
};

} // namespace talkmere
