#include "soak_run.h"

#include "soak_detail.h"

#include "record.h"

#include <algorithm>
#include <cstring>

using namespace soak_detail;

SoakRun::SoakRun(const Options& options)
    : options_(options),
      seed_(options.seed != 0
                ? options.seed
                : static_cast<std::uint64_t>(Clock::now().time_since_epoch().count())),
      random_(seed_), readBuffer_(kReadChunk) {}

bool SoakRun::wholeRun(Role role) const {
    return role == Role::Reader || role == Role::PrivateSender || role == Role::LargeSender ||
           role == Role::Listener;
}

double SoakRun::uniform(double from, double to) {
    return std::uniform_real_distribution<double>(from, to)(random_);
}

std::uint16_t SoakRun::payloadLength() {
    return static_cast<std::uint16_t>(
        std::uniform_int_distribution<int>(16, options_.maxPayload)(random_));
}

bool SoakRun::run(std::string& error) {
    if (!bench::resolve(options_.host, options_.port, address_, error) || !poller_.open(error)) {
        return false;
    }
    filler_ = fillerText(static_cast<std::size_t>(options_.largeKiB) * 1024, seed_);
    const Role roles[] = {Role::Reader,        Role::Reader,      Role::Reader,    Role::Reader,
                          Role::PrivateSender, Role::LargeSender, Role::Listener,  Role::Staller,
                          Role::Resetter,      Role::HalfCloser,  Role::OverLimit, Role::OverLimit,
                          Role::OverLimit,     Role::Probe};
    for (const Role role : roles) {
        auto client = std::make_unique<Client>();
        client->role = role;
        client->due = Clock::time_point::max();
        clients_.push_back(std::move(client));
    }
    if (!startup(error)) {
        return false;
    }

    // The run proper: everybody sends, the chaos clients come and go.
    started_ = Clock::now();
    sending_ = true;
    chaos_ = true;
    for (auto& c : clients_) {
        if (c->role != Role::Probe) {
            c->due = Clock::now() + seconds(uniform(0.0, 0.5));
        }
    }
    const double runS = options_.minutes * 60.0;
    counters_.baselineAtS = runS >= 120.0 ? 60.0 : runS >= 60.0 ? 15.0 : runS / 4.0;
    const auto end = started_ + seconds(runS);
    auto baselineAt = started_ + seconds(counters_.baselineAtS);
    auto nextSample = started_;
    bool baselineTaken = options_.serverPid == 0;
    while (Clock::now() < end) {
        pump(5);
        const auto now = Clock::now();
        if (options_.serverPid != 0 && now >= nextSample) {
            sampleServer(!baselineTaken && now >= baselineAt);
            baselineTaken = baselineTaken || now >= baselineAt;
            nextSample = now + seconds(kSampleEveryS);
        }
    }
    ranSeconds_ = secondsSince(started_);

    // Wind down: chaos first, then let what is in flight arrive, then ask the server for a
    // fresh client and one more broadcast.
    sending_ = false;
    stopChaos();
    loopUntil(Clock::now() + seconds(options_.drainS), &SoakRun::deliveriesComplete);
    finalProbe();
    checkDepartures();
    if (options_.serverPid != 0) {
        loopUntil(Clock::now() + std::chrono::seconds(1), &SoakRun::never);
        sampleServer(false);
    }
    return true;
}

bool SoakRun::startup(std::string& error) {
    for (auto& c : clients_) {
        if (wholeRun(c->role)) {
            connect(*c);
        }
    }
    loopUntil(Clock::now() + std::chrono::seconds(10), &SoakRun::allWholeRunGreeted);
    if (!allWholeRunGreeted()) {
        error = "not every reading client was greeted within 10 s (server full, down or "
                "not a relay?)";
        if (!counters_.faults.empty()) {
            error += "; " + counters_.faults.front();
        }
        return false;
    }
    return true;
}

bool SoakRun::allWholeRunGreeted() const {
    return std::all_of(clients_.begin(), clients_.end(), [this](const auto& c) {
        return !wholeRun(c->role) || c->phase == Phase::Active;
    });
}

bool SoakRun::deliveriesComplete() const {
    return ledger_.verdict().clean();
}

bool SoakRun::probeFinished() const {
    const Client& probe = *clients_.back();
    return probe.lastOwnBack && deliveriesComplete();
}

void SoakRun::loopUntil(Clock::time_point until, bool (SoakRun::*done)() const) {
    auto nextCheck = Clock::now();
    while (Clock::now() < until) {
        if (Clock::now() >= nextCheck) {
            if ((this->*done)()) {
                return;
            }
            nextCheck = Clock::now() + std::chrono::milliseconds(200);
        }
        pump(5);
    }
}

void SoakRun::pump(int timeoutMs) {
    const auto onEvent = [this](std::uint64_t token, std::uint32_t events) {
        if (const auto found = byId_.find(static_cast<std::uint16_t>(token));
            found != byId_.end()) {
            handleEvent(*found->second, events);
        }
    };
    if (std::string error; !poller_.wait(timeoutMs, onEvent, error)) {
        counters_.fault(error);
    }
    const auto now = Clock::now();
    for (auto& c : clients_) {
        if (c->due <= now) {
            act(*c, now);
        }
    }
}

void SoakRun::connect(Client& c) {
    if (nextId_ == 0xFFFF) {
        c.due = Clock::time_point::max(); // out of connection ids; this client rests
        return;
    }
    c.id = nextId_++;
    c.slot = -1;
    c.live = false;
    c.lastOwnSeq = -1;
    c.lastOwnBack = false;
    c.scanner = std::make_unique<StreamScanner>(seed_, options_.password);
    ++counters_.connections;
    std::string error;
    const int receiveBuffer = c.role == Role::Staller ? kStallReceiveBuffer : 0;
    if (!c.link.open(address_, receiveBuffer, error) ||
        !c.link.watch(poller_, c.id, EPOLLOUT, error)) {
        c.link.close();
        counters_.fault(std::string(roleName(c.role)) + " could not connect: " + error);
        retryLater(c, 0.5, 1.5);
        return;
    }
    c.phase = Phase::Connecting;
    c.phaseStart = Clock::now();
    c.due = Clock::time_point::max();
    byId_[c.id] = &c;
}

void SoakRun::setInterest(Client& c) {
    std::uint32_t wanted = 0;
    switch (c.phase) {
    case Phase::Connecting:
        wanted = EPOLLOUT;
        break;
    case Phase::Stalled:
        wanted = EPOLLRDHUP;
        break;
    default:
        wanted = EPOLLIN | EPOLLRDHUP | (c.link.backlog() > 0 ? EPOLLOUT : 0u);
        break;
    }
    if (std::string error; c.link.isOpen() && !c.link.watch(poller_, c.id, wanted, error)) {
        drop(c, "the " + std::string(roleName(c.role)) + " in slot " + std::to_string(c.slot) +
                    " could not be watched: " + error);
    }
}

void SoakRun::handleEvent(Client& c, std::uint32_t events) {
    if (c.phase == Phase::Connecting) {
        if (const int result = c.link.connectResult(); result != 0) {
            onEnd(c, std::string("connect: ") + std::strerror(result));
            return;
        }
        c.phase = Phase::AwaitGreeting;
        setInterest(c);
        return;
    }
    if (c.phase == Phase::Stalled) {
        // The end of stream got past the unread bytes: the server has let go already.
        c.phase = Phase::Draining;
        c.phaseEnd = Clock::now() + seconds(kStallDrainS);
        c.due = c.phaseEnd;
        setInterest(c);
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        if (!c.link.flush()) {
            onEnd(c, std::string("send: ") + std::strerror(errno));
            return;
        }
        setInterest(c);
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        readFrom(c);
    }
}

void SoakRun::readFrom(Client& c) {
    // Bounded per wake-up, so one busy connection cannot starve the others.
    for (int round = 0; round < 8 && c.link.isOpen() && c.phase != Phase::Stalled; ++round) {
        const long got = c.link.read(readBuffer_.data(), readBuffer_.size());
        if (got == -1) {
            return;
        }
        if (got == 0 || got == -2) {
            onEnd(c, got == 0 ? "end of stream" : std::string(std::strerror(errno)));
            return;
        }
        const auto size = static_cast<std::size_t>(got);
        if (c.phase == Phase::Draining || (c.role == Role::Staller && c.slot >= 0)) {
            counters_.stalledBytesDrained += size;
            continue;
        }
        ScanOutput out;
        c.scanner->feed(readBuffer_.data(), size, out);
        absorb(c, out);
        if (static_cast<std::size_t>(got) < readBuffer_.size()) {
            return;
        }
    }
}

void SoakRun::absorb(Client& c, ScanOutput& out) {
    counters_.foreignBytes += out.foreignBytes;
    for (const int slot : out.greetings) {
        if (c.phase == Phase::AwaitGreeting) {
            onGreeting(c, slot);
            if (!c.link.isOpen() || c.phase == Phase::Stalled) {
                return;
            }
        } else {
            counters_.fault("a " + std::string(roleName(c.role)) + " in slot " +
                            std::to_string(c.slot) + " was greeted again (as slot " +
                            std::to_string(slot) + ")");
        }
    }
    for (const RecordHeader& record : out.records) {
        ledger_.onRecord(c.id, c.slot, record);
        if (record.sender == c.id && static_cast<std::int64_t>(record.seq) == c.lastOwnSeq &&
            record.kind == RecordKind::Broadcast) {
            c.lastOwnBack = true;
        }
    }
    for (const RecordHeader& record : out.damaged) {
        ledger_.onDamaged(c.id, record);
    }
    if (out.headless > 0) {
        ledger_.onHeadless(c.id, out.headless);
    }
    for (const int slot : out.departures) {
        ++c.departures[slot];
    }
}

void SoakRun::write(Client& c, const std::string& bytes) {
    if (!c.link.write(bytes)) {
        // The read side reports how the connection ended.
        return;
    }
    setInterest(c);
}

void SoakRun::closeClient(Client& c, bool reset) {
    if (c.link.isOpen()) {
        byId_.erase(c.id);
        if (reset) {
            c.link.reset();
        } else {
            c.link.close();
        }
    }
    c.live = false;
    c.phase = Phase::Idle;
    c.due = Clock::time_point::max();
}

void SoakRun::drop(Client& c, std::string fault) {
    counters_.fault(std::move(fault));
    closeClient(c, false);
    if (wholeRun(c.role) || c.role == Role::Probe) {
        c.gone = true; // a client that kept reading is judged by what it got until here
    } else {
        retryLater(c, 0.3, 1.0);
    }
}

void SoakRun::retryLater(Client& c, double fromS, double toS) {
    c.phase = Phase::Idle;
    c.due = Clock::now() + seconds(uniform(fromS, toS));
}

void SoakRun::stopChaos() {
    chaos_ = false;
    for (auto& c : clients_) {
        if (!wholeRun(c->role) && c->role != Role::Probe) {
            closeClient(*c, c->role == Role::Staller || c->role == Role::Resetter);
        }
    }
}

void SoakRun::finalProbe() {
    Client& probe = *clients_.back();
    probe.due = Clock::now();
    const auto limit = Clock::now() + std::chrono::seconds(10);
    loopUntil(limit, &SoakRun::probeFinished);
    counters_.serverAnswered = probe.lastOwnBack && probe.phase == Phase::Active;
    counters_.probeSlot = probe.slot;
    if (probe.phase == Phase::Active) {
        // Leave orderly once everything is read, as a chat client would.
        probe.link.halfClose();
        probe.live = false;
        probe.phase = Phase::HalfClosed;
        loopUntil(Clock::now() + std::chrono::seconds(2), &SoakRun::never);
        closeClient(probe, false);
    }
    probe.due = Clock::time_point::max();
    if (!counters_.serverAnswered) {
        counters_.fault("at the end no new client was greeted and relayed within 10 s");
    }
}

void SoakRun::sampleServer(bool baseline) {
    const bench::ProcessSample sample = bench::sampleProcess(options_.serverPid);
    if (!sample.valid) {
        counters_.serverProcessGone = true;
        return;
    }
    counters_.rssMaxKiB = std::max(counters_.rssMaxKiB, sample.rssKiB);
    if (sending_ &&
        secondsSince(started_) >= 60.0 * static_cast<double>(counters_.rssByMinuteKiB.size())) {
        counters_.rssByMinuteKiB.push_back(sample.rssKiB);
    }
    counters_.descriptorsMax = std::max(counters_.descriptorsMax, sample.descriptors);
    if (baseline) {
        counters_.baseline = sample;
    } else {
        counters_.end = sample;
    }
}

void SoakRun::checkDepartures() {
    // Every orderly departure (a half-close that the server ended) is announced to everyone
    // who stayed; other departures may add announcements of their own.
    for (const auto& c : clients_) {
        if (!wholeRun(c->role) || c->gone) {
            continue;
        }
        for (const auto& [slot, count] : halfCloseDepartures_) {
            counters_.departuresExpected += count;
            const auto seen = c->departures.find(slot);
            const std::uint64_t got = seen == c->departures.end() ? 0 : seen->second;
            counters_.departuresSeen += std::min(got, count);
            if (got < count) {
                counters_.fault("the " + std::string(roleName(c->role)) + " in slot " +
                                std::to_string(c->slot) + " saw " + std::to_string(got) +
                                " departures of slot " + std::to_string(slot) + ", expected " +
                                std::to_string(count) + " or more");
            }
        }
    }
}
