#pragma once

#include "record.h"

#include <cstdint>
#include <string>
#include <vector>

// What one piece of a client's incoming stream held.
struct ScanOutput {
    std::vector<RecordHeader> records; // intact and byte-exact
    std::vector<RecordHeader> damaged; // header readable, body cut short or altered
    std::uint64_t headless = 0;        // record starts cut off before their header was whole
    std::vector<int> greetings;        // ":ID:" slot [password]
    std::vector<int> departures;       // ":USERSTAT" slot " " slot "09"
    std::uint64_t foreignBytes = 0;    // anything else (large texts, pieces of cut records)
};

// Finds records and server notices in one connection's byte stream. Arrivals split and join
// at will, so anything cut off at the end of a piece is kept until more bytes come.
class StreamScanner {
public:
    StreamScanner(std::uint64_t runSeed, std::string password)
        : runSeed_(runSeed), password_(std::move(password)) {}

    void feed(const char* data, std::size_t size, ScanOutput& out);

private:
    struct Step {
        bool wait = false;
        std::size_t next = 0;
    };
    Step scanRecord(std::size_t pos, ScanOutput& out) const;
    Step scanNotice(std::size_t pos, ScanOutput& out) const;

    std::uint64_t runSeed_;
    std::string password_;
    std::string buffer_;
};
