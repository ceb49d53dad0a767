#pragma once

#include "Socket.h"
#include "TcpEndpoint.h"

namespace talkmere {

// The listening part of slot 0's socket. Every accept failure is seen: a shortage of descriptors
// or memory pauses accepting (reported once per spell) instead of spinning on the backlog, and
// connection requests that nobody took while their notification ran are hung up at once.
class TcpListener final : public TcpEndpoint {
public:
    // Out of descriptors, the listener looks again this often instead of spinning on a backlog
    // that it cannot take.
    static constexpr int kAcceptRetryMs = 100;

    TcpListener(TcpSocket& socket, std::shared_ptr<TcpContext> context);

    // Throws when `port` or the listening address cannot be listened on, before anything closes.
    quint16 checked(qint32 port) const;
    // Listens on `port` of the layer's address; throws PoolError when it cannot. Closed before.
    void open(quint16 port);
    void close();
    int state() const { return state_; }

private:
    void acceptReady();
    void pauseAccepting(int error);
    void incomingConnection(int descriptor);
    void fail(int error, const QString& description) override;

    int state_ = StateClosed;    // closed, listening, or failed
    bool acceptPaused_ = false;  // out of descriptors: retrying on a timer
    bool acceptStalled_ = false; // reported; ends when the backlog has been taken
};

} // namespace talkmere
