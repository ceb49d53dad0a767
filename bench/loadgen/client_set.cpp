#include "client_set.h"

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::uint64_t kTimerToken = ~std::uint64_t{0}; // the clients' tokens are their indexes

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

} // namespace

ClientSet::ClientSet(const Options& options) : options_(options), readBuffer_(kReadChunk) {}

ClientSet::~ClientSet() {
    if (timerFd_ >= 0) {
        ::close(timerFd_);
    }
}

bool ClientSet::open(std::string& error) {
    if (!poller_.open(error) || !bench::resolve(options_.host, options_.port, address_, error)) {
        return false;
    }
    // One limit covers both connecting and being greeted.
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(options_.connectTimeoutS));
    clients_.reserve(static_cast<std::size_t>(options_.clients));
    for (int i = 0; i < options_.clients; ++i) {
        Client& c = clients_.emplace_back(Client{{}, MarkerScanner(options_.size)});
        if (!c.link.open(address_, 0, error) || !c.link.watch(poller_, i, EPOLLOUT, error)) {
            return false;
        }
    }
    const MarkerHandler ignore = [](int, const Marker&, std::uint64_t) {};
    const auto all = [this](bool Client::*flag) {
        return std::all_of(clients_.begin(), clients_.end(),
                           [flag](const Client& c) { return c.*flag; });
    };
    while (!all(&Client::greeted)) {
        if (Clock::now() >= deadline) {
            error = all(&Client::connected)
                        ? "not every client was greeted within the connect timeout"
                        : "connect to " + address_.name + " timed out";
            return false;
        }
        if (!pump(millisecondsUntil(deadline), ignore, error)) {
            return false;
        }
    }
    return true;
}

bool ClientSet::every(std::uint64_t intervalNs, std::function<void(std::uint64_t)> onTicks,
                      std::string& error) {
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ < 0) {
        error = bench::systemError("timerfd_create");
        return false;
    }
    itimerspec period{};
    period.it_interval.tv_sec = static_cast<time_t>(intervalNs / 1'000'000'000);
    period.it_interval.tv_nsec = static_cast<long>(intervalNs % 1'000'000'000);
    period.it_value = period.it_interval;
    ::timerfd_settime(timerFd_, 0, &period, nullptr);
    onTicks_ = std::move(onTicks);
    return poller_.control(EPOLL_CTL_ADD, timerFd_, EPOLLIN, kTimerToken, error);
}

bool ClientSet::pump(int timeoutMs, const MarkerHandler& onMarker, std::string& error) {
    bool ok = true;
    const auto onEvent = [&](std::uint64_t token, std::uint32_t events) {
        if (!ok) {
            return; // the run ends at the first failure
        }
        if (token == kTimerToken) {
            std::uint64_t ticks = 0;
            if (::read(timerFd_, &ticks, sizeof ticks) == sizeof ticks) {
                onTicks_(ticks);
            }
        } else {
            ok = handle(static_cast<int>(token), events, onMarker, error);
        }
    };
    return poller_.wait(timeoutMs, onEvent, error) && ok;
}

bool ClientSet::handle(int index, std::uint32_t events, const MarkerHandler& onMarker,
                       std::string& error) {
    Client& c = clients_[index];
    if (!c.connected) {
        if (const int result = c.link.connectResult(); result != 0) {
            errno = result;
            error = bench::systemError("connect to " + address_.name);
            return false;
        }
        c.connected = true;
        return c.link.watch(poller_, index, EPOLLIN, error);
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !readFrom(index, onMarker, error)) {
        return false;
    }
    if ((events & EPOLLOUT) != 0) {
        if (!c.link.flush()) {
            error = bench::systemError("send on client " + std::to_string(index));
            return false;
        }
        return c.link.backlog() > 0 || c.link.watch(poller_, index, EPOLLIN, error);
    }
    return true;
}

bool ClientSet::readFrom(int index, const MarkerHandler& onMarker, std::string& error) {
    Client& client = clients_[index];
    const long got = client.link.read(readBuffer_.data(), readBuffer_.size());
    if (got == -1) {
        return true;
    }
    if (got < 0) {
        error = bench::systemError("read on client " + std::to_string(index));
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
        ::setsockopt(client.link.fd(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
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
    bench::Connection& link = clients_[client].link;
    if (!link.write(encodeMarker(marker, options_.size))) {
        error = bench::systemError("send on client " + std::to_string(client));
        return false;
    }
    return link.backlog() == 0 || link.watch(poller_, client, EPOLLIN | EPOLLOUT, error);
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
