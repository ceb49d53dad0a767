#include "TcpSocket.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talkmere {

namespace {

const QString kSource = QStringLiteral("TcpSocket");
constexpr qsizetype kReadChunk = 64 * 1024;

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

} // namespace

class TcpSocket::Listener final : public QTcpServer {
public:
    explicit Listener(TcpSocket* owner) : QTcpServer(owner), owner_(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override { owner_->incomingConnection(descriptor); }

private:
    TcpSocket* owner_;
};

TcpSocket::TcpSocket(std::shared_ptr<TcpContext> context, QObject* parent)
    : Socket(parent), context_(std::move(context)) {}

TcpSocket::~TcpSocket() {
    bind(nullptr, index());
    close();
}

qint32 TcpSocket::localPort() const {
    return server_ && server_->isListening() ? server_->serverPort() : localPort_;
}

void TcpSocket::close() {
    ++generation_;
    if (server_) {
        server_->close();
        server_->deleteLater(); // its accept loop may be on the stack
        server_ = nullptr;
    }
    std::erase(context_->reading, this);
    std::erase(context_->held, this);
    for (QSocketNotifier** notifier : {&readNotifier_, &writeNotifier_}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    received_.clear();
    queue_.clear();
    headOffset_ = 0;
    queued_ = 0;
    unreported_ = 0;
    state_ = StateClosed;
}

void TcpSocket::listen() {
    if (localPort_ < 1 || localPort_ > 65535)
        throw PoolError(EINVAL, kSource, QStringLiteral("Invalid port %1").arg(localPort_));
    close();
    auto* server = new Listener(this);
    if (!server->listen(context_->listenAddress, static_cast<quint16>(localPort_))) {
        const PoolError failure(server->serverError(), kSource, server->errorString());
        delete server;
        throw failure;
    }
    server_ = server;
    state_ = StateListening;
}

void TcpSocket::incomingConnection(qintptr descriptor) {
    const auto request = static_cast<qint32>(descriptor);
    context_->pendingRequests.insert(request);
    try {
        if (SocketListener* host = listener())
            host->onConnectionRequest(index(), request);
    } catch (...) {
    }
    // Not taken while its notification ran: hang up at once rather than leave it waiting.
    if (context_->pendingRequests.remove(request))
        ::close(static_cast<int>(descriptor));
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
    context_->reading.push_back(this);
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
            postFailure(error, systemText(error));
            return;
        }
    }
    if (queued_ > kSendQueueLimit) {
        postFailure(ENOBUFS, QStringLiteral("Send queue limit exceeded"));
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
    try {
        readNotifier_->setEnabled(false); // never handle this slot's arrivals re-entrantly
        if (context_->answering) {
            // Only a client accepted during the answer under way gets here.
            context_->held.push_back(this);
            return;
        }
        // The others wait until this answer has reached everybody. Answered inside its yields,
        // the newest would go out first and, under an unbroken flood, the first would never
        // finish. Closures and failures still come in the yields, through the sends.
        struct Answering {
            std::shared_ptr<TcpContext> context; // this socket may be gone by the end
            Answering(std::shared_ptr<TcpContext> c, TcpSocket* self) : context(std::move(c)) {
                context->answering = true;
                for (TcpSocket* other : context->reading)
                    if (other != self && other->readNotifier_->isEnabled()) {
                        other->readNotifier_->setEnabled(false);
                        context->held.push_back(other);
                    }
            }
            ~Answering() { releaseHeld(*context); }
        } answering(context_, this);
        handleArrival();
    } catch (...) {
    }
}

void TcpSocket::releaseHeld(TcpContext& context) {
    context.answering = false;
    // Level-triggered: what came meanwhile is read on the next pass of the loop.
    for (TcpSocket* other : std::exchange(context.held, {}))
        other->readNotifier_->setEnabled(true);
}

bool TcpSocket::endOfStreamWaiting() const {
    char probe = 0;
    return fd_ >= 0 && ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void TcpSocket::handleArrival() {
    const quint64 generation = generation_;
    int error = 0;
    bool ended = false;
    qsizetype got = 0;
    static char chunk[kReadChunk]; // one thread, and the bytes are copied out at once
    while (got < kMaxArrival) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            received_.append(chunk, n);
            got += n;
            if (n < kReadChunk) // drained for now; the notifier says if more came
                break;
            continue;
        }
        if (n == 0)
            ended = true;
        else if (errno == EINTR)
            continue;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            error = errno;
        break;
    }

    QPointer<TcpSocket> self(this);
    if (got > 0) {
        if (SocketListener* host = listener())
            host->onDataArrival(index(), static_cast<qint32>(got));
        if (!self || generation_ != generation)
            return;
    }
    if (error != 0) {
        fail(error, systemText(error));
    } else if (ended) {
        state_ = StateClosing;
        if (SocketListener* host = listener())
            host->onPeerClosed(index());
    } else if (readNotifier_) {
        // Level-triggered: bytes that came while the handler yielded are delivered next.
        readNotifier_->setEnabled(true);
    }
}

void TcpSocket::writable() {
    try {
        int error = 0;
        if (!writeQueue(error)) {
            fail(error, systemText(error));
            return;
        }
        if (queue_.empty())
            writeNotifier_->setEnabled(false);
        deliverProgress();
    } catch (...) {
    }
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
    if (error == EPIPE && endOfStreamWaiting()) {
        // Written to after it had ended its stream in order, its end still unread behind an
        // answer: the client left, and is reported as having left.
        std::erase(context_->held, this);
        if (readNotifier_)
            readNotifier_->setEnabled(false);
        state_ = StateClosing;
        if (SocketListener* host = listener())
            host->onPeerClosed(index());
        return;
    }
    state_ = StateError;
    bool cancelDisplay = false;
    if (SocketListener* host = listener())
        host->onError(index(), static_cast<qint16>(error), description, error, kSource, QString(),
                      0, cancelDisplay);
}

// A failure found inside send() is reported from the event loop, never inside the sender's call.
void TcpSocket::postFailure(int error, const QString& description) {
    state_ = StateError;
    queue_.clear();
    headOffset_ = 0;
    queued_ = 0;
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    const quint64 generation = generation_;
    QPointer<TcpSocket> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, generation, error, description] {
            try {
                if (self && self->generation_ == generation)
                    self->fail(error, description);
            } catch (...) {
            }
        },
        Qt::QueuedConnection);
}

TcpSocketLayer::TcpSocketLayer(const QHostAddress& listenAddress)
    : context_(std::make_shared<TcpContext>()) {
    context_->listenAddress = listenAddress;
    // A yield never waits; an event loop that does, inside an answer, is someone's own (a modal
    // dialog opened from a yield): the clients must not wait for it to close.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        waiting_ = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                    [context = context_.get()] {
                                        if (context->answering)
                                            TcpSocket::releaseHeld(*context);
                                    });
}

TcpSocketLayer::~TcpSocketLayer() {
    QObject::disconnect(waiting_);
}

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
        socket->listedUnreported_ = false;
        try {
            socket->deliverProgress();
        } catch (...) {
        }
    }
}

} // namespace talkmere
