#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A minimal relay on epoll, as a yardstick for the real server: every read from a client is
// written, whole and in order, to every connected client, the sender included.
class ReferenceRelay {
public:
    ReferenceRelay(std::string bindAddress, std::uint16_t port, int maxClients);
    ~ReferenceRelay();
    ReferenceRelay(const ReferenceRelay&) = delete;
    ReferenceRelay& operator=(const ReferenceRelay&) = delete;

    bool listen(std::string& error);
    std::uint16_t boundPort() const { return boundPort_; }

    // Serves until a fatal error; returns its description.
    std::string run();

private:
    struct Slot {
        int fd = -1;
        std::string backlog; // bytes the socket has not taken yet
        std::size_t backlogStart = 0;
        bool wantsWrite = false;
    };

    void acceptClient();
    void readFrom(int slot);
    void relay(const char* data, std::size_t length);
    void writeTo(int slot, const char* data, std::size_t length);
    void flush(int slot);
    void setWriteInterest(int slot, bool on);
    void closeSlot(int slot);

    std::string bindAddress_;
    std::uint16_t port_;
    std::uint16_t boundPort_ = 0;
    int listenFd_ = -1;
    int epollFd_ = -1;
    std::vector<Slot> slots_; // index 0 stands for the listener, clients use 1..maxClients
    std::vector<char> readBuffer_;
};
