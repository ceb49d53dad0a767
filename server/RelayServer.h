#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace talkmere {

class ClientTable;
class EventLog;
class ZeviderUrive;

// The relay protocol: greets each new client with ":ID:" + slot + password, echoes every text to
// all clients, routes "@" + digit to one slot, announces departures. It keeps nothing of its own.
class RelayServer : public QObject {
    Q_OBJECT
public:
    RelayServer(ZeviderUrive& pool, ClientTable& clients, EventLog& log, QObject* parent = nullptr);

    // "Show data events": read afresh at every event.
    bool showDataEvents() const { return showDataEvents_; }
    void setShowDataEvents(bool on) { showDataEvents_ = on; }

private:
    void onNewConnection(qint32 lngIndex, bool& blnCancel);
    void onConnectionClosed(qint32 lngIndex);
    void onDataArrival(qint32 lngIndex, const QByteArray& strData);
    void onSocketError(qint32 lngIndex, qint32 lngNumber, const QString& strSource,
                       const QString& strDescription);

    ZeviderUrive& pool_;
    ClientTable& clients_;
    EventLog& log_;
    bool showDataEvents_ = false;
};

} // namespace talkmere
