#pragma once

#include <string>
#include <string_view>
#include <sys/socket.h>

// One non-blocking TCP connection to the server. What the kernel does not take at once is
// kept in order and written when the socket is writable.
class ClientLink {
public:
    ClientLink() = default;
    ~ClientLink() { close(); }
    ClientLink(const ClientLink&) = delete;
    ClientLink& operator=(const ClientLink&) = delete;

    // Starts connecting; receiveBuffer > 0 fixes SO_RCVBUF (a small window fills quickly).
    bool open(const sockaddr_storage& address, socklen_t length, int receiveBuffer,
              std::string& error);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // 0 once connected, an errno value when the connection attempt failed.
    int connectResult() const;

    // Queues bytes behind any backlog and writes what the kernel takes; false on failure.
    bool write(std::string_view bytes);
    bool flush();
    std::size_t backlog() const { return backlog_.size(); }

    // > 0 bytes read, 0 end of stream, -1 nothing now, -2 failure (errno set).
    long read(char* buffer, std::size_t size);

    void halfClose();
    void reset(); // SO_LINGER 0: the server sees a reset, not an orderly end
    void close();

private:
    int fd_ = -1;
    std::string backlog_;
};
