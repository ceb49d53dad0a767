#include "FakeSocket.h"

namespace talkmere {

FakeSocket::FakeSocket(FakeSocketLayer* layer, QObject* parent) : Socket(parent), layer_(layer) {}

void FakeSocket::maybeFail(Op op) const {
    if (auto it = failNext_.find(op); it != failNext_.end()) {
        const ErrorInfo failure = *it;
        failNext_.erase(it);
        throw PoolError(failure);
    }
    if (auto it = failAlways_.find(op); it != failAlways_.end())
        throw PoolError(*it);
}

void FakeSocket::close() {
    maybeFail(Op::Close);
    ++closeCount;
    if (state_ != StateClosed && state_ != StateListening && acceptedRequest)
        layer_->farEnds[*acceptedRequest].closed = true;
    state_ = StateClosed;
    pending.clear();
}

void FakeSocket::listen() {
    maybeFail(Op::Listen);
    ++listenCount;
    state_ = StateListening;
}

void FakeSocket::accept(qint32 requestId) {
    maybeFail(Op::Accept);
    acceptedRequest = requestId;
    layer_->farEnds[requestId] = {};
    peer_ = layer_->peers.value(requestId, Peer{QStringLiteral("localhost"),
                                                QStringLiteral("127.0.0.1"), 40000 + requestId});
    state_ = StateConnected;
}

void FakeSocket::send(const QByteArray& data) {
    maybeFail(Op::Send);
    if (state_ != StateConnected)
        throw PoolError(kNotConnected);
    sent.append(data);
    if (acceptedRequest)
        layer_->farEnds[*acceptedRequest].received += data;
}

QByteArray FakeSocket::fetch() {
    maybeFail(Op::Fetch);
    return std::exchange(pending, QByteArray());
}

int FakeSocket::state() const {
    maybeFail(Op::State);
    return state_;
}

qint32 FakeSocket::localPort() const {
    maybeFail(Op::LocalPort);
    return localPort_;
}

void FakeSocket::setLocalPort(qint32 port) {
    maybeFail(Op::LocalPort);
    localPort_ = port;
}

QString FakeSocket::remoteHost() const {
    maybeFail(Op::Remote);
    return peer_.host;
}

QString FakeSocket::remoteHostIP() const {
    maybeFail(Op::Remote);
    return peer_.ip;
}

qint32 FakeSocket::remotePort() const {
    maybeFail(Op::Remote);
    return peer_.port;
}

void FakeSocket::raiseConnectionRequest(qint32 requestId) {
    if (listener())
        listener()->onConnectionRequest(index(), requestId);
}

void FakeSocket::raiseDataArrival(const QByteArray& data) {
    pending += data;
    if (listener())
        listener()->onDataArrival(index(), static_cast<qint32>(data.size()));
}

void FakeSocket::raiseSendProgress(qint64 sentBytes, qint64 remaining) {
    if (listener())
        listener()->onSendProgress(index(), sentBytes, remaining);
}

void FakeSocket::raiseSendComplete() {
    if (listener())
        listener()->onSendComplete(index());
}

void FakeSocket::raiseError(qint16 number, const QString& description, const QString& source) {
    bool cancelDisplay = false;
    if (listener())
        listener()->onError(index(), number, description, number, source, QString(), 0,
                            cancelDisplay);
}

void FakeSocket::raisePeerClosed() {
    if (listener())
        listener()->onPeerClosed(index());
}

Socket* FakeSocketLayer::createSocket(QObject* parent) {
    if (failNextCreate) {
        const ErrorInfo failure = *failNextCreate;
        failNextCreate.reset();
        throw PoolError(failure);
    }
    auto* socket = new FakeSocket(this, parent);
    created.emplace_back(socket);
    return socket;
}

void FakeSocketLayer::yield() {
    ++yields;
    if (onYield)
        onYield();
}

} // namespace talkmere
