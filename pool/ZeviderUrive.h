#pragma once

#include "ErrorInfo.h"
#include "Socket.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace talkmere {

// The socket pool: slot 0 listens, slots 1 and up each hold one client connection and are
// reused after it ends. Single-threaded; Send and SendToAll yield to the event loop once after
// each text they hand to a socket, so every event below may fire inside them (the one-arrival
// rule: app/main.cpp).
class ZeviderUrive : public QObject, private SocketListener {
    Q_OBJECT
public:
    explicit ZeviderUrive(std::unique_ptr<SocketLayer> layer, QObject* parent = nullptr);
    ~ZeviderUrive() override;

    // The error policy, read at each failure. True: a method's failure goes to its caller as a
    // PoolError, and a failure while a socket's notification is handled (or an error the socket
    // reports) closes that slot and reaches the host as SocketError. False: either failure only
    // sets LastError to its description; a method then returns false, and no SocketError comes.
    bool RaiseErrors() const { return raiseErrors_; }
    void setRaiseErrors(bool Value) { raiseErrors_ = Value; }
    QString LastError() const { return lastError_; }
    void setLastError(const QString& Value) { lastError_ = Value; }
    qint32 MaxClients() const { return maxClients_; }
    void setMaxClients(qint32 Value) { maxClients_ = Value; }
    qint32 ActiveClients() const { return activeClients_; }
    qint32 LocalPort() const { return localPort_; }
    void setLocalPort(qint32 Value) { localPort_ = Value; }
    // 64-bit: a busy relay passes 2^31 bytes in minutes, and counting must never fail.
    qint64 BytesReceived() const { return bytesReceived_; }
    void setBytesReceived(qint64 Value) { bytesReceived_ = Value; }
    qint64 BytesSent() const { return bytesSent_; }
    void setBytesSent(qint64 Value) { bytesSent_ = Value; }
    qint32 SocketCount() const;
    QString RemoteHost(qint32 lngIndex) const;
    QString RemoteHostIP(qint32 lngIndex) const;
    qint32 RemotePort(qint32 lngIndex) const;

    bool StartListening();
    bool StopListening();
    bool Shutdown();
    bool Send(qint32 lngIndex, const QByteArray& strData);
    // An event loop that waits inside it (a modal dialog; a yield never waits) first sends the
    // rest at once, so that nobody gets a later text before this one.
    bool SendToAll(const QByteArray& strData);
    bool CloseClient(qint32 lngIndex);

    // Whether slot 0 listens, and the slots whose clients are connected, lowest first: what a
    // stop leaves when a start ran inside its announcements.
    bool Listening() const;
    QList<qint32> ConnectedClients() const;

    // For tests and diagnostics: the socket of a slot, or nullptr when the slot does not exist.
    Socket* socketAt(qint32 lngIndex) const;
    // The socket layer's gate, for whoever else must wait for answers; nullptr when it has none.
    const AnswerGate* answerGate() const { return layer_->answerGate(); }

signals:
    void NewConnection(qint32 lngIndex, bool& blnCancel);
    void ConnectionClosed(qint32 lngIndex);
    void DataArrival(qint32 lngIndex, const QByteArray& strData);
    void SocketError(qint32 lngIndex, qint32 lngNumber, const QString& strSource,
                     const QString& strDescription);
    void SendProgress(qint32 lngIndex, qint64 lngBytesSent, qint64 lngBytesRemaining);
    void SendComplete(qint32 lngIndex);

private:
    struct Slot {
        Socket* socket = nullptr;
        bool counted = false;     // included in ActiveClients
        quint64 connectionId = 0; // changes with every accept, so a handler can tell
    };

    void onConnectionRequest(qint16 index, qint32 requestId) noexcept override;
    void onDataArrival(qint16 index, qint32 bytesTotal) noexcept override;
    void onSendProgress(qint16 index, qint64 bytesSent, qint64 bytesRemaining) noexcept override;
    void onSendComplete(qint16 index) noexcept override;
    void onError(qint16 index, qint16 number, const QString& description, qint32 scode,
                 const QString& source, const QString& helpFile, qint32 helpContext,
                 bool& cancelDisplay) noexcept override;
    void onPeerClosed(qint16 index) noexcept override;
    void onAcceptPaused(qint16 index, qint16 number, const QString& description,
                        const QString& source) noexcept override;

    // A SendToAll under way: what is left of it.
    struct FanOut {
        QByteArray text;
        qint32 next = 1;
        qint32 highest = 0;
        bool sentAhead = false;
        std::optional<PoolError> failure; // met while sending ahead, for the call to report
    };

    // One connection in one slot, as a request took it.
    struct Claim {
        qint32 index = 0;
        bool added = false; // the slot was made for it
        quint64 connectionId = 0;
    };

    void acceptRequest(qint32 requestId);
    Claim claimSlot(qint32 requestId);
    bool greet(qint32 index);
    void settle(const Claim& claim, bool cancel);
    Slot* stillHolding(const Claim& claim) const;
    void peerClosed(qint16 index);
    void dataArrival(qint16 index, qint32 bytesTotal);
    void socketFailed(qint16 index, qint16 number, const QString& source,
                      const QString& description);
    Slot* slotAt(qint32 index) const;
    Slot& lookup(qint32 index) const;
    qint32 highestIndex() const;
    qint32 addSlot(qint32 index);
    void removeSlot(qint32 index);
    void uncount(Slot& slot);
    bool sendNext(FanOut& fanOut);
    void finishFanOuts() noexcept;
    void closeSlotAfterFailure(qint32 index);
    void closeQuietly(Slot& slot);
    bool methodFailed(const PoolError& failure);
    void reportHandlerFailure(qint32 index, const ErrorInfo& info);
    template <typename Work> void contain(Work&& work) noexcept;

    std::unique_ptr<SocketLayer> layer_;
    std::vector<std::unique_ptr<Slot>> sockets_; // a null entry is a missing index
    qint32 slotCount_ = 0;
    bool raiseErrors_ = false;
    QString lastError_;
    qint32 localPort_ = 0;
    qint32 maxClients_ = 0;
    qint32 activeClients_ = 0;
    qint32 greeting_ = 0; // NewConnection handlers still running, counted against MaxClients
    qint64 bytesReceived_ = 0;
    qint64 bytesSent_ = 0;
    quint64 nextConnectionId_ = 1;
    std::vector<FanOut*> fanOuts_; // the innermost last
};

} // namespace talkmere
