#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One load-generator text: a fixed-size printable record that describes itself, so a receiver
// can find it again in a byte stream that the relay splits and joins at will.
//
//   "~TM" sender(4 hex) seq(12 hex) sentNs(16 hex) check(2 hex) '.'... '\n'
//
// The check byte is the sum of the 32 hex digits modulo 256; the padding and the final newline
// are verified too, so a record damaged by foreign bytes is rejected instead of misread.
struct Marker {
    std::uint32_t sender = 0;
    std::uint64_t seq = 0;
    std::uint64_t sentNs = 0;
};

inline constexpr std::string_view kMarkerMagic = "~TM";
inline constexpr std::size_t kMinMarkerSize = 40;
inline constexpr std::uint32_t kMaxMarkerSender = 0xFFFF;

std::string encodeMarker(const Marker& marker, std::size_t size);
std::optional<Marker> decodeMarker(std::string_view record);

// Finds whole markers of one size in a client's incoming bytes and skips everything else
// (greetings, departure notices, damaged records).
class MarkerScanner {
public:
    explicit MarkerScanner(std::size_t markerSize) : size_(markerSize) {}

    // Appends the markers completed by these bytes to out.
    void feed(const char* data, std::size_t length, std::vector<Marker>& out);

    std::uint64_t foreignBytes() const { return foreignBytes_; }
    std::uint64_t damagedRecords() const { return damagedRecords_; }

private:
    std::size_t size_;
    std::string pending_;
    std::uint64_t foreignBytes_ = 0;
    std::uint64_t damagedRecords_ = 0;
};

// Per receiver and sender: the highest sequence number seen and how many texts arrived in
// order. A sequence number that does not rise is an order violation (a reordered or repeated
// text); a gap is a text that never arrived whole.
class MarkerLedger {
public:
    explicit MarkerLedger(int clients);

    // False for a marker whose sender is not one of ours (another generator on the server).
    bool record(int receiver, const Marker& marker);

    std::uint64_t orderViolations() const { return orderViolations_; }
    std::uint64_t foreignMarkers() const { return foreignMarkers_; }

    // Texts that some receiver still lacks, given how many texts each sender sent.
    std::uint64_t missing(const std::vector<std::uint64_t>& sentBySender) const;
    bool complete(const std::vector<std::uint64_t>& sentBySender) const;

private:
    struct Cell {
        std::int64_t highest = -1;
        std::uint64_t inOrder = 0;
    };
    const Cell& cell(int receiver, int sender) const {
        return cells_[receiver * clients_ + sender];
    }

    int clients_;
    std::vector<Cell> cells_;
    std::uint64_t orderViolations_ = 0;
    std::uint64_t foreignMarkers_ = 0;
};
