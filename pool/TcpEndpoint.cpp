#include "TcpEndpoint.h"

#include "TcpSocket.h"

#include <cstring>
#include <unistd.h>

namespace talkmere {

QString TcpEndpoint::source() {
    return QStringLiteral("TcpSocket");
}

QString TcpEndpoint::systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

PoolError TcpEndpoint::systemFailure(int error) {
    return PoolError(error, source(), systemText(error));
}

TcpEndpoint::TcpEndpoint(TcpSocket& socket, std::shared_ptr<TcpContext> context)
    : context_(std::move(context)), socket_(socket) {}

TcpEndpoint::Stamp TcpEndpoint::stamp() const {
    return Stamp{QPointer<QObject>(&socket_), generation_};
}

QSocketNotifier* TcpEndpoint::watch(QSocketNotifier::Type type, std::function<void()> handler) {
    auto* notifier = new QSocketNotifier(fd_, type, &socket_);
    QObject::connect(notifier, &QSocketNotifier::activated, &socket_, std::move(handler));
    return notifier;
}

SocketListener* TcpEndpoint::host() const {
    return socket_.listener();
}

qint16 TcpEndpoint::index() const {
    return socket_.index();
}

void TcpEndpoint::release() {
    ++generation_;
    drop(readNotifier_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpEndpoint::drop(QSocketNotifier*& notifier) {
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater(); // its activation may be on the stack
        notifier = nullptr;
    }
}

void TcpEndpoint::reportError(int error, const QString& description) const {
    bool cancelDisplay = false;
    if (SocketListener* listener = host())
        listener->onError(index(), static_cast<qint16>(error), description, error, source(),
                          QString(), 0, cancelDisplay);
}

} // namespace talkmere
