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
    enter(Phase::Open);
}

void TcpConnection::close() {
    context_->gate.forget(this);
    if (std::exchange(listedUnreported_, false))
        std::erase(context_->unreported, this);
    drop(writeNotifier_);
    release();
    received_.clear();
    queue_.clear();
    headOffset_ = 0;
    queued_ = 0;
    unreported_ = 0;
    failure_ = Failure{};
    enter(Phase::Closed);
}

void TcpConnection::enter(Phase next) {
    phase_ = next;
}

int TcpConnection::state() const {
    switch (phase_) {
    case Phase::Open:
        return StateConnected;
    case Phase::Ended:
        return StateClosing;
    case Phase::Draining: // a failure is known: nothing more is sent to it
    case Phase::Failed:
        return StateError;
    case Phase::Closed:
        break;
    }
    return StateClosed;
}

QByteArray TcpConnection::fetch() {
    if (fd_ < 0)
        throw systemFailure(ENOTCONN);
    return std::exchange(received_, QByteArray());
}

void TcpConnection::send(const QByteArray& data) {
    if (phase_ != Phase::Open)
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
        context_->unreported.push_back(this);
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
    if (phase_ == Phase::Draining)
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

// One arrival: read what this phase allows, hand it to the pool, then go on as the read ended.
void TcpConnection::handleArrival() {
    const Stamp began = stamp();
    const bool draining = phase_ == Phase::Draining;
    const Read read = receive(draining);
    if (read.got > 0 && !relay(read.got, began))
        return;
    if (draining)
        drainAfterRead(read.ended);
    else
        openAfterRead(read);
}

TcpConnection::Read TcpConnection::receive(bool draining) {
    // After a failure only what had come before it is taken, however fast the client sends.
    const qint64 limit = draining ? std::min(kMaxArrival, failure_.unread) : kMaxArrival;
    Read read;
    static char chunk[kReadChunk]; // one thread, and the bytes are copied out at once
    while (read.got < limit) {
        const ssize_t n = ::recv(
            fd_, chunk, static_cast<size_t>(std::min<qint64>(kReadChunk, limit - read.got)), 0);
        if (n > 0) {
            received_.append(chunk, n);
            read.got += n;
            if (!draining && n < kReadChunk) // drained for now; the notifier says if more came
                break;
            continue;
        }
        if (n == 0)
            read.ended = true;
        else if (errno == EINTR)
            continue;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            read.drained = true;
        else
            read.error = errno;
        break;
    }
    // Whatever stops the reading of a drain (end of stream, nothing more, a reset) ends it: the
    // failed write is what is reported.
    if (draining)
        failure_.unread =
            read.ended || read.drained || read.error != 0 ? 0 : failure_.unread - read.got;
    return read;
}

// False when the pool's handling closed this connection, or deleted its socket.
bool TcpConnection::relay(qsizetype got, const Stamp& began) {
    if (SocketListener* listener = host())
        listener->onDataArrival(index(), static_cast<qint32>(got));
    return current(began);
}

void TcpConnection::openAfterRead(const Read& read) {
    if (read.error != 0) {
        fail(read.error, systemText(read.error));
    } else if (read.ended) {
        reportPeerClosed();
    } else if (phase_ == Phase::Open && readNotifier_) {
        // Level-triggered: bytes that came while the handler yielded are delivered next. After
        // a failure in the handler's own sends, the failure's wake-up comes instead.
        readNotifier_->setEnabled(true);
    }
}

void TcpConnection::drainAfterRead(bool ended) {
    if (failure_.unread > 0)
        wakeLater(); // more than one arrival came before the failure: the rest next
    else
        reportFailure(ended);
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
    enter(Phase::Failed);
    reportError(error, description);
}

// Never inside the sender's call: the report comes from the event loop, after an arrival with
// whatever the client had sent, in turn with the other arrivals.
void TcpConnection::failLater(int error, const QString& description) {
    if (phase_ != Phase::Open)
        return; // the first failure is the one reported
    enter(Phase::Draining);
    int unread = 0;
    const qint64 before = ::ioctl(fd_, FIONREAD, &unread) == 0 ? unread : kMaxArrival;
    failure_ = Failure{error, description, before};
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
    const Failure failure = std::exchange(failure_, Failure{});
    if (failure.error == EPIPE && (ended || endOfStreamWaiting())) {
        // Written to after it had ended its stream in order: the client left, and is reported
        // as having left.
        reportPeerClosed();
        return;
    }
    fail(failure.error, failure.text);
}

void TcpConnection::reportPeerClosed() {
    enter(Phase::Ended);
    if (SocketListener* listener = host())
        listener->onPeerClosed(index());
}

} // namespace talkmere
