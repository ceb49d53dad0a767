#pragma once

#include "AnswerGate.h"
#include "Socket.h"

#include <deque>
#include <memory>

class QSocketNotifier;

namespace talkmere {

struct TcpContext;

// A slot's socket: a non-blocking descriptor watched by QSocketNotifier, listening or connected,
// so that an orderly end of stream (peer closed) and a reset (error) stay apart and every accept
// failure is seen. Its arrivals are answered one at a time with the others' (AnswerGate).
//
// A failed write is not reported at once: what the client sent before the failure is still in
// the kernel, and it is relayed first, as an arrival of its own; then the failure is reported.
class TcpSocket final : public Socket, private AnswerGate::Reader {
    Q_OBJECT
public:
    // Unsent output above this closes the connection: a client that stops reading must not grow
    // the server's memory without limit.
    static constexpr qint64 kSendQueueLimit = 4 * 1024 * 1024;
    // One arrival carries at most this much, so one flooding client cannot hold up the others.
    static constexpr qint64 kMaxArrival = 1024 * 1024;
    // Out of descriptors, the listener looks again this often instead of spinning on a backlog
    // that it cannot take.
    static constexpr int kAcceptRetryMs = 100;

    TcpSocket(std::shared_ptr<TcpContext> context, QObject* parent);
    ~TcpSocket() override;

    void close() override;
    void listen() override;
    void accept(qint32 requestId) override;
    void send(const QByteArray& data) override;
    QByteArray fetch() override;

    int state() const override { return state_; }
    qint32 localPort() const override { return localPort_; }
    void setLocalPort(qint32 port) override { localPort_ = port; }
    QString remoteHost() const override { return remoteHost_; }
    QString remoteHostIP() const override { return remoteHostIP_; }
    qint32 remotePort() const override { return remotePort_; }

    qint64 bytesQueued() const { return queued_; }

private:
    friend class TcpSocketLayer; // its yield reports what was written at once

    template <typename Body> void atEdge(Body&& body) noexcept;
    void acceptReady();
    void pauseAccepting(int error);
    void incomingConnection(int descriptor);
    void readable();
    void handleArrival();
    bool reading() const override;
    void pauseReading() override;
    void resumeReading() override;
    void wakeLater();
    bool endOfStreamWaiting() const;
    void writable();
    bool writeQueue(int& error);
    void fail(int error, const QString& description);
    // A failure found while writing: reported once what came in before it has been relayed.
    void failLater(int error, const QString& description);
    void reportFailure(bool ended);
    // Reports what was written since the last report (send progress, then send complete).
    void deliverProgress();

    std::shared_ptr<TcpContext> context_;
    int state_ = StateClosed;
    qint32 localPort_ = 0;
    QString remoteHost_;
    QString remoteHostIP_;
    qint32 remotePort_ = 0;

    int fd_ = -1; // listening or connected
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    quint64 generation_ = 0;     // changes with every close, so late notifications are dropped
    bool acceptPaused_ = false;  // out of descriptors: retrying on a timer
    bool acceptStalled_ = false; // reported; ends when the backlog has been taken

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
