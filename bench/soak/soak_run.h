#pragma once

#include "../common/net.h"
#include "delivery_ledger.h"
#include "options.h"
#include "soak_counters.h"
#include "stream_scanner.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

using Clock = std::chrono::steady_clock;

// What one soak client does. The first four keep reading for the whole run.
enum class Role {
    Reader,        // broadcasts random records and checks everything it receives
    PrivateSender, // sends "@" + slot + record to the readers' slots; checks what it receives
    LargeSender,   // broadcasts texts of hundreds of KiB
    Listener,      // only reads and checks
    Staller,       // stops reading until the server drops it or the stall ends
    Resetter,      // sends a few records, then resets the connection; reconnects
    HalfCloser,    // sends a few records, shuts down its sending side, reads to the end
    OverLimit,     // connects on top of the others, expecting to be refused when full
    Probe,         // at the end: is the server still accepting and relaying?
};

// Drives every client from one epoll loop for the run's length and judges the outcome.
class SoakRun {
public:
    explicit SoakRun(const Options& options);
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;

    // Returns false (with error) only when the run could not start at all.
    bool run(std::string& error);

    const SoakCounters& counters() const { return counters_; }
    const DeliveryLedger& ledger() const { return ledger_; }
    std::uint64_t seed() const { return seed_; }
    double ranSeconds() const { return ranSeconds_; }

private:
    enum class Phase { Idle, Connecting, AwaitGreeting, Active, Stalled, Draining, HalfClosed };

    struct Client {
        Role role = Role::Reader;
        Phase phase = Phase::Idle;
        bench::Connection link;
        std::unique_ptr<StreamScanner> scanner;
        std::uint16_t id = 0;
        int slot = -1;
        bool live = false; // certainly holding a slot at the server (see noteGreeting)
        bool gone = false; // a whole-run client that the server dropped
        Clock::time_point due;
        Clock::time_point phaseStart;
        Clock::time_point phaseEnd;
        int textsLeft = 0;
        std::int64_t lastOwnSeq = -1;
        bool lastOwnBack = false;
        std::unordered_map<int, std::uint64_t> departures;
    };

    bool startup(std::string& error);
    void loopUntil(Clock::time_point until, bool (SoakRun::*done)() const);
    void pump(int timeoutMs);
    bool allWholeRunGreeted() const;
    bool deliveriesComplete() const;
    bool probeFinished() const;
    bool never() const { return false; }

    void connect(Client& c);
    void handleEvent(Client& c, std::uint32_t events);
    void readFrom(Client& c);
    void absorb(Client& c, ScanOutput& out);
    void onGreeting(Client& c, int slot);
    void onEnd(Client& c, const std::string& why);
    void act(Client& c, Clock::time_point now);
    void sendBroadcast(Client& c);
    void sendPrivate(Client& c);
    void write(Client& c, const std::string& bytes);
    void setInterest(Client& c);
    void closeClient(Client& c, bool reset);
    void drop(Client& c, std::string fault);
    void retryLater(Client& c, double fromS, double toS);
    void stopChaos();
    void finalProbe();
    void sampleServer(bool baseline);
    void checkDepartures();

    bool wholeRun(Role role) const;
    double uniform(double from, double to);
    std::uint16_t payloadLength();

    Options options_;
    std::uint64_t seed_;
    std::mt19937_64 random_;
    bench::Address address_;
    bench::Poller poller_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::unordered_map<std::uint16_t, Client*> byId_;
    std::uint16_t nextId_ = 1;
    bool sending_ = false;
    bool chaos_ = false;
    std::vector<char> readBuffer_;
    DeliveryLedger ledger_;
    SoakCounters counters_;
    std::unordered_map<int, std::uint64_t> halfCloseDepartures_; // slot -> orderly departures
    Clock::time_point started_;
    double ranSeconds_ = 0.0;
    std::string filler_;
};
