#pragma once

#include "Socket.h"
#include "TcpConnection.h"
#include "TcpListener.h"

#include <memory>

namespace talkmere {

// A slot's socket on a non-blocking descriptor: slot 0's listens, a client slot's accepts. The
// pool makes every slot's socket alike and gives it its role by calling listen or accept, so this
// is the one Socket, holding a listening part and a connected part of which at most one is open.
class TcpSocket final : public Socket {
    Q_OBJECT
public:
    static constexpr qint64 kSendQueueLimit = TcpConnection::kSendQueueLimit;

    TcpSocket(std::shared_ptr<TcpContext> context, QObject* parent);
    ~TcpSocket() override;

    void close() override;
    void listen() override;
    void accept(qint32 requestId) override;
    void send(const QByteArray& data) override { connection_.send(data); }
    QByteArray fetch() override { return connection_.fetch(); }

    int state() const override;
    qint32 localPort() const override { return localPort_; }
    void setLocalPort(qint32 port) override { localPort_ = port; }
    QString remoteHost() const override { return connection_.remoteHost(); }
    QString remoteHostIP() const override { return connection_.remoteHostIP(); }
    qint32 remotePort() const override { return connection_.remotePort(); }

    qint64 bytesQueued() const { return connection_.bytesQueued(); }

private:
    friend class TcpEndpoint; // its parts notify the pool through this socket

    std::shared_ptr<TcpContext> context_;
    qint32 localPort_ = 0;
    TcpListener listener_;
    TcpConnection connection_;
};

} // namespace talkmere
