#include "TcpSocket.h"

#include "TcpSocketLayer.h"

namespace talkmere {

TcpSocket::TcpSocket(std::shared_ptr<TcpContext> context, QObject* parent)
    : Socket(parent), context_(context), listener_(*this, context),
      connection_(*this, std::move(context)) {}

TcpSocket::~TcpSocket() {
    bind(nullptr, index());
    close();
}

void TcpSocket::close() {
    listener_.close();
    connection_.close();
}

void TcpSocket::listen() {
    const quint16 port = listener_.checked(localPort_);
    close();
    listener_.open(port);
}

void TcpSocket::accept(qint32 requestId) {
    if (!context_->pendingRequests.remove(requestId))
        throw PoolError(EBADF, TcpEndpoint::source(),
                        QStringLiteral("No pending connection request %1").arg(requestId));
    close();
    connection_.open(requestId);
}

int TcpSocket::state() const {
    const int listening = listener_.state();
    return listening != StateClosed ? listening : connection_.state();
}

} // namespace talkmere
