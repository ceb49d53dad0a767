#include "RelayServer.h"

#include "ClientTable.h"
#include "EventLog.h"
#include "Module1.h"
#include "Protocol.h"
#include "ZeviderUrive.h"

namespace talkmere {

namespace {

// The relay never looks at what a send achieved: a client that cannot be reached (gone, never
// there, the listening slot) simply gets nothing, and nobody else is held up by it.
template <typename SendCall> void sendIgnoringFailure(SendCall&& send) {
    try {
        send();
    } catch (const PoolError&) {
    }
}

} // namespace

RelayServer::RelayServer(ZeviderUrive& pool, ClientTable& clients, EventLog& log, QObject* parent)
    : QObject(parent), pool_(pool), clients_(clients), log_(log) {
    connect(&pool_, &ZeviderUrive::NewConnection, this, &RelayServer::onNewConnection);
    connect(&pool_, &ZeviderUrive::ConnectionClosed, this, &RelayServer::onConnectionClosed);
    connect(&pool_, &ZeviderUrive::DataArrival, this, &RelayServer::onDataArrival);
    connect(&pool_, &ZeviderUrive::SocketError, this, &RelayServer::onSocketError);
}

// The handlers let no failure of their own reach the pool, which would contain it without a trace:
// the only operations here that can fail are the pool's own, and they fail with PoolError.
void RelayServer::onNewConnection(qint32 lngIndex, bool&) {
    announced_.remove(lngIndex);
    try {
        clients_.MarkConnected(lngIndex, pool_); // reads the peer's address from the pool
    } catch (const PoolError& failure) {
        // The greeting still goes out: the row is the operator's, the connection the client's.
        log_.appendOnly("Relay failure on client " + QByteArray::number(lngIndex) + " : " +
                        failure.info().description.toUtf8());
    }
    sendIgnoringFailure(
        [&] { pool_.Send(lngIndex, protocol::greeting(lngIndex, Module1::ServerPassword)); });
}

void RelayServer::onConnectionClosed(qint32 lngIndex) {
    clients_.MarkClosed(lngIndex);
    announceDeparture(lngIndex);
}

void RelayServer::onDataArrival(qint32 lngIndex, const QByteArray& strData) {
    if (showDataEvents_)
        log_.appendAndSelect(protocol::dataLine(lngIndex, EventLog::clipped(strData)));
    if (!strData.startsWith('@')) {
        sendIgnoringFailure([&] { pool_.SendToAll(strData); });
        return;
    }
    // Only the one character after "@" names the slot; without a digit there is nobody to tell.
    if (strData.size() < 2 || strData[1] < '0' || strData[1] > '9')
        return;
    const qint32 target = strData[1] - '0';
    sendIgnoringFailure([&] { pool_.Send(target, strData.mid(2)); });
}

void RelayServer::onSocketError(qint32 lngIndex, qint32, const QString&,
                                const QString& strDescription) {
    log_.appendAndSelect(protocol::errorLine(lngIndex, strDescription));
    if (lngIndex > 0) {
        clients_.MarkFailed(lngIndex, strDescription);
        // A client that left by a reset (as Linux ends a close with texts still unread), or that
        // was dropped, is as gone for the others as one that closed in order.
        announceDeparture(lngIndex);
    }
}

// Marked before the broadcast: its yields may run a stop, whose closures must not tell again.
void RelayServer::announceDeparture(qint32 lngIndex) {
    if (announced_.contains(lngIndex))
        return;
    announced_.insert(lngIndex);
    if (showDataEvents_)
        log_.appendAndSelect(protocol::departureLine(lngIndex));
    sendIgnoringFailure([&] { pool_.SendToAll(protocol::departure(lngIndex)); });
}

} // namespace talkmere
