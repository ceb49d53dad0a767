#include "reference_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A client that lets this much pile up is not reading; it is dropped rather than letting
// memory grow without end.
constexpr std::size_t kMaxBacklog = 16 * 1024 * 1024;

} // namespace

using bench::systemError;

ReferenceRelay::ReferenceRelay(std::string bindAddress, std::uint16_t port, int maxClients,
                               bool floor)
    : bindAddress_(std::move(bindAddress)), port_(port), floor_(floor),
      slots_(static_cast<std::size_t>(maxClients) + 1), readBuffer_(kReadChunk) {}

ReferenceRelay::~ReferenceRelay() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
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
    return poller_.open(error) && poller_.control(EPOLL_CTL_ADD, listenFd_, EPOLLIN, 0, error);
}

std::string ReferenceRelay::run() {
    const auto onEvent = [this](std::uint64_t token, std::uint32_t events) {
        const auto slot = static_cast<int>(token);
        if (slot == 0) {
            acceptClient();
            return;
        }
        // The slot may have been closed (or even reused) by an earlier event of this batch;
        // a stale event then finds nothing to read, which is harmless.
        if (!slots_[slot].isOpen()) {
            return;
        }
        if ((events & EPOLLOUT) != 0) {
            flush(slot);
        }
        if (slots_[slot].isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            readFrom(slot);
        }
    };
    std::string error;
    while (poller_.wait(-1, onEvent, error)) {
    }
    return error;
}

void ReferenceRelay::acceptClient() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return; // the peer gave up already, or descriptors ran out; keep serving the others
    }
    int slot = 1;
    while (slot < static_cast<int>(slots_.size()) && slots_[slot].isOpen()) {
        ++slot;
    }
    if (slot == static_cast<int>(slots_.size())) {
        ::close(fd); // full
        return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    slots_[slot].adopt(fd);
    if (std::string error; !slots_[slot].watch(poller_, slot, EPOLLIN, error)) {
        slots_[slot].close();
        return;
    }
    const std::string greeting = ":ID:" + std::to_string(slot);
    writeTo(slot, greeting.data(), greeting.size());
    yieldAfterWrite();
}

void ReferenceRelay::readFrom(int slot) {
    const long got = slots_[slot].read(readBuffer_.data(), readBuffer_.size());
    if (got > 0) {
        relay(readBuffer_.data(), static_cast<std::size_t>(got));
    } else if (got != -1) {
        slots_[slot].close();
    }
}

void ReferenceRelay::relay(const char* data, std::size_t length) {
    for (std::size_t slot = 1; slot < slots_.size(); ++slot) {
        if (slots_[slot].isOpen()) {
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
    std::string ignored;
    poller_.wait(
        0, [](std::uint64_t, std::uint32_t) {}, ignored);
}

void ReferenceRelay::writeTo(int slot, const char* data, std::size_t length) {
    bench::Connection& c = slots_[slot];
    // Older bytes still waiting keep the order by queueing new ones behind them.
    std::string error;
    if ((c.backlog() > 0 && c.backlog() + length > kMaxBacklog) || !c.write({data, length}) ||
        (c.backlog() > 0 && !c.watch(poller_, slot, EPOLLIN | EPOLLOUT, error))) {
        c.close();
    }
}

void ReferenceRelay::flush(int slot) {
    bench::Connection& c = slots_[slot];
    std::string error;
    if (!c.flush() || (c.backlog() == 0 && !c.watch(poller_, slot, EPOLLIN, error))) {
        c.close();
    }
}
