#include "client_set.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kMaxEvents = 64;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

} // namespace

ClientSet::ClientSet(const Options& options) : options_(options), readBuffer_(kReadChunk) {}

ClientSet::~ClientSet() {
    for (const Client& client : clients_) {
        if (client.fd >= 0) {
            ::close(client.fd);
        }
    }
    if (epollFd_ >= 0) {
        ::close(epollFd_);
    }
}

bool ClientSet::open(std::string& error) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        error = systemError("epoll_create1");
        return false;
    }
    // One limit covers both connecting and being greeted.
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(options_.connectTimeoutS));
    if (!connectAll(deadline, error)) {
        return false;
    }
    const MarkerHandler ignore = [](int, const Marker&, std::uint64_t) {};
    while (
        !std::all_of(clients_.begin(), clients_.end(), [](const Client& c) { return c.greeted; })) {
        if (Clock::now() >= deadline) {
            error = "not every client was greeted within the connect timeout";
            return false;
        }
        if (!pump(millisecondsUntil(deadline), ignore, error)) {
            return false;
        }
    }
    return true;
}

bool ClientSet::connectAll(Clock::time_point deadline, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.port);
    if (const int rc = ::getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &found);
        rc != 0) {
        error = "cannot resolve " + options_.host + ": " + ::gai_strerror(rc);
        return false;
    }
    const addrinfo address = *found;
    const std::vector<char> addressBytes(reinterpret_cast<const char*>(found->ai_addr),
                                         reinterpret_cast<const char*>(found->ai_addr) +
                                             found->ai_addrlen);
    ::freeaddrinfo(found);

    std::vector<pollfd> pending;
    for (int i = 0; i < options_.clients; ++i) {
        const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = systemError("socket");
            return false;
        }
        clients_.push_back(Client{fd, MarkerScanner(options_.size), {}, false, false});
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(addressBytes.data()),
                      static_cast<socklen_t>(addressBytes.size())) != 0 &&
            errno != EINPROGRESS) {
            error = systemError("connect to " + options_.host + ":" + port);
            return false;
        }
        pending.push_back(pollfd{fd, POLLOUT, 0});
    }

    std::size_t connected = 0;
    while (connected < pending.size()) {
        const int ready = ::poll(pending.data(), pending.size(), millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) {
            error = systemError("poll");
            return false;
        }
        if (ready == 0 && Clock::now() >= deadline) {
            error = "connect to " + options_.host + ":" + port + " timed out";
            return false;
        }
        for (pollfd& p : pending) {
            if (p.fd < 0 || p.revents == 0) {
                continue;
            }
            int soError = 0;
            socklen_t length = sizeof soError;
            ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &soError, &length);
            if (soError != 0) {
                errno = soError;
                error = systemError("connect to " + options_.host + ":" + port);
                return false;
            }
            p.fd = -1; // poll ignores negative descriptors
            ++connected;
        }
    }

    for (int i = 0; i < size(); ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<std::uint64_t>(i);
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, clients_[i].fd, &event) != 0) {
            error = systemError("epoll_ctl");
            return false;
        }
    }
    return true;
}

bool ClientSet::watch(int fd, std::function<void()> onReadable, std::string& error) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = clients_.size() + watched_.size();
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        error = systemError("epoll_ctl");
        return false;
    }
    watched_.push_back(std::move(onReadable));
    return true;
}

bool ClientSet::pump(int timeoutMs, const MarkerHandler& onMarker, std::string& error) {
    epoll_event events[kMaxEvents];
    const int ready = ::epoll_wait(epollFd_, events, kMaxEvents, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) {
            return true;
        }
        error = systemError("epoll_wait");
        return false;
    }
    for (int e = 0; e < ready; ++e) {
        const auto index = static_cast<std::size_t>(events[e].data.u64);
        if (index >= clients_.size()) {
            watched_[index - clients_.size()]();
            continue;
        }
        const int i = static_cast<int>(index);
        if ((events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 &&
            !readFrom(i, onMarker, error)) {
            return false;
        }
        if ((events[e].events & EPOLLOUT) != 0 && !flush(i, error)) {
            return false;
        }
    }
    return true;
}

bool ClientSet::readFrom(int index, const MarkerHandler& onMarker, std::string& error) {
    Client& client = clients_[index];
    const ssize_t got = ::read(client.fd, readBuffer_.data(), readBuffer_.size());
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return true;
        }
        error = systemError("read on client " + std::to_string(index));
        return false;
    }
    if (got == 0) {
        error = "server closed the connection of client " + std::to_string(index);
        return false;
    }
    const std::uint64_t arrivedNs = nowNs();
    if (options_.quickAck) {
        // The kernel falls back to delayed acknowledgements on its own; ask again every time.
        const int one = 1;
        ::setsockopt(client.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    client.greeted = true;
    parsed_.clear();
    client.scanner.feed(readBuffer_.data(), static_cast<std::size_t>(got), parsed_);
    for (const Marker& marker : parsed_) {
        onMarker(index, marker, arrivedNs);
    }
    return true;
}

bool ClientSet::send(int client, const Marker& marker, std::string& error) {
    Client& c = clients_[client];
    const std::string text = encodeMarker(marker, options_.size);
    if (!c.backlog.empty()) {
        c.backlog += text;
        return true;
    }
    const ssize_t sent = ::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        error = systemError("send on client " + std::to_string(client));
        return false;
    }
    const auto taken = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
    if (taken < text.size()) {
        c.backlog.assign(text, taken);
        return setWriteInterest(client, true, error);
    }
    return true;
}

bool ClientSet::flush(int index, std::string& error) {
    Client& c = clients_[index];
    while (!c.backlog.empty()) {
        const ssize_t sent = ::send(c.fd, c.backlog.data(), c.backlog.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return true;
            }
            error = systemError("send on client " + std::to_string(index));
            return false;
        }
        c.backlog.erase(0, static_cast<std::size_t>(sent));
    }
    return setWriteInterest(index, false, error);
}

bool ClientSet::setWriteInterest(int index, bool on, std::string& error) {
    Client& c = clients_[index];
    if (c.wantsWrite == on) {
        return true;
    }
    epoll_event event{};
    event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    event.data.u64 = static_cast<std::uint64_t>(index);
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &event) != 0) {
        error = systemError("epoll_ctl");
        return false;
    }
    c.wantsWrite = on;
    return true;
}

bool ClientSet::hasBacklog(int client) const {
    return !clients_[client].backlog.empty();
}

std::uint64_t ClientSet::foreignBytes() const {
    std::uint64_t total = 0;
    for (const Client& c : clients_) {
        total += c.scanner.foreignBytes();
    }
    return total;
}

std::uint64_t ClientSet::damagedRecords() const {
    std::uint64_t total = 0;
    for (const Client& c : clients_) {
        total += c.scanner.damagedRecords();
    }
    return total;
}
