#pragma once

#include "record.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// How strictly a receiving connection is judged.
enum class ReceiverKind {
    // Kept reading for the whole run: must get every broadcast written after its greeting by
    // a sender that stayed, and by a sender that left, every one up to the last that sender
    // saw come back to itself.
    WholeRun,
    // Kept reading while it was connected, but left early: what it got from each sender must
    // be an unbroken run from the first text written after its greeting; the end may be cut.
    WhileConnected,
};

struct DeliveryVerdict {
    std::uint64_t written = 0;
    std::uint64_t writtenBytes = 0;
    std::uint64_t delivered = 0; // intact records received by checked connections
    std::uint64_t deliveredBytes = 0;
    std::uint64_t missing = 0;
    std::uint64_t outOfOrder = 0;
    std::uint64_t splitByTransport = 0;  // missing, but seen cut at that receiver
    std::uint64_t splitUnattributed = 0; // missing, set against cut fragments without header
    std::uint64_t privateSent = 0;
    std::uint64_t privateDelivered = 0;
    std::uint64_t privateJoined = 0; // reached the wrong slot because two were joined
    std::uint64_t privateSplit = 0;
    std::uint64_t privateMissing = 0;
    std::uint64_t privateOutOfOrder = 0;
    std::vector<std::string> problems; // the first few, described

    bool clean() const {
        return missing == 0 && outOfOrder == 0 && privateMissing == 0 && privateOutOfOrder == 0;
    }
};

// Records what every connection wrote and received, and judges the deliveries. Connections
// are named by a 16-bit id that is also the sender field of their records.
//
// The window of a pair (sender S, receiver R) starts with the first record that S began to
// write after R had read its greeting (a global write clock orders the two), and ends when S
// or R disconnects.
class DeliveryLedger {
public:
    // Broadcast senders.
    void openSender(std::uint16_t id, bool staysForRun);
    std::uint32_t recordWritten(std::uint16_t sender, std::size_t bytes);

    // Receivers; a connection that was never registered is not judged.
    void openReceiver(std::uint16_t id, ReceiverKind kind);
    void onRecord(std::uint16_t receiver, int receiverSlot, const RecordHeader& record);
    void onDamaged(std::uint16_t receiver, const RecordHeader& record);
    void onHeadless(std::uint16_t receiver, std::uint64_t count);

    // Private texts: one sequence per (sender, target slot).
    std::uint32_t privateWritten(std::uint16_t sender, std::uint8_t targetSlot);

    DeliveryVerdict verdict() const;

private:
    struct Sender {
        bool staysForRun = false;
        std::vector<std::uint64_t> writeClock; // per seq
        std::int64_t lastEchoed = -1;
    };
    struct Pair {
        std::int64_t firstSeen = -1;
        std::int64_t lastSeen = -1;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps; // inclusive
        std::set<std::uint32_t> damaged;
    };
    struct Receiver {
        ReceiverKind kind = ReceiverKind::WholeRun;
        std::uint64_t greetClock = 0;
        std::uint64_t headless = 0;
        std::unordered_map<std::uint16_t, Pair> pairs;
    };
    struct PrivateTrack {
        std::uint32_t sent = 0;
        std::int64_t lastSeen = -1;
        std::uint64_t received = 0;
        std::set<std::uint32_t> excused; // joined or cut by the transport
    };

    void problem(std::string text) const;
    std::uint64_t missingFor(const Receiver& receiver, std::uint16_t senderId, const Sender& sender,
                             std::uint64_t& split, DeliveryVerdict& verdict) const;

    std::uint64_t clock_ = 0;
    std::map<std::uint16_t, Sender> senders_;
    std::map<std::uint16_t, Receiver> receivers_;
    std::map<std::pair<std::uint16_t, std::uint8_t>, PrivateTrack> privates_;
    std::uint64_t written_ = 0;
    std::uint64_t writtenBytes_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t deliveredBytes_ = 0;
    std::uint64_t outOfOrder_ = 0;
    std::uint64_t privateJoined_ = 0;
    std::uint64_t privateSplit_ = 0;
    std::uint64_t privateOutOfOrder_ = 0;
    std::uint64_t privateDelivered_ = 0;
    mutable std::vector<std::string> problems_;
};
