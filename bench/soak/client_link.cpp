#include "client_link.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

bool ClientLink::open(const sockaddr_storage& address, socklen_t length, int receiveBuffer,
                      std::string& error) {
    close();
    fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        errno != EINPROGRESS) {
        error = std::string("connect: ") + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

int ClientLink::connectResult() const {
    int soError = 0;
    socklen_t size = sizeof soError;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) {
        return errno;
    }
    return soError;
}

bool ClientLink::write(std::string_view bytes) {
    backlog_.append(bytes);
    return flush();
}

bool ClientLink::flush() {
    std::size_t done = 0;
    while (done < backlog_.size()) {
        const ssize_t sent =
            ::send(fd_, backlog_.data() + done, backlog_.size() - done, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                break;
            }
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    backlog_.erase(0, done);
    return true;
}

long ClientLink::read(char* buffer, std::size_t size) {
    while (true) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) {
            return got;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN ? -1 : -2;
    }
}

void ClientLink::halfClose() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_WR);
    }
}

void ClientLink::reset() {
    if (fd_ >= 0) {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close();
}

void ClientLink::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    backlog_.clear();
}
