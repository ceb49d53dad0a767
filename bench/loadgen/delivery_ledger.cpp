#include "delivery_ledger.h"

DeliveryLedger::DeliveryLedger(int clients)
    : clients_(clients), cells_(static_cast<std::size_t>(clients) * clients) {}

bool DeliveryLedger::record(int receiver, const Marker& marker) {
    if (marker.sender >= static_cast<std::uint32_t>(clients_)) {
        ++foreignMarkers_;
        return false;
    }
    Cell& c = cell(receiver, static_cast<int>(marker.sender));
    const auto seq = static_cast<std::int64_t>(marker.seq);
    if (seq <= c.highest) {
        ++orderViolations_;
        return true;
    }
    c.highest = seq;
    ++c.inOrder;
    return true;
}

std::uint64_t DeliveryLedger::missing(const std::vector<std::uint64_t>& sentBySender) const {
    std::uint64_t total = 0;
    for (int r = 0; r < clients_; ++r) {
        for (int s = 0; s < clients_; ++s) {
            const std::uint64_t got = inOrder(r, s);
            total += sentBySender[s] > got ? sentBySender[s] - got : 0;
        }
    }
    return total;
}

bool DeliveryLedger::complete(const std::vector<std::uint64_t>& sentBySender) const {
    for (int r = 0; r < clients_; ++r) {
        for (int s = 0; s < clients_; ++s) {
            if (highestSeen(r, s) + 1 != static_cast<std::int64_t>(sentBySender[s])) {
                return false;
            }
        }
    }
    return true;
}
