// The client roles: what each does when greeted, when its connection ends and when its next
// action is due.
#include "soak_detail.h"
#include "soak_run.h"

#include <algorithm>
#include <string>

namespace soak_detail {

const char* roleName(Role role) {
    static constexpr const char* kNames[] = {
        "reader",   "private sender", "large-text sender", "listener",    "staller",
        "resetter", "half-closer",    "over-limit client", "final probe",
    };
    return kNames[static_cast<int>(role)];
}

} // namespace soak_detail

using namespace soak_detail;

void SoakRun::onGreeting(Client& c, int slot) {
    c.slot = slot;
    c.phase = Phase::Active;
    c.phaseStart = Clock::now();
    ++counters_.greeted;

    // Every client counted here certainly holds a slot: greeted, and neither closed, reset,
    // half-closed nor stalled by us, nor ended by the server as far as we have read.
    c.live = c.role != Role::Staller;
    int live = c.role == Role::Staller ? 1 : 0;
    for (const auto& other : clients_) {
        if (other->live) {
            ++live;
            if (other.get() != &c && other->slot == slot) {
                counters_.fault("slot " + std::to_string(slot) + " was given to a " +
                                roleName(c.role) + " while a " + roleName(other->role) +
                                " still held it");
            }
        }
    }
    counters_.maxLiveClients = std::max(counters_.maxLiveClients, live);
    if (live > options_.maxClients) {
        counters_.fault("a " + std::string(roleName(c.role)) + " was greeted in slot " +
                        std::to_string(slot) + " while " + std::to_string(live - 1) +
                        " other clients held slots (limit " + std::to_string(options_.maxClients) +
                        ")");
    }

    switch (c.role) {
    case Role::Reader:
    case Role::Probe:
        ledger_.openSender(c.id, true);
        ledger_.openReceiver(c.id, ReceiverKind::WholeRun);
        if (c.role == Role::Probe) {
            sendBroadcast(c);
        }
        break;
    case Role::PrivateSender:
    case Role::LargeSender:
    case Role::Listener:
        ledger_.openReceiver(c.id, ReceiverKind::WholeRun);
        break;
    case Role::Resetter:
    case Role::HalfCloser:
        ledger_.openSender(c.id, false);
        ledger_.openReceiver(c.id, ReceiverKind::WhileConnected);
        c.textsLeft = std::uniform_int_distribution<int>(2, 8)(random_);
        c.due = Clock::now() + seconds(uniform(0.0, 0.1));
        break;
    case Role::Staller:
        ++counters_.stalls;
        c.phase = Phase::Stalled;
        c.phaseEnd = Clock::now() + seconds(uniform(0.7, 1.0) * options_.stallS);
        c.due = c.phaseEnd;
        setInterest(c);
        break;
    case Role::OverLimit:
        ++counters_.acceptedExtra; // a slot was free; give it back at once
        closeClient(c, false);
        retryLater(c, 1.0, 3.0);
        break;
    }
}

void SoakRun::onEnd(Client& c, const std::string& why) {
    const double age = secondsSince(c.phaseStart);
    const Phase phase = c.phase;
    closeClient(c, false);
    if (phase == Phase::Connecting || phase == Phase::AwaitGreeting) {
        // Closed without a greeting: the server was full. Try again later.
        if (c.role == Role::OverLimit) {
            ++counters_.refusedExtra;
        } else {
            ++counters_.refusedChaos;
        }
        if (phase == Phase::AwaitGreeting) {
            counters_.slowestRefusalS = std::max(counters_.slowestRefusalS, age);
        }
        if (wholeRun(c.role)) {
            counters_.fault(std::string(roleName(c.role)) + " was refused at start: " + why);
            c.gone = true;
            return;
        }
        retryLater(c, c.role == Role::OverLimit ? 1.0 : 0.3, c.role == Role::OverLimit ? 3.0 : 1.0);
        return;
    }
    switch (c.role) {
    case Role::Probe:
        if (phase == Phase::HalfClosed) {
            return; // the orderly end of the final probe
        }
        break;
    case Role::Staller:
        if (phase == Phase::Draining) {
            ++counters_.stallsDropped;
        } else {
            counters_.fault("the staller in slot " + std::to_string(c.slot) +
                            " was ended before it stalled: " + why);
        }
        retryLater(c, 1.0, 2.0);
        return;
    case Role::HalfCloser:
        if (phase == Phase::HalfClosed) {
            ++counters_.halfClosesEnded;
            ++halfCloseDepartures_[c.slot];
            if (!c.lastOwnBack) {
                counters_.fault("the half-closer in slot " + std::to_string(c.slot) +
                                " did not get its last text back before the server closed");
            }
            retryLater(c, 0.3, 1.0);
            return;
        }
        break;
    default:
        break;
    }
    drop(c, "the server ended a " + std::string(roleName(c.role)) + " in slot " +
                std::to_string(c.slot) + " that kept reading, after " + std::to_string(age) +
                " s: " + why);
}

void SoakRun::act(Client& c, Clock::time_point now) {
    switch (c.phase) {
    case Phase::Idle:
        if (chaos_ || c.role == Role::Probe) {
            connect(c);
        } else {
            c.due = Clock::time_point::max();
        }
        return;
    case Phase::Stalled:
        c.phase = Phase::Draining; // read what piled up: an end of stream means it was dropped
        c.phaseEnd = now + seconds(kStallDrainS);
        c.due = c.phaseEnd;
        setInterest(c);
        return;
    case Phase::Draining:
        ++counters_.stallsOutlasted;
        closeClient(c, true);
        retryLater(c, 1.0, 2.0);
        return;
    case Phase::HalfClosed:
        counters_.fault("the server kept the half-closed connection of slot " +
                        std::to_string(c.slot) + " open for " + std::to_string(kHalfCloseLimitS) +
                        " s");
        closeClient(c, false);
        retryLater(c, 0.3, 1.0);
        return;
    case Phase::Active:
        break;
    default:
        c.due = Clock::time_point::max();
        return;
    }

    switch (c.role) {
    case Role::Reader:
        if (sending_) {
            if (c.link.backlog() < kReaderBacklogLimit) {
                sendBroadcast(c);
            } else {
                ++counters_.sendsSkipped;
            }
        }
        c.due = now + seconds(uniform(0.5, 1.5) / options_.broadcastRate);
        return;
    case Role::PrivateSender:
        if (sending_) {
            sendPrivate(c);
        }
        c.due = now + seconds(uniform(0.5, 1.5) / options_.privateRate);
        return;
    case Role::LargeSender:
        if (sending_ && c.link.backlog() == 0) {
            write(c, filler_);
            ++counters_.largeTexts;
            counters_.largeBytes += filler_.size();
        }
        c.due = now + seconds(options_.largeIntervalS);
        return;
    case Role::Resetter:
    case Role::HalfCloser:
        if (c.textsLeft > 0) {
            sendBroadcast(c);
            --c.textsLeft;
            // The last text goes with little or no pause before the reset, so some resets
            // catch texts still on their way in.
            c.due = now + seconds(c.textsLeft > 0 ? uniform(0.02, 0.08) : uniform(0.0, 0.5));
            return;
        }
        if (c.role == Role::Resetter) {
            ++counters_.resets;
            closeClient(c, true);
            retryLater(c, 0.3, 1.5);
            return;
        }
        if (c.link.backlog() > 0) {
            c.due = now + std::chrono::milliseconds(10);
            return;
        }
        ++counters_.halfCloses;
        c.link.halfClose();
        c.live = false;
        c.phase = Phase::HalfClosed;
        c.phaseEnd = now + seconds(kHalfCloseLimitS);
        c.due = c.phaseEnd;
        return;
    default:
        c.due = Clock::time_point::max();
        return;
    }
}

void SoakRun::sendBroadcast(Client& c) {
    RecordHeader header;
    header.kind = RecordKind::Broadcast;
    header.sender = c.id;
    header.length = payloadLength();
    header.seq = ledger_.recordWritten(c.id, recordSize(header));
    c.lastOwnSeq = header.seq;
    write(c, encodeRecord(header, seed_));
}

void SoakRun::sendPrivate(Client& c) {
    // Round robin over the readers that can be addressed with one digit.
    std::vector<int> slots;
    for (const auto& other : clients_) {
        if (other->role == Role::Reader && other->phase == Phase::Active && other->slot >= 1 &&
            other->slot <= 9) {
            slots.push_back(other->slot);
        }
    }
    if (slots.empty()) {
        return;
    }
    const int slot = slots[static_cast<std::size_t>(c.textsLeft++) % slots.size()];
    RecordHeader header;
    header.kind = RecordKind::Private;
    header.sender = c.id;
    header.target = static_cast<std::uint8_t>(slot);
    header.length = payloadLength();
    header.seq = ledger_.privateWritten(c.id, header.target);
    std::string text(1, '@');
    text.append(std::to_string(slot)).append(encodeRecord(header, seed_));
    write(c, text);
}
