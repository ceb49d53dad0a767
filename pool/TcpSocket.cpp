#include "TcpSocket.h"

#include "BindHelper.h"
#include "ListenSocket.h"
#include "TcpSocketLayer.h"
#include "bind100/Handover.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talkmere {

namespace {

const QString kSource = QStringLiteral("TcpSocket");
constexpr qsizetype kReadChunk = 64 * 1024;
// Connections taken per notification: more than the backlog holds, so that one pass empties it
// (a full backlog drops the handshakes of a burst), yet bounded under an endless one.
constexpr int kAcceptBurst = 4 * kListenBacklog;

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

PoolError systemFailure(int error) {
    return PoolError(error, kSource, systemText(error));
}

void takeAddress(int fd, QString& ip, qint32& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return;
    QHostAddress address(reinterpret_cast<sockaddr*>(&storage));
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        address = QHostAddress(v4); // a v4 client of a dual-stack listener reads as v4
    ip = address.toString();
    port =
        ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

// A listening descriptor for `host`, or -1 with errno set. Either any-address takes clients of
// both families; a link-local address keeps its interface.
int openListener(const QHostAddress& host, quint16 port) {
    if (host == QHostAddress::Any || host == QHostAddress::AnyIPv6)
        return openAnyListener(port);
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(v4);
        return openListenerAt(reinterpret_cast<const sockaddr*>(&in), sizeof in);
    }
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

// The edge of what Qt calls here (notifiers, timers, posted calls): nothing may reach its event
// loop. The pool contains whatever fails in its own handling; anything else that fails here (no
// memory, say) is this connection's failure and is reported like any other, unless the socket
// has been closed, and perhaps given another connection, meanwhile.
template <typename Body> void TcpSocket::atEdge(Body&& body) noexcept {
    const quint64 generation = generation_;
    QString failure;
    try {
        body();
        return;
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    } catch (...) {
        failure = QStringLiteral("Unknown failure");
    }
    if (generation_ == generation)
        fail(EIO, failure);
}

TcpSocket::TcpSocket(std::shared_ptr<TcpContext> context, QObject* parent)
    : Socket(parent), context_(std::move(context)) {}

TcpSocket::~TcpSocket() {
    bind(nullptr, index());
    close();
}

void TcpSocket::close() {
    ++generation_;
    context_->gate.forget(this);
    for (QSocketNotifier** notifier : {&readNotifier_, &writeNotifier_}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater(); // its activation may be on the stack
            *notifier = nullptr;
        }
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    acceptPaused_ = false;
    acceptStalled_ = false;
    received_.clear();
    queue_.clear();
    headOffset_ = 0;
    queued_ = 0;
    unreported_ = 0;
    failure_ = 0;
    failureText_.clear();
    unreadAtFailure_ = 0;
    state_ = StateClosed;
}

void TcpSocket::listen() {
    if (localPort_ < 1 || localPort_ > 65535)
        throw PoolError(EINVAL, kSource, QStringLiteral("Invalid port %1").arg(localPort_));
    const QHostAddress& address = context_->listenAddress;
    if (address.isNull())
        throw PoolError(EINVAL, kSource, QStringLiteral("Invalid listen address"));
    close();
    int fd = openListener(address, static_cast<quint16>(localPort_));
    // Refused for want of privilege: the helper may open this one port for the program.
    if (fd < 0 && errno == EACCES && localPort_ == handover::kPort &&
        (address == QHostAddress::Any || address == QHostAddress::AnyIPv6) &&
        !context_->bindHelper.isEmpty())
        fd = bind_helper::listenOnPort100(context_->bindHelper);
    if (fd < 0)
        throw systemFailure(errno);
    fd_ = fd;
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &TcpSocket::acceptReady);
    state_ = StateListening;
}

void TcpSocket::acceptReady() {
    atEdge([this] {
        const quint64 generation = generation_;
        for (int taken = 0; taken < kAcceptBurst; ++taken) {
            const int descriptor = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (descriptor >= 0) {
                incomingConnection(descriptor);
                if (generation_ != generation) // closed while the request was handled
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
void TcpSocket::pauseAccepting(int error) {
    if (readNotifier_)
        readNotifier_->setEnabled(false);
    if (!acceptPaused_) {
        acceptPaused_ = true;
        const quint64 generation = generation_;
        QTimer::singleShot(kAcceptRetryMs, this, [this, generation] {
            if (generation_ != generation)
                return;
            acceptPaused_ = false;
            if (readNotifier_)
                readNotifier_->setEnabled(true);
        });
    }
    if (std::exchange(acceptStalled_, true))
        return;
    if (SocketListener* host = listener())
        host->onAcceptPaused(index(), static_cast<qint16>(error), systemText(error), kSource);
}

void TcpSocket::incomingConnection(int descriptor) {
    const qint32 request = descriptor;
    context_->pendingRequests.insert(request);
    if (SocketListener* host = listener())
        host->onConnectionRequest(index(), request);
    // Not taken while its notification ran: hang up at once rather than leave it waiting.
    if (context_->pendingRequests.remove(request))
        ::close(descriptor);
}

void TcpSocket::accept(qint32 requestId) {
    if (!context_->pendingRequests.remove(requestId))
        throw PoolError(EBADF, kSource,
                        QStringLiteral("No pending connection request %1").arg(requestId));
    close();
    fd_ = requestId;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const int on = 1;
    // Texts go out at once: Nagle would hold each fan-out until the peer acknowledges.
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    remoteHostIP_.clear();
    remotePort_ = 0;
    takeAddress(fd_, remoteHostIP_, remotePort_);
    // No name lookup: a resolver must never stall the one thread that serves everybody.
    remoteHost_ = remoteHostIP_;

    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &TcpSocket::readable);
    context_->gate.join(this);
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &TcpSocket::writable);
    state_ = StateConnected;
}

QByteArray TcpSocket::fetch() {
    if (fd_ < 0)
        throw systemFailure(ENOTCONN);
    return std::exchange(received_, QByteArray());
}

void TcpSocket::send(const QByteArray& data) {
    if (state_ != StateConnected)
        throw systemFailure(ENOTCONN);
    if (data.isEmpty())
        return;
    queue_.push_back(data);
    queued_ += data.size();
    if (queue_.size() == 1) {
        int error = 0;
        if (!writeQueue(error)) {
            failLater(error, systemText(error));
            return;
        }
    }
    if (queued_ > kSendQueueLimit) {
        failLater(ENOBUFS, QStringLiteral("Send queue limit exceeded"));
        return;
    }
    // What the kernel took at once is reported at the yield that follows every send, which
    // costs no wake-up and no notifier of its own; the rest when the socket is writable.
    if (unreported_ > 0 && !listedUnreported_) {
        listedUnreported_ = true;
        context_->unreported.emplace_back(this);
    }
    if (queued_ > 0)
        writeNotifier_->setEnabled(true);
}

// Writes what the kernel takes now; false on a failure of the connection.
bool TcpSocket::writeQueue(int& error) {
    while (!queue_.empty()) {
        const QByteArray& head = queue_.front();
        const qsizetype left = head.size() - headOffset_;
        const ssize_t written =
            ::send(fd_, head.constData() + headOffset_, static_cast<size_t>(left), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            error = errno;
            return false;
        }
        unreported_ += written;
        queued_ -= written;
        if (written == left) {
            queue_.pop_front();
            headOffset_ = 0;
        } else {
            headOffset_ += written;
        }
    }
    return true;
}

void TcpSocket::readable() {
    atEdge([this] {
        if (readNotifier_)
            readNotifier_->setEnabled(false); // never handle this slot's arrivals re-entrantly
        AnswerGate& gate = context_->gate;
        if (gate.answering()) {
            // A client accepted, or a failure found, during the answer under way.
            gate.hold(this);
            return;
        }
        const std::shared_ptr<TcpContext> context = context_; // this socket may go in the answer
        const AnswerGate::Answer answer = gate.answer(this);
        handleArrival();
    });
}

bool TcpSocket::reading() const {
    return readNotifier_ && readNotifier_->isEnabled();
}

void TcpSocket::pauseReading() {
    readNotifier_->setEnabled(false);
}

void TcpSocket::resumeReading() {
    if (failure_ != 0)
        wakeLater(); // the failure may leave nothing readable to wake the notifier
    else if (readNotifier_)
        readNotifier_->setEnabled(true); // level-triggered: what came meanwhile is read next
}

void TcpSocket::wakeLater() {
    const quint64 generation = generation_;
    QPointer<TcpSocket> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, generation] {
            if (self && self->generation_ == generation)
                self->readable();
        },
        Qt::QueuedConnection);
}

bool TcpSocket::endOfStreamWaiting() const {
    char probe = 0;
    return fd_ >= 0 && ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void TcpSocket::handleArrival() {
    const quint64 generation = generation_;
    // After a failure only what had come before it is taken, however fast the client sends.
    const bool failing = failure_ != 0;
    const qint64 limit = failing ? std::min(kMaxArrival, unreadAtFailure_) : kMaxArrival;
    int error = 0;
    bool ended = false;
    bool drained = false;
    qsizetype got = 0;
    static char chunk[kReadChunk]; // one thread, and the bytes are copied out at once
    while (got < limit) {
        const ssize_t n =
            ::recv(fd_, chunk, static_cast<size_t>(std::min<qint64>(kReadChunk, limit - got)), 0);
        if (n > 0) {
            received_.append(chunk, n);
            got += n;
            if (!failing && n < kReadChunk) // drained for now; the notifier says if more came
                break;
            continue;
        }
        if (n == 0)
            ended = true;
        else if (errno == EINTR)
            continue;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            drained = true;
        else
            error = errno;
        break;
    }
    if (failing)
        unreadAtFailure_ = ended || drained || error != 0 ? 0 : unreadAtFailure_ - got;

    QPointer<TcpSocket> self(this);
    if (got > 0) {
        if (SocketListener* host = listener())
            host->onDataArrival(index(), static_cast<qint32>(got));
        if (!self || generation_ != generation)
            return;
    }
    if (failing) {
        if (unreadAtFailure_ > 0)
            wakeLater(); // more than one arrival came before the failure: the rest next
        else
            reportFailure(ended);
    } else if (error != 0) {
        fail(error, systemText(error));
    } else if (ended) {
        state_ = StateClosing;
        if (SocketListener* host = listener())
            host->onPeerClosed(index());
    } else if (failure_ == 0 && readNotifier_) {
        // Level-triggered: bytes that came while the handler yielded are delivered next. After
        // a failure in the handler's own sends, the failure's wake-up comes instead.
        readNotifier_->setEnabled(true);
    }
}

void TcpSocket::writable() {
    atEdge([this] {
        int error = 0;
        if (!writeQueue(error)) {
            failLater(error, systemText(error));
            return;
        }
        if (queue_.empty())
            writeNotifier_->setEnabled(false);
        deliverProgress();
    });
}

void TcpSocket::deliverProgress() {
    if (unreported_ == 0)
        return;
    const quint64 generation = generation_;
    const qint64 sent = std::exchange(unreported_, 0);
    QPointer<TcpSocket> self(this);
    if (SocketListener* host = listener())
        host->onSendProgress(index(), sent, queued_);
    if (self && generation_ == generation && queued_ == 0)
        if (SocketListener* host = listener())
            host->onSendComplete(index());
}

void TcpSocket::fail(int error, const QString& description) {
    state_ = StateError;
    bool cancelDisplay = false;
    if (SocketListener* host = listener())
        host->onError(index(), static_cast<qint16>(error), description, error, kSource, QString(),
                      0, cancelDisplay);
}

// Never inside the sender's call: the report comes from the event loop, after an arrival with
// whatever the client had sent, in turn with the other arrivals.
void TcpSocket::failLater(int error, const QString& description) {
    if (failure_ != 0)
        return; // the first failure is the one reported
    state_ = StateError;
    failure_ = error;
    failureText_ = description;
    int unread = 0;
    unreadAtFailure_ = ::ioctl(fd_, FIONREAD, &unread) == 0 ? unread : kMaxArrival;
    queue_.clear();
    headOffset_ = 0;
    queued_ = 0;
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    if (readNotifier_)
        readNotifier_->setEnabled(false);
    wakeLater();
}

void TcpSocket::reportFailure(bool ended) {
    const int error = std::exchange(failure_, 0);
    const QString description = std::exchange(failureText_, QString());
    if (error == EPIPE && (ended || endOfStreamWaiting())) {
        // Written to after it had ended its stream in order: the client left, and is reported
        // as having left.
        state_ = StateClosing;
        if (SocketListener* host = listener())
            host->onPeerClosed(index());
        return;
    }
    fail(error, description);
}

} // namespace talkmere
