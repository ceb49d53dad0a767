#include "TcpConnection.h"

#include "TcpSocket.h"
#include "TcpSocketLayer.h"

#include <algorithm>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace talkmere {

namespace {

constexpr qsizetype kReadChunk = 64 * 1024;

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

TcpConnection::TcpConnection(TcpSocket& socket, std::shared_ptr<TcpContext> context)
    : TcpEndpoint(socket, std::move(context)) {}

void TcpConnection::open(int descriptor) {
    fd_ = descriptor;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const int on = 1;
    // Texts go out at once: Nagle would hold each fan-out until the peer acknowledges.
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    remoteHostIP_.clear();
    remotePort_ = 0;
    takeAddress(fd_, remoteHostIP_, remotePort_);

    readNotifier_ = watch(QSocketNotifier::Read, [this] { readable(); });
    context_->gate.join(this);
    writeNotifier_ = watch(QSocketNotifier::Write, [this] { writable(); });
    writeNotifier_->setEnabled(false);
    state_ = StateConnected;
}

void TcpConnection::close() {
    context_->gate.forget(this);
    drop(writeNotifier_);
    release();
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

QByteArray TcpConnection::fetch() {
    if (fd_ < 0)
        throw systemFailure(ENOTCONN);
    return std::exchange(received_, QByteArray());
}

void TcpConnection::send(const QByteArray& data) {
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
        context_->unreported.emplace_back(&socket());
    }
    if (queued_ > 0)
        writeNotifier_->setEnabled(true);
}

// Writes what the kernel takes now; false on a failure of the connection.
bool TcpConnection::writeQueue(int& error) {
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

void TcpConnection::readable() {
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

bool TcpConnection::reading() const {
    return readNotifier_ && readNotifier_->isEnabled();
}

void TcpConnection::pauseReading() {
    readNotifier_->setEnabled(false);
}

void TcpConnection::resumeReading() {
    if (failure_ != 0)
        wakeLater(); // the failure may leave nothing readable to wake the notifier
    else if (readNotifier_)
        readNotifier_->setEnabled(true); // level-triggered: what came meanwhile is read next
}

void TcpConnection::wakeLater() {
    QMetaObject::invokeMethod(
        &socket(),
        [this, began = stamp()] {
            if (current(began))
                readable();
        },
        Qt::QueuedConnection);
}

bool TcpConnection::endOfStreamWaiting() const {
    char probe = 0;
    return fd_ >= 0 && ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void TcpConnection::handleArrival() {
    const Stamp began = stamp();
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

    if (got > 0) {
        if (SocketListener* listener = host())
            listener->onDataArrival(index(), static_cast<qint32>(got));
        if (!current(began))
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
        if (SocketListener* listener = host())
            listener->onPeerClosed(index());
    } else if (failure_ == 0 && readNotifier_) {
        // Level-triggered: bytes that came while the handler yielded are delivered next. After
        // a failure in the handler's own sends, the failure's wake-up comes instead.
        readNotifier_->setEnabled(true);
    }
}

void TcpConnection::writable() {
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

void TcpConnection::reportAtYield() {
    listedUnreported_ = false;
    deliverProgress();
}

void TcpConnection::deliverProgress() {
    if (unreported_ == 0)
        return;
    const Stamp began = stamp();
    const qint64 sent = std::exchange(unreported_, 0);
    if (SocketListener* listener = host())
        listener->onSendProgress(index(), sent, queued_);
    if (current(began) && queued_ == 0)
        if (SocketListener* listener = host())
            listener->onSendComplete(index());
}

void TcpConnection::fail(int error, const QString& description) {
    state_ = StateError;
    reportError(error, description);
}

// Never inside the sender's call: the report comes from the event loop, after an arrival with
// whatever the client had sent, in turn with the other arrivals.
void TcpConnection::failLater(int error, const QString& description) {
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

void TcpConnection::reportFailure(bool ended) {
    const int error = std::exchange(failure_, 0);
    const QString description = std::exchange(failureText_, QString());
    if (error == EPIPE && (ended || endOfStreamWaiting())) {
        // Written to after it had ended its stream in order: the client left, and is reported
        // as having left.
        state_ = StateClosing;
        if (SocketListener* listener = host())
            listener->onPeerClosed(index());
        return;
    }
    fail(error, description);
}

} // namespace talkmere
