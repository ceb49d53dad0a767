#pragma once

#include "ErrorInfo.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace talkmere {

class AnswerGate;

// The socket states the pool reads; anything else counts as neither free nor connected.
enum SocketState : int {
    StateClosed = 0,
    StateListening = 2,
    StateConnected = 7,
    StateClosing = 8, // the peer has ended its stream; the notification is on its way
    StateError = 9,   // a failure was seen; the error notification is on its way
};

// Receives a socket's notifications, always from the event loop and with the slot index the
// socket was given. The pool implements it, and contains every failure of its own handling.
class SocketListener {
public:
    virtual void onConnectionRequest(qint16 index, qint32 requestId) noexcept = 0;
    virtual void onDataArrival(qint16 index, qint32 bytesTotal) noexcept = 0;
    virtual void onSendProgress(qint16 index, qint64 bytesSent, qint64 bytesRemaining) noexcept = 0;
    virtual void onSendComplete(qint16 index) noexcept = 0;
    virtual void onError(qint16 index, qint16 number, const QString& description, qint32 scode,
                         const QString& source, const QString& helpFile, qint32 helpContext,
                         bool& cancelDisplay) noexcept = 0;
    virtual void onPeerClosed(qint16 index) noexcept = 0;
    // The listening socket cannot take waiting connections for now (out of descriptors or
    // memory). It goes on listening and tries again by itself; this comes once per such spell.
    virtual void onAcceptPaused(qint16 index, qint16 number, const QString& description,
                                const QString& source) noexcept = 0;

protected:
    ~SocketListener() = default;
};

// One slot's TCP socket. Every operation may throw PoolError; text is bytes, passed unchanged.
class Socket : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Socket() override = default;

    void bind(SocketListener* listener, qint16 index) {
        listener_ = listener;
        index_ = index;
    }
    qint16 index() const { return index_; }

    virtual void close() = 0;
    virtual void listen() = 0;
    virtual void accept(qint32 requestId) = 0;
    virtual void send(const QByteArray& data) = 0;
    virtual QByteArray fetch() = 0;

    virtual int state() const = 0;
    virtual qint32 localPort() const = 0;
    virtual void setLocalPort(qint32 port) = 0;
    virtual QString remoteHost() const = 0;
    virtual QString remoteHostIP() const = 0;
    virtual qint32 remotePort() const = 0;

protected:
    SocketListener* listener() const { return listener_; }

private:
    SocketListener* listener_ = nullptr;
    qint16 index_ = 0;
};

// Makes the pool's socket objects and provides the one yield to the event loop.
class SocketLayer {
public:
    virtual ~SocketLayer() = default;
    // The pool owns the result through the QObject parent it passes.
    virtual Socket* createSocket(QObject* parent) = 0;
    // Dispatches every event already pending, then returns.
    virtual void yield() = 0;
    // The gate its sockets' arrivals wait at, or nullptr when they answer at once.
    virtual const AnswerGate* answerGate() const { return nullptr; }
};

} // namespace talkmere
