#pragma once

#include <cstdint>
#include <string>

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 100;
    double minutes = 1.0;
    int serverPid = 0; // 0: no memory and descriptor check
    std::string password;
    int maxClients = 10;
    double broadcastRate = 40.0; // texts per second per reader
    int maxPayload = 2000;       // bytes; records stay well under one arrival
    double privateRate = 20.0;   // private texts per second
    int largeKiB = 384;
    double largeIntervalS = 1.0;
    double stallS = 30.0;
    double drainS = 15.0;
    std::uint64_t seed = 0; // 0: from the clock
    std::int64_t rssMarginKiB = 8192;
    double rssMarginPercent = 10.0;
    int fdMargin = 2;
};
