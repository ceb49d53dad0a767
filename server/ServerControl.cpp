#include "ServerControl.h"

#include "BindHelper.h"
#include "Module1.h"
#include "Protocol.h"
#include "TcpSocketLayer.h"

namespace talkmere {

ServerControl::ServerControl(qint32 port, const QHostAddress& address, QObject* parent)
    : ServerControl(std::make_unique<TcpSocketLayer>(address, bind_helper::besideProgram()), port,
                    parent) {}

ServerControl::ServerControl(std::unique_ptr<SocketLayer> layer, qint32 port, QObject* parent)
    : QObject(parent), port_(port), pool_(std::move(layer)), relay_(pool_, clients_, log_) {
    // The relay logs why; the status must not go on saying "Online" with nothing listening.
    connect(&pool_, &ZeviderUrive::SocketError, this, [this](qint32 lngIndex) {
        if (lngIndex == 0 && online_ && !pool_.Listening())
            setOnline(false);
    });
}

ServerControl::~ServerControl() {
    // The windows may be going already: close every client without calling back into them. A
    // destructor is an edge: a failure here has nowhere to go and must not end the program.
    pool_.blockSignals(true);
    try {
        pool_.Shutdown();
    } catch (...) {
    }
}

QString ServerControl::statusText() const {
    return online_ ? QStringLiteral("Online") : QStringLiteral("Offline");
}

Qt::GlobalColor ServerControl::statusColour() const {
    return online_ ? Qt::blue : Qt::red;
}

QString ServerControl::passwordCaption() const {
    return QStringLiteral("Server Password: ") + QString::fromUtf8(Module1::ServerPassword);
}

void ServerControl::setOnline(bool online) {
    online_ = online;
    emit statusChanged();
}

// With RaiseErrors on, the pool's methods fail with a PoolError; StartListening also answers
// false, without failing, when there is no port to listen on. Both count as not done.
template <typename Call> bool ServerControl::succeeded(Call&& call) {
    try {
        return call();
    } catch (const PoolError&) {
        return false;
    }
}

void ServerControl::startServer() {
    if (exiting_)
        return;
    pool_.setMaxClients(kMaxClients);
    pool_.setRaiseErrors(true);
    pool_.setLocalPort(port_);
    if (succeeded([this] { return pool_.StartListening(); }))
        setOnline(true);
    else
        log_.appendOnly("Start() failed");
}

void ServerControl::stopServer() {
    if (succeeded([this] { return pool_.Shutdown(); })) {
        // A start pressed while the stop announced its departures may have opened the listener
        // again and taken clients in: show what is, not what the stop set out to do.
        setOnline(pool_.Listening());
        clients_.ClearRows();
        for (qint32 slot : pool_.ConnectedClients())
            clients_.MarkConnected(slot, pool_);
    } else {
        log_.appendOnly("Shutdown() failed");
    }
}

void ServerControl::setPassword(const QByteArray& password) {
    Module1::ServerPassword = password;
}

void ServerControl::changePassword(const QByteArray& password) {
    setPassword(password);
    emit passwordChanged();
}

void ServerControl::sendServerMessage(const QByteArray& text) {
    // Whoever could be reached has it; the rest were gone already.
    succeeded([&] { return pool_.SendToAll(protocol::serverMessage(text)); });
}

void ServerControl::shutdownForExit() {
    exiting_ = true;
    succeeded([this] { return pool_.Shutdown(); }); // ending anyway: every slot it could close
    setOnline(false);
}

} // namespace talkmere
