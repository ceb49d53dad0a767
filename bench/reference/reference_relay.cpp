#include "reference_relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A client that lets this much pile up is not reading; it is dropped rather than letting
// memory grow without end.
constexpr std::size_t kMaxBacklog = 16 * 1024 * 1024;
constexpr int kMaxEvents = 64;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

ReferenceRelay::ReferenceRelay(std::string bindAddress, std::uint16_t port, int maxClients,
                               bool floor)
    : bindAddress_(std::move(bindAddress)), port_(port), floor_(floor),
      slots_(static_cast<std::size_t>(maxClients) + 1), readBuffer_(kReadChunk) {}

ReferenceRelay::~ReferenceRelay() {
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        closeSlot(static_cast<int>(i));
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
    if (epollFd_ >= 0) {
        ::close(epollFd_);
    }
}

bool ReferenceRelay::listen(std::string& error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    if (::inet_pton(AF_INET, bindAddress_.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + bindAddress_;
        return false;
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = systemError("socket");
        return false;
    }
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = systemError("bind " + bindAddress_ + ":" + std::to_string(port_));
        return false;
    }
    if (::listen(listenFd_, SOMAXCONN) != 0) {
        error = systemError("listen");
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort_ = ntohs(address.sin_port);

    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        error = systemError("epoll_create1");
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = 0;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event) != 0) {
        error = systemError("epoll_ctl");
        return false;
    }
    return true;
}

std::string ReferenceRelay::run() {
    epoll_event events[kMaxEvents];
    for (;;) {
        const int ready = ::epoll_wait(epollFd_, events, kMaxEvents, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return systemError("epoll_wait");
        }
        for (int e = 0; e < ready; ++e) {
            const int slot = static_cast<int>(events[e].data.u32);
            if (slot == 0) {
                acceptClient();
                continue;
            }
            // The slot may have been closed (or even reused) by an earlier event of this batch;
            // a stale event then finds nothing to read, which is harmless.
            if (slots_[slot].fd < 0) {
                continue;
            }
            if ((events[e].events & EPOLLOUT) != 0) {
                flush(slot);
            }
            if (slots_[slot].fd >= 0 && (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                readFrom(slot);
            }
        }
    }
}

void ReferenceRelay::acceptClient() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return; // the peer gave up already, or descriptors ran out; keep serving the others
    }
    int slot = 1;
    while (slot < static_cast<int>(slots_.size()) && slots_[slot].fd >= 0) {
        ++slot;
    }
    if (slot == static_cast<int>(slots_.size())) {
        ::close(fd); // full
        return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<std::uint32_t>(slot);
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(fd);
        return;
    }
    slots_[slot].fd = fd;
    const std::string greeting = ":ID:" + std::to_string(slot);
    writeTo(slot, greeting.data(), greeting.size());
    yieldAfterWrite();
}

void ReferenceRelay::readFrom(int slot) {
    const ssize_t got = ::read(slots_[slot].fd, readBuffer_.data(), readBuffer_.size());
    if (got > 0) {
        relay(readBuffer_.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeSlot(slot);
    }
}

void ReferenceRelay::relay(const char* data, std::size_t length) {
    for (std::size_t slot = 1; slot < slots_.size(); ++slot) {
        if (slots_[slot].fd >= 0) {
            writeTo(static_cast<int>(slot), data, length);
            yieldAfterWrite();
        }
    }
}

void ReferenceRelay::yieldAfterWrite() {
    if (!floor_) {
        return;
    }
    // Level-triggered: whatever this reports is reported again to the main loop, which answers it.
    epoll_event events[kMaxEvents];
    ::epoll_wait(epollFd_, events, kMaxEvents, 0);
}

void ReferenceRelay::writeTo(int slot, const char* data, std::size_t length) {
    Slot& s = slots_[slot];
    if (s.backlog.size() > s.backlogStart) {
        // Older bytes still wait: keep the order by queueing behind them.
        if (s.backlog.size() - s.backlogStart + length > kMaxBacklog) {
            closeSlot(slot);
            return;
        }
        s.backlog.append(data, length);
        return;
    }
    const ssize_t sent = ::send(s.fd, data, length, MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        closeSlot(slot);
        return;
    }
    const auto taken = static_cast<std::size_t>(sent < 0 ? 0 : sent);
    if (taken < length) {
        s.backlog.assign(data + taken, length - taken);
        s.backlogStart = 0;
        setWriteInterest(slot, true);
    }
}

void ReferenceRelay::flush(int slot) {
    Slot& s = slots_[slot];
    while (s.backlog.size() > s.backlogStart) {
        const ssize_t sent = ::send(s.fd, s.backlog.data() + s.backlogStart,
                                    s.backlog.size() - s.backlogStart, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                closeSlot(slot);
            }
            return;
        }
        s.backlogStart += static_cast<std::size_t>(sent);
    }
    s.backlog.clear();
    s.backlogStart = 0;
    setWriteInterest(slot, false);
}

void ReferenceRelay::setWriteInterest(int slot, bool on) {
    Slot& s = slots_[slot];
    if (s.wantsWrite == on) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    event.data.u32 = static_cast<std::uint32_t>(slot);
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, s.fd, &event) != 0) {
        closeSlot(slot);
        return;
    }
    s.wantsWrite = on;
}

void ReferenceRelay::closeSlot(int slot) {
    Slot& s = slots_[slot];
    if (s.fd >= 0) {
        ::close(s.fd); // closing also removes it from the epoll set
    }
    s = Slot{};
}
