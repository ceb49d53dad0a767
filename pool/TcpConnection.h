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

    // A connection's life; every change goes through enter().
    //   Closed -> Open             accepted
    //   Open -> Draining           a write failed, or the send queue overflowed: what the client
    //                              had sent before is still relayed, then the failure reported
    //   Open, Draining -> Ended    the client ended its stream in order (after a failed write: the
    //                              broken pipe was its leaving); peer closed is reported
    //   Open, Draining -> Failed   a reset or another failure; the error is reported
    //   any -> Closed              closed by the pool
    enum class Phase { Closed, Open, Draining, Ended, Failed };

    TcpConnection(TcpSocket& socket, std::shared_ptr<TcpContext> context);

    // Takes over `descriptor`, a connection just accepted. Closed before.
    void open(int descriptor);
    void close();
    void send(const QByteArray& data);
    QByteArray fetch();

    int state() const; // the phase as the pool reads it
    // No name lookup: a resolver must never stall the one thread that serves everybody.
    QString remoteHost() const { return remoteHostIP_; }
    QString remoteHostIP() const { return remoteHostIP_; }
    qint32 remotePort() const { return remotePort_; }
    qint64 bytesQueued() const { return queued_; }

    // The layer's yield: reports what the sends before it wrote at once.
    void reportAtYield();

private:
    // What one arrival's reading came to.
    struct Read {
        qsizetype got = 0;
        int error = 0;        // a reset, or another failure of the connection
        bool ended = false;   // the client ended its stream in order
        bool drained = false; // nothing more to read for now
    };
    // A failed write waiting to be reported.
    struct Failure {
        int error = 0;
        QString text;
        qint64 unread = 0; // what the client had sent that was still unread then, and still is
    };

    void enter(Phase next);
    void readable();
    void handleArrival();
    Read receive(bool draining);
    bool relay(qsizetype got, const Stamp& began);
    void openAfterRead(const Read& read);
    void drainAfterRead(bool ended);
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
    void reportPeerClosed();

    Phase phase_ = Phase::Closed;
    QString remoteHostIP_; // kept after a close, until the next connection
    qint32 remotePort_ = 0;
    QSocketNotifier* writeNotifier_ = nullptr;

    QByteArray received_;
    std::deque<QByteArray> queue_;
    qsizetype headOffset_ = 0;
    qint64 queued_ = 0;
    qint64 unreported_ = 0; // bytes written since the last progress notification
    bool listedUnreported_ = false;
    Failure failure_; // while draining
};

} // namespace talkmere
