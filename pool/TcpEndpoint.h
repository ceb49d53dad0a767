#pragma once

#include "ErrorInfo.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <exception>
#include <functional>
#include <memory>

namespace talkmere {

class SocketListener;
class TcpSocket;
struct TcpContext;

// What a listener and a connection share: one non-blocking descriptor watched by
// QSocketNotifier, the slot's socket that they serve, and the edge where Qt calls in. The
// notifiers and timers hang on the socket, which outlives every opening and closing of its part.
class TcpEndpoint {
public:
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    // The source every failure of a real socket names, whichever part found it.
    static QString source();
    static QString systemText(int error);
    static PoolError systemFailure(int error);

protected:
    // When a call began: if the socket was deleted in a handler, or the part closed (and perhaps
    // opened again for someone else), what the call still meant to do is dropped.
    struct Stamp {
        QPointer<QObject> socket;
        quint64 generation = 0;
    };

    TcpEndpoint(TcpSocket& socket, std::shared_ptr<TcpContext> context);
    ~TcpEndpoint() = default;

    Stamp stamp() const;
    bool current(const Stamp& stamp) const {
        return stamp.socket && generation_ == stamp.generation;
    }
    TcpSocket& socket() const { return socket_; }
    SocketListener* host() const;
    qint16 index() const;
    // A notifier for the open descriptor; it lives on the socket, and `handler` runs on it.
    QSocketNotifier* watch(QSocketNotifier::Type type, std::function<void()> handler);
    // Closes the descriptor and the read notifier; every stamp taken before goes stale.
    void release();
    static void drop(QSocketNotifier*& notifier);

    // The edge of what Qt calls here (notifiers, timers, posted calls): nothing may reach its
    // event loop. The pool contains whatever fails in its own handling; anything else that fails
    // here (no memory, say) is this part's failure and is reported like any other, unless the
    // part has been closed, and perhaps opened again, meanwhile.
    template <typename Body> void atEdge(Body&& body) noexcept;
    virtual void fail(int error, const QString& description) = 0;
    void reportError(int error, const QString& description) const;

    std::shared_ptr<TcpContext> context_;
    int fd_ = -1;
    QSocketNotifier* readNotifier_ = nullptr;

private:
    TcpSocket& socket_;
    quint64 generation_ = 0; // changes with every close, so late notifications are dropped
};

template <typename Body> void TcpEndpoint::atEdge(Body&& body) noexcept {
    const Stamp began = stamp();
    QString failure;
    try {
        body();
        return;
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    } catch (...) {
        failure = QStringLiteral("Unknown failure");
    }
    if (current(began))
        fail(EIO, failure);
}

} // namespace talkmere
