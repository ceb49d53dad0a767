#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class Mode { Throughput, Latency };

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 100;
    int clients = 10;
    Mode mode = Mode::Throughput;
    std::size_t size = 64;
    int window = 8;
    int rate = 2000;
    double durationS = 10.0;
    double warmupS = 1.0;
    int serverPid = 0; // 0: do not sample a server process
    double connectTimeoutS = 3.0;
    double drainS = 2.0;
    bool quickAck = false; // acknowledge every arrival at once (TCP_QUICKACK after each read)
};
