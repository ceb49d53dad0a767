#pragma once

#include "AnswerGate.h"
#include "Socket.h"

#include <QHostAddress>
#include <QSet>

#include <memory>
#include <vector>

namespace talkmere {

class TcpConnection;
class TcpSocket;

// What the sockets of one layer share: the listening address, the connection requests handed to
// the listening socket's notification and waiting for an accept, the sockets with progress to
// report at the next yield, and the gate that lets one arrival be answered at a time.
struct TcpContext {
    QHostAddress listenAddress;
    QString bindHelper; // asked for port 100 when the program may not bind it; empty: none
    QSet<qint32> pendingRequests;
    // Listed by their first send since the last report, taken off when reported or closed: no
    // guard and no allocation per send.
    std::vector<TcpConnection*> unreported;
    AnswerGate gate;
};

// Real sockets, and the event loop's yield.
class TcpSocketLayer final : public SocketLayer {
public:
    // `bindHelper`: the helper to ask for port 100 when binding it is refused (empty: none).
    explicit TcpSocketLayer(const QHostAddress& listenAddress = QHostAddress::Any,
                            const QString& bindHelper = QString());
    ~TcpSocketLayer() override;
    TcpSocketLayer(const TcpSocketLayer&) = delete;
    TcpSocketLayer& operator=(const TcpSocketLayer&) = delete;
    Socket* createSocket(QObject* parent) override;
    void yield() override;
    const AnswerGate* answerGate() const override { return &context_->gate; }

private:
    std::shared_ptr<TcpContext> context_;
};

} // namespace talkmere
