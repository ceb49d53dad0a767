#pragma once

#include "../common/process_stats.h"

#include <cstdint>
#include <string>
#include <vector>

// Everything a soak run counts besides the deliveries themselves.
struct SoakCounters {
    std::uint64_t connections = 0; // connection attempts
    std::uint64_t greeted = 0;
    std::uint64_t refusedChaos = 0;  // a chaos client reconnecting while the server was full
    std::uint64_t refusedExtra = 0;  // an over-limit connection closed without a greeting
    std::uint64_t acceptedExtra = 0; // an over-limit connection greeted because a slot was free
    double slowestRefusalS = 0.0;    // connect to end of stream of a refused connection
    std::uint64_t stalls = 0;
    std::uint64_t stallsDropped = 0; // the server ended the stalled connection
    std::uint64_t stallsOutlasted = 0;
    std::uint64_t stalledBytesDrained = 0;
    std::uint64_t resets = 0;
    std::uint64_t halfCloses = 0;
    std::uint64_t halfClosesEnded = 0; // the server closed after our half-close
    std::uint64_t largeTexts = 0;
    std::uint64_t largeBytes = 0;
    std::uint64_t foreignBytes = 0;
    std::uint64_t sendsSkipped = 0; // a reader's backlog was too long to add another text
    int maxLiveClients = 0;         // a lower bound of the server's clients, at each greeting
    std::uint64_t departuresSeen = 0;
    std::uint64_t departuresExpected = 0;

    // Faults found; each makes the run fail.
    std::vector<std::string> faults;
    void fault(std::string text) {
        if (faults.size() < 20) {
            faults.push_back(std::move(text));
        } else {
            ++faultsNotListed;
        }
    }
    std::uint64_t faultsNotListed = 0;

    // Server health at the end.
    bool serverAnswered = false; // a new client was greeted and its broadcast relayed
    int probeSlot = -1;
    bool serverProcessGone = false;
    double baselineAtS = 0.0;
    bench::ProcessSample baseline;
    bench::ProcessSample end;
    std::int64_t rssMaxKiB = 0;
    std::vector<std::int64_t> rssByMinuteKiB; // first sample of each minute of the run
    int descriptorsMax = 0;
};
