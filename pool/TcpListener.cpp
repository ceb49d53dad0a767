#include "TcpListener.h"

#include "BindHelper.h"
#include "ListenSocket.h"
#include "TcpSocket.h"
#include "TcpSocketLayer.h"
#include "bind100/Handover.h"

#include <QNetworkInterface>
#include <QTimer>

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talkmere {

namespace {

// Connections taken per notification: more than the backlog holds, so that one pass empties it
// (a full backlog drops the handshakes of a burst), yet bounded under an endless one.
constexpr int kAcceptBurst = 4 * kListenBacklog;

// Either any-address takes clients of both families, as the bind helper's listener does.
bool anyAddress(const QHostAddress& host) {
    return host == QHostAddress::Any || host == QHostAddress::AnyIPv6;
}

// A listening descriptor for `host`, or -1 with errno set; a link-local address keeps its
// interface.
int openListener(const QHostAddress& host, quint16 port) {
    if (anyAddress(host))
        return openAnyListener(port);
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4)
        return openIPv4Listener(v4, port);
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    const Q_IPV6ADDR bytes = host.toIPv6Address();
    std::memcpy(&in6.sin6_addr, &bytes, sizeof bytes);
    const QString scope = host.scopeId();
    bool numbered = false;
    in6.sin6_scope_id = scope.toUInt(&numbered);
    if (!scope.isEmpty() && !numbered)
        in6.sin6_scope_id = static_cast<quint32>(QNetworkInterface::interfaceIndexFromName(scope));
    if (!scope.isEmpty() && in6.sin6_scope_id == 0) {
        errno = ENODEV;
        return -1;
    }
    return openListenerAt(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
}

} // namespace

TcpListener::TcpListener(TcpSocket& socket, std::shared_ptr<TcpContext> context)
    : TcpEndpoint(socket, std::move(context)) {}

quint16 TcpListener::checked(qint32 port) const {
    if (port < 1 || port > 65535)
        throw PoolError(EINVAL, source(), QStringLiteral("Invalid port %1").arg(port));
    if (context_->listenAddress.isNull())
        throw PoolError(EINVAL, source(), QStringLiteral("Invalid listen address"));
    return static_cast<quint16>(port);
}

void TcpListener::open(quint16 port) {
    const QHostAddress& address = context_->listenAddress;
    int fd = openListener(address, port);
    // Refused for want of privilege: the helper may open this one port for the program.
    if (fd < 0 && errno == EACCES && port == handover::kPort && anyAddress(address) &&
        !context_->bindHelper.isEmpty())
        fd = bind_helper::listenOnPort100(context_->bindHelper);
    if (fd < 0)
        throw systemFailure(errno);
    fd_ = fd;
    readNotifier_ = watch(QSocketNotifier::Read, [this] { acceptReady(); });
    state_ = StateListening;
}

void TcpListener::close() {
    release();
    acceptPaused_ = false;
    acceptStalled_ = false;
    state_ = StateClosed;
}

void TcpListener::acceptReady() {
    atEdge([this] {
        const Stamp began = stamp();
        for (int taken = 0; taken < kAcceptBurst; ++taken) {
            const int descriptor = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (descriptor >= 0) {
                incomingConnection(descriptor);
                if (!current(began)) // closed while the request was handled
                    return;
                continue;
            }
            switch (const int error = errno) {
            case EAGAIN:
                acceptStalled_ = false; // the backlog is taken: a later shortage is a new spell
                return;
            case EINTR:
            case ECONNABORTED: // gone before it was taken
            case EPROTO:
                continue;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                pauseAccepting(error);
                return;
            default:
                fail(error, systemText(error));
                return;
            }
        }
    });
}

// The waiting clients stay in the backlog, served as soon as descriptors are free again: the
// level-triggered notifier would otherwise fire at once, again and again.
void TcpListener::pauseAccepting(int error) {
    if (readNotifier_)
        readNotifier_->setEnabled(false);
    if (!acceptPaused_) {
        acceptPaused_ = true;
        QTimer::singleShot(kAcceptRetryMs, &socket(), [this, began = stamp()] {
            if (!current(began))
                return;
            acceptPaused_ = false;
            if (readNotifier_)
                readNotifier_->setEnabled(true);
        });
    }
    if (std::exchange(acceptStalled_, true))
        return;
    if (SocketListener* listener = host())
        listener->onAcceptPaused(index(), static_cast<qint16>(error), systemText(error), source());
}

void TcpListener::incomingConnection(int descriptor) {
    const std::shared_ptr<TcpContext> context = context_; // this socket may go in the handler
    const qint32 request = descriptor;
    context->pendingRequests.insert(request);
    if (SocketListener* listener = host())
        listener->onConnectionRequest(index(), request);
    // Not taken while its notification ran: hang up at once rather than leave it waiting.
    if (context->pendingRequests.remove(request))
        ::close(descriptor);
}

void TcpListener::fail(int error, const QString& description) {
    state_ = StateError;
    reportError(error, description);
}

} // namespace talkmere
