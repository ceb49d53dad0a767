#include "net.h"

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>
#include <utility>

namespace bench {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool resolve(const std::string& host, std::uint16_t port, Address& out, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    out.name = host + ":" + service;
    std::memcpy(&out.storage, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

Poller::~Poller() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Poller::open(std::string& error) {
    fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd_ < 0) {
        error = systemError("epoll_create1");
    }
    return fd_ >= 0;
}

bool Poller::control(int operation, int fd, std::uint32_t events, std::uint64_t token,
                     std::string& error) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    if (::epoll_ctl(fd_, operation, fd, &event) != 0) {
        error = systemError("epoll_ctl");
        return false;
    }
    return true;
}

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), watched_(std::exchange(other.watched_, 0)),
      backlog_(std::move(other.backlog_)), sent_(std::exchange(other.sent_, 0)) {}

bool Connection::open(const Address& address, int receiveBuffer, std::string& error) {
    close();
    fd_ = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = systemError("socket");
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 &&
        errno != EINPROGRESS) {
        error = systemError("connect to " + address.name);
        close();
        return false;
    }
    return true;
}

void Connection::adopt(int fd) {
    close();
    fd_ = fd;
}

int Connection::connectResult() const {
    int soError = 0;
    socklen_t size = sizeof soError;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) {
        return errno;
    }
    return soError;
}

bool Connection::watch(Poller& poller, std::uint64_t token, std::uint32_t events,
                       std::string& error) {
    if (events == watched_) {
        return true;
    }
    if (!poller.control(watched_ == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd_, events, token, error)) {
        return false;
    }
    watched_ = events;
    return true;
}

bool Connection::write(std::string_view bytes) {
    if (backlog() > 0) {
        backlog_.append(bytes);
        return true;
    }
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
    }
    const auto taken = static_cast<std::size_t>(sent < 0 ? 0 : sent);
    if (taken < bytes.size()) {
        backlog_.assign(bytes.substr(taken));
        sent_ = 0;
    }
    return true;
}

bool Connection::flush() {
    while (backlog() > 0) {
        const ssize_t sent = ::send(fd_, backlog_.data() + sent_, backlog(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            if (errno != EAGAIN) {
                return false;
            }
            break;
        }
        sent_ += static_cast<std::size_t>(sent);
    }
    // Dropping the sent front only now and then keeps a long backlog from being copied per send.
    if (backlog() == 0 || sent_ > backlog_.size() / 2) {
        backlog_.erase(0, sent_);
        sent_ = 0;
    }
    return true;
}

long Connection::read(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return errno == EAGAIN ? -1 : -2;
        }
    }
}

void Connection::halfClose() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_WR);
    }
}

void Connection::reset() {
    if (fd_ >= 0) {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close();
}

void Connection::close() {
    if (fd_ >= 0) {
        ::close(fd_); // which also takes it out of its poller
        fd_ = -1;
    }
    watched_ = 0;
    backlog_.clear();
    sent_ = 0;
}

} // namespace bench
