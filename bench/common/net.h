#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace bench {

// what + ": " + the text of errno.
std::string systemError(const std::string& what);

struct Address {
    std::string name; // host:port, for messages
    sockaddr_storage storage{};
    socklen_t length = 0;
};

bool resolve(const std::string& host, std::uint16_t port, Address& out, std::string& error);

// One epoll instance; every descriptor in it is known by a token of its owner's choosing.
class Poller {
public:
    Poller() = default;
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool open(std::string& error);
    bool control(int operation, int fd, std::uint32_t events, std::uint64_t token,
                 std::string& error);

    // Waits up to timeoutMs and hands each ready descriptor's token and events to onEvent.
    // False (error set) when waiting failed; a signal is not a failure.
    template <typename OnEvent> bool wait(int timeoutMs, OnEvent&& onEvent, std::string& error) {
        epoll_event events[kMaxEvents];
        const int ready = ::epoll_wait(fd_, events, kMaxEvents, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            error = systemError("epoll_wait");
            return false;
        }
        for (int e = 0; e < ready; ++e) {
            onEvent(events[e].data.u64, events[e].events);
        }
        return true;
    }

private:
    static constexpr int kMaxEvents = 64;
    int fd_ = -1;
};

// One non-blocking TCP connection. What the kernel does not take at once is kept, in order, and
// written by flush() when the socket is writable.
class Connection {
public:
    Connection() = default;
    Connection(Connection&& other) noexcept;
    ~Connection() { close(); }
    Connection& operator=(const Connection&) = delete;

    // Starts connecting; receiveBuffer > 0 fixes SO_RCVBUF (a small window fills quickly).
    bool open(const Address& address, int receiveBuffer, std::string& error);
    void adopt(int fd); // an accepted socket
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int connectResult() const; // 0 once connected, else the errno of the failed attempt

    // Asks poller for these events under token; nothing to do when it asks for them already.
    bool watch(Poller& poller, std::uint64_t token, std::uint32_t events, std::string& error);

    // Sends what the kernel takes now and keeps the rest; while bytes wait, new ones only queue
    // behind them (flush() sends them). False on a send failure, with errno set.
    bool write(std::string_view bytes);
    bool flush();
    std::size_t backlog() const { return backlog_.size() - sent_; }

    // > 0 bytes read, 0 end of stream, -1 nothing now, -2 failure (errno set).
    long read(char* buffer, std::size_t size);

    void halfClose();
    void reset(); // SO_LINGER 0: the peer sees a reset, not an orderly end
    void close();

private:
    int fd_ = -1;
    std::uint32_t watched_ = 0; // 0: not in a poller yet
    std::string backlog_;
    std::size_t sent_ = 0; // the front of backlog_ that is gone already
};

} // namespace bench
