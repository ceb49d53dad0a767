#pragma once

#include "WaitUntil.h"

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talkmere::testing {

// A bare non-blocking POSIX client, for what QTcpSocket does not offer: a reset, a tiny receive
// window, a half close, never reading, and use from a thread of its own.
class RawClient {
public:
    // Starts the connect and returns: a thousand of them can be under way at once. On loopback
    // it completes in the kernel's backlog, before the server accepts; established() waits.
    explicit RawClient(quint16 port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS)
            close();
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Waits until the connect has gone through; false if it failed or took too long.
    bool established(int milliseconds = kWait) {
        pollfd writable{fd_, POLLOUT, 0};
        int failure = 0;
        socklen_t size = sizeof failure;
        return isOpen() && ::poll(&writable, 1, milliseconds) == 1 &&
               ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &failure, &size) == 0 && failure == 0;
    }
    bool write(const QByteArray& bytes) {
        return ::send(fd_, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) ==
               bytes.size();
    }
    // Takes what has arrived without waiting; true once the stream has ended (EOF or error).
    bool drain(QByteArray& into) {
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                into.append(buffer, n);
                continue;
            }
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
    }
    // Ends the sending side only; the client still reads.
    void endStream() { ::shutdown(fd_, SHUT_WR); }
    // Reads what is there first, so that the close is an orderly end of stream, not a reset.
    void closeInOrder() {
        QByteArray ignored;
        drain(ignored);
        close();
    }
    // Closes with a reset instead of an orderly end of stream.
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close();
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

} // namespace talkmere::testing
