#pragma once

#include "marker.h"

#include <cstdint>
#include <vector>

// Per receiver and sender: the highest sequence number seen and how many texts arrived in
// order. A sequence number that does not rise is an order violation (a reordered or repeated
// text); a gap is a text that never arrived whole.
class DeliveryLedger {
public:
    explicit DeliveryLedger(int clients);

    // False for a marker whose sender is not one of ours (another generator on the server).
    bool record(int receiver, const Marker& marker);

    // The highest sequence number each receiver saw from sender, or -1.
    std::int64_t highestSeen(int receiver, int sender) const {
        return cell(receiver, sender).highest;
    }
    std::uint64_t inOrder(int receiver, int sender) const { return cell(receiver, sender).inOrder; }

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
    Cell& cell(int receiver, int sender) { return cells_[receiver * clients_ + sender]; }
    const Cell& cell(int receiver, int sender) const {
        return cells_[receiver * clients_ + sender];
    }

    int clients_;
    std::vector<Cell> cells_;
    std::uint64_t orderViolations_ = 0;
    std::uint64_t foreignMarkers_ = 0;
};
