#pragma once

#include "../common/net.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A minimal relay on epoll, as a yardstick for the real server: every read from a client is
// written, whole and in order, to every connected client, the sender included.
//
// With `floor` set it also asks the kernel what is ready (a zero-timeout epoll_wait) after every
// write, as any server must that yields to its event loop after each send; what it learns is left
// for the main loop, so each arrival is still answered on its own. That is the least a design with
// a yield per send can cost, and the yardstick the real server is held to.
class ReferenceRelay {
public:
    ReferenceRelay(std::string bindAddress, std::uint16_t port, int maxClients, bool floor = false);
    ~ReferenceRelay();
    ReferenceRelay(const ReferenceRelay&) = delete;
    ReferenceRelay& operator=(const ReferenceRelay&) = delete;

    bool listen(std::string& error);
    std::uint16_t boundPort() const { return boundPort_; }

    // Serves until a fatal error; returns its description.
    std::string run();

private:
    void acceptClient();
    void readFrom(int slot);
    void relay(const char* data, std::size_t length);
    void writeTo(int slot, const char* data, std::size_t length);
    void yieldAfterWrite();
    void flush(int slot);

    std::string bindAddress_;
    std::uint16_t port_;
    bool floor_;
    std::uint16_t boundPort_ = 0;
    int listenFd_ = -1;
    bench::Poller poller_;
    std::vector<bench::Connection> slots_; // 0 stands for the listener, clients use 1..maxClients
    std::vector<char> readBuffer_;
};
