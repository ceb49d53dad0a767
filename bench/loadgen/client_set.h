#pragma once

#include "../common/net.h"
#include "marker.h"
#include "options.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

inline std::uint64_t nowNs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

// The load generator's connected clients, all driven by one epoll instance.
class ClientSet {
public:
    // receiver, marker, arrival time in the same clock as Marker::sentNs
    using MarkerHandler = std::function<void(int, const Marker&, std::uint64_t)>;

    explicit ClientSet(const Options& options);
    ~ClientSet();
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    // Connects every client and waits, within the connect timeout, until each was greeted,
    // so that no text is sent before the server has taken every client in.
    bool open(std::string& error);

    int size() const { return static_cast<int>(clients_.size()); }

    // Waits up to timeoutMs for socket events and handles them. False when a connection
    // failed or the server closed it.
    bool pump(int timeoutMs, const MarkerHandler& onMarker, std::string& error);

    // Writes one text; what the socket does not take now is kept and sent when writable.
    bool send(int client, const Marker& marker, std::string& error);
    bool hasBacklog(int client) const { return clients_[client].link.backlog() > 0; }

    // From now on pump() calls onTicks every intervalNs with the ticks since its last call
    // (more than one when the loop fell behind).
    bool every(std::uint64_t intervalNs, std::function<void(std::uint64_t)> onTicks,
               std::string& error);

    std::uint64_t foreignBytes() const;
    std::uint64_t damagedRecords() const;

private:
    struct Client {
        bench::Connection link;
        MarkerScanner scanner;
        bool connected = false;
        bool greeted = false;
    };

    bool handle(int index, std::uint32_t events, const MarkerHandler& onMarker, std::string& error);
    bool readFrom(int index, const MarkerHandler& onMarker, std::string& error);

    Options options_;
    bench::Address address_;
    bench::Poller poller_;
    std::vector<Client> clients_;
    int timerFd_ = -1;
    std::function<void(std::uint64_t)> onTicks_;
    std::vector<char> readBuffer_;
    std::vector<Marker> parsed_;
};
