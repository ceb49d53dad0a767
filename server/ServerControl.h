#pragma once

#include "ClientTable.h"
#include "EventLog.h"
#include "RelayServer.h"
#include "ZeviderUrive.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

namespace talkmere {

// The operator's side of the server, without any window: it owns the pool, the client table, the
// event log and the relay, and carries out Start, Stop, password change and server message.
class ServerControl : public QObject {
    Q_OBJECT
public:
    static constexpr qint32 kPort = 100;
    static constexpr qint32 kMaxClients = 10;

    // The program always listens on port 100 on every address; tests pass their own.
    explicit ServerControl(qint32 port = kPort, const QHostAddress& address = QHostAddress::Any,
                           QObject* parent = nullptr);
    // Over a socket layer of the caller's (tests script theirs).
    ServerControl(std::unique_ptr<SocketLayer> layer, qint32 port, QObject* parent = nullptr);
    ~ServerControl() override;

    ZeviderUrive& pool() { return pool_; }
    ClientTable& clients() { return clients_; }
    EventLog& log() { return log_; }
    RelayServer& relay() { return relay_; }

    // Status as the window shows it: "Online" in blue, "Offline" in red.
    bool online() const { return online_; }
    QString statusText() const;
    Qt::GlobalColor statusColour() const;
    // "Server Password: " + the password, for the menu.
    QString passwordCaption() const;

    void startServer();
    void stopServer();
    // The one place the program-wide password is written: the start-up prompt sets it before
    // any server exists; the menu changes it through changePassword, which also says so.
    static void setPassword(const QByteArray& password);
    void changePassword(const QByteArray& password);
    void sendServerMessage(const QByteArray& text);
    // Takes every client down before the program ends.
    void shutdownForExit();

signals:
    void statusChanged();
    void passwordChanged();

private:
    void setOnline(bool online);
    template <typename Call> bool succeeded(Call&& call);

    qint32 port_;
    bool exiting_ = false; // no start may open the listener again once the program is ending
    ZeviderUrive pool_;
    ClientTable clients_;
    EventLog log_;
    RelayServer relay_;
    bool online_ = false;
};

} // namespace talkmere
