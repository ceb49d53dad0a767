#pragma once

#include "AnswerGate.h"
#include "Socket.h"
#include "TcpEndpoint.h"

#include <QByteArray>

#include <deque>

namespace talkmere {

// The connected part of a client slot's socket, so that an orderly end of stream (peer closed)
// and a reset (error) stay apart. Its arrivals are answered one at a time with the others'
// (AnswerGate).
//
// A failed write is not reported at once: what the client sent before the failure is still in
// the kernel, and it is relayed first, as an arrival of its own; then the failure is reported.
class TcpConnection final : public TcpEndpoint, private AnswerGate::Reader {
public:
    // Unsent output above this closes the connection: a client that stops reading must not grow
    // the server's memory without limit.
    static constexpr qint64 kSendQueueLimit = 4 * 1024 * 1024;
    // One arrival carries at most this much, so one flooding client cannot hold up the others.
    static constexpr qint64 kMaxArrival = 1024 * 1024;

    TcpConnection(TcpSocket& socket, std::shared_ptr<TcpContext> context);

    // Takes over `descriptor`, a connection just accepted. Closed before.
    void open(int descriptor);
    void close();
    void send(const QByteArray& data);
    QByteArray fetch();

    int state() const { return state_; }
    // No name lookup: a resolver must never stall the one thread that serves everybody.
    QString remoteHost() const { return remoteHostIP_; }
    QString remoteHostIP() const { return remoteHostIP_; }
    qint32 remotePort() const { return remotePort_; }
    qint64 bytesQueued() const { return queued_; }

    // The layer's yield: reports what the sends before it wrote at once.
    void reportAtYield();

private:
    void readable();
    void handleArrival();
    bool reading() const override;
    void pauseReading() override;
    void resumeReading() override;
    void wakeLater();
    bool endOfStreamWaiting() const;
    void writable();
    bool writeQueue(int& error);
    // Reports what was written since the last report (send progress, then send complete).
    void deliverProgress();
    void fail(int error, const QString& description) override;
    // A failure found while writing: reported once what came in before it has been relayed.
    void failLater(int error, const QString& description);
    void reportFailure(bool ended);

    int state_ = StateClosed;
    QString remoteHostIP_; // kept after a close, until the next connection
    qint32 remotePort_ = 0;
    QSocketNotifier* writeNotifier_ = nullptr;

    QByteArray received_;
    std::deque<QByteArray> queue_;
    qsizetype headOffset_ = 0;
    qint64 queued_ = 0;
    qint64 unreported_ = 0; // bytes written since the last progress notification
    bool listedUnreported_ = false;

    int failure_ = 0; // a write failure waiting to be reported, with its text
    QString failureText_;
    qint64 unreadAtFailure_ = 0; // what the client had sent that was still unread then
};

} // namespace talkmere
