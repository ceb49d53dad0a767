#include "TcpSocketLayer.h"

#include "TcpSocket.h"

#include <QCoreApplication>

namespace talkmere {

TcpSocketLayer::TcpSocketLayer(const QHostAddress& listenAddress, const QString& bindHelper)
    : context_(std::make_shared<TcpContext>()) {
    context_->listenAddress = listenAddress;
    context_->bindHelper = bindHelper;
}

TcpSocketLayer::~TcpSocketLayer() = default;

Socket* TcpSocketLayer::createSocket(QObject* parent) {
    return new TcpSocket(context_, parent);
}

void TcpSocketLayer::yield() {
    QCoreApplication::processEvents();
    std::vector<QPointer<TcpSocket>> unreported;
    unreported.swap(context_->unreported);
    for (const QPointer<TcpSocket>& socket : unreported) {
        if (!socket)
            continue;
        socket->connection_.reportAtYield();
    }
}

} // namespace talkmere
