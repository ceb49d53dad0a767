#pragma once

#include <QByteArray>
#include <QString>

// The relay's texts, on the wire and in the event log, written once: the relay, the server
// control and the tests all take them from here.
namespace talkmere::protocol {

// To a new client: its slot and the password, with nothing between or after them.
inline QByteArray greeting(qint32 slot, const QByteArray& password) {
    return ":ID:" + QByteArray::number(slot) + password;
}

// To everyone left when a client goes: the slot twice, ":USERSTAT4 409".
inline QByteArray departure(qint32 slot) {
    const QByteArray n = QByteArray::number(slot);
    return ":USERSTAT" + n + " " + n + "09";
}

// The operator's server message, the text exactly as typed.
inline QByteArray serverMessage(const QByteArray& text) {
    return ":ser:" + text;
}

// Event-log lines of the relay's events.
inline QByteArray dataLine(qint32 slot, const QByteArray& text) {
    return "Data on client " + QByteArray::number(slot) + " : " + text;
}

// The log names the departed slot once, ":USERSTAT4 09", where the wire names it twice: both are
// the server's texts as its clients and operators know them, and the difference is intended.
inline QByteArray departureLine(qint32 slot) {
    return dataLine(slot, ":USERSTAT" + QByteArray::number(slot) + " 09");
}

inline QByteArray errorLine(qint32 slot, const QString& description) {
    return "Error on client " + QByteArray::number(slot) + " : " + description.toUtf8();
}

} // namespace talkmere::protocol
