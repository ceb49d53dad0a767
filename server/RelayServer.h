#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

namespace talkmere {

class ClientTable;
class EventLog;
class ZeviderUrive;

// The relay protocol: greets each new client with ":ID:" + slot + password, echoes every text to
// all clients, routes "@" + digit to one slot, announces departures. Of its own it keeps only which
// slots have had their departure announced.
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
    void announceDeparture(qint32 lngIndex);

    ZeviderUrive& pool_;
    ClientTable& clients_;
    EventLog& log_;
    bool showDataEvents_ = false;
    // Slots whose present connection the others were told is gone: however a connection ends,
    // and whatever the pool raises for it afterwards (a stop, a CloseClient), it is announced
    // once. A new connection in the slot clears it.
    QSet<qint32> announced_;
};

} // namespace talkmere
