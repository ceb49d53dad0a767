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
    // One at a time, oldest first: a progress handler may close or delete any of them, which
    // takes it off the list.
    std::vector<TcpConnection*>& unreported = context_->unreported;
    while (!unreported.empty()) {
        TcpConnection* connection = unreported.front();
        unreported.erase(unreported.begin());
        connection->reportAtYield();
    }
}

} // namespace talkmere
