#include "delivery_ledger.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr std::size_t kMaxProblems = 12;

std::uint64_t countIn(const std::set<std::uint32_t>& seqs, std::int64_t low, std::int64_t high) {
    if (high < low) {
        return 0;
    }
    const auto from = seqs.lower_bound(static_cast<std::uint32_t>(low));
    const auto to = seqs.upper_bound(static_cast<std::uint32_t>(high));
    return static_cast<std::uint64_t>(std::distance(from, to));
}

} // namespace

void DeliveryLedger::problem(std::string text) const {
    if (problems_.size() < kMaxProblems) {
        problems_.push_back(std::move(text));
    }
}

void DeliveryLedger::openSender(std::uint16_t id, bool staysForRun) {
    senders_[id] = Sender{staysForRun, {}, -1};
}

std::uint32_t DeliveryLedger::recordWritten(std::uint16_t sender, std::size_t bytes) {
    Sender& s = senders_[sender];
    s.writeClock.push_back(clock_++);
    ++written_;
    writtenBytes_ += bytes;
    return static_cast<std::uint32_t>(s.writeClock.size() - 1);
}

void DeliveryLedger::openReceiver(std::uint16_t id, ReceiverKind kind) {
    Receiver& r = receivers_[id];
    r.kind = kind;
    r.greetClock = clock_;
}

void DeliveryLedger::onRecord(std::uint16_t receiver, int receiverSlot,
                              const RecordHeader& record) {
    const auto found = receivers_.find(receiver);
    if (found == receivers_.end()) {
        return;
    }
    ++delivered_;
    deliveredBytes_ += recordSize(record);
    if (record.kind == RecordKind::Private) {
        if (record.target != receiverSlot) {
            // Two private texts that reached the server as one arrival go to the first target.
            ++privateJoined_;
            privates_[{record.sender, record.target}].excused.insert(record.seq);
            return;
        }
        PrivateTrack& track = privates_[{record.sender, record.target}];
        ++privateDelivered_;
        ++track.received;
        if (static_cast<std::int64_t>(record.seq) <= track.lastSeen) {
            ++privateOutOfOrder_;
            problem("private text " + std::to_string(record.seq) + " from connection " +
                    std::to_string(record.sender) + " to slot " + std::to_string(receiverSlot) +
                    " arrived after " + std::to_string(track.lastSeen));
        } else {
            track.lastSeen = record.seq;
        }
        return;
    }

    if (record.sender == receiver) {
        Sender& self = senders_[receiver];
        self.lastEchoed = std::max<std::int64_t>(self.lastEchoed, record.seq);
    }
    Pair& pair = found->second.pairs[record.sender];
    const auto seq = static_cast<std::int64_t>(record.seq);
    if (seq <= pair.lastSeen) {
        ++outOfOrder_;
        problem("connection " + std::to_string(receiver) + " got text " + std::to_string(seq) +
                " of connection " + std::to_string(record.sender) + " after " +
                std::to_string(pair.lastSeen));
        return;
    }
    if (pair.firstSeen < 0) {
        pair.firstSeen = seq;
    } else if (seq > pair.lastSeen + 1) {
        pair.gaps.emplace_back(static_cast<std::uint32_t>(pair.lastSeen + 1),
                               static_cast<std::uint32_t>(seq - 1));
    }
    pair.lastSeen = seq;
}

void DeliveryLedger::onDamaged(std::uint16_t receiver, const RecordHeader& record) {
    const auto found = receivers_.find(receiver);
    if (found == receivers_.end()) {
        return;
    }
    if (record.kind == RecordKind::Private) {
        ++privateSplit_;
        privates_[{record.sender, record.target}].excused.insert(record.seq);
        return;
    }
    found->second.pairs[record.sender].damaged.insert(record.seq);
}

void DeliveryLedger::onHeadless(std::uint16_t receiver, std::uint64_t count) {
    if (const auto found = receivers_.find(receiver); found != receivers_.end()) {
        found->second.headless += count;
    }
}

std::uint32_t DeliveryLedger::privateWritten(std::uint16_t sender, std::uint8_t targetSlot) {
    return privates_[{sender, targetSlot}].sent++;
}

std::uint64_t DeliveryLedger::missingFor(const Receiver& receiver, std::uint16_t senderId,
                                         const Sender& sender, std::uint64_t& split,
                                         DeliveryVerdict& verdict) const {
    std::int64_t required = -1;
    if (receiver.kind == ReceiverKind::WholeRun) {
        required = sender.staysForRun ? static_cast<std::int64_t>(sender.writeClock.size()) - 1
                                      : sender.lastEchoed;
    }
    const auto pairIt = receiver.pairs.find(senderId);
    const Pair empty;
    const Pair& pair = pairIt == receiver.pairs.end() ? empty : pairIt->second;
    const std::int64_t high = std::max(required, pair.lastSeen);
    if (high < 0) {
        return 0;
    }
    const auto firstAfterGreeting = static_cast<std::int64_t>(
        std::lower_bound(sender.writeClock.begin(), sender.writeClock.end(), receiver.greetClock) -
        sender.writeClock.begin());
    if (high < firstAfterGreeting) {
        return 0;
    }

    // Missing: the seqs in [firstAfterGreeting, high] that were never received intact.
    std::vector<std::pair<std::int64_t, std::int64_t>> holes;
    if (pair.firstSeen < 0) {
        holes.emplace_back(firstAfterGreeting, high);
    } else {
        if (pair.firstSeen > firstAfterGreeting) {
            holes.emplace_back(firstAfterGreeting, pair.firstSeen - 1);
        }
        for (const auto& [from, to] : pair.gaps) {
            holes.emplace_back(std::max<std::int64_t>(from, firstAfterGreeting), to);
        }
        holes.emplace_back(pair.lastSeen + 1, high);
    }
    std::uint64_t missing = 0;
    for (const auto& [from, to] : holes) {
        if (to < from) {
            continue;
        }
        const auto length = static_cast<std::uint64_t>(to - from + 1);
        const std::uint64_t cut = countIn(pair.damaged, from, to);
        split += cut;
        missing += length - cut;
        if (length > cut && verdict.problems.size() + problems_.size() < kMaxProblems) {
            verdict.problems.push_back("texts " + std::to_string(from) + ".." + std::to_string(to) +
                                       " of connection " + std::to_string(senderId) +
                                       " never reached connection");
        }
    }
    return missing;
}

DeliveryVerdict DeliveryLedger::verdict() const {
    DeliveryVerdict v;
    v.written = written_;
    v.writtenBytes = writtenBytes_;
    v.delivered = delivered_;
    v.deliveredBytes = deliveredBytes_;
    v.outOfOrder = outOfOrder_;
    for (const auto& [receiverId, receiver] : receivers_) {
        std::uint64_t missing = 0;
        const std::size_t problemsBefore = v.problems.size();
        for (const auto& [senderId, sender] : senders_) {
            missing += missingFor(receiver, senderId, sender, v.splitByTransport, v);
        }
        for (std::size_t i = problemsBefore; i < v.problems.size(); ++i) {
            v.problems[i].append(1, ' ').append(std::to_string(receiverId));
        }
        // A cut so early that the header was lost still cost one record.
        const std::uint64_t unattributed = std::min(missing, receiver.headless);
        v.splitUnattributed += unattributed;
        v.missing += missing - unattributed;
    }
    v.privateJoined = privateJoined_;
    v.privateSplit = privateSplit_;
    v.privateDelivered = privateDelivered_;
    v.privateOutOfOrder = privateOutOfOrder_;
    for (const auto& [key, track] : privates_) {
        v.privateSent += track.sent;
        const std::uint64_t excused = countIn(track.excused, 0, std::int64_t{track.sent} - 1);
        const std::uint64_t accounted = track.received + excused;
        if (accounted < track.sent) {
            v.privateMissing += track.sent - accounted;
            if (v.problems.size() < kMaxProblems) {
                v.problems.push_back(std::to_string(track.sent - accounted) +
                                     " private texts from connection " + std::to_string(key.first) +
                                     " never reached slot " + std::to_string(key.second));
            }
        }
    }
    v.problems.insert(v.problems.begin(), problems_.begin(), problems_.end());
    return v;
}
