#include "ZeviderUrive.h"

#include "ZeviderUriveEdge.h"

#include <QAbstractEventDispatcher>

#include <limits>
#include <optional>

namespace talkmere {

namespace {

const QString kSource = QStringLiteral("ZeviderUrive");
constexpr qint32 kBadIndex = 9;
constexpr qint32 kMaxSlotIndex = std::numeric_limits<qint16>::max();

} // namespace

ZeviderUrive::ZeviderUrive(std::unique_ptr<SocketLayer> layer, QObject* parent)
    : QObject(parent), layer_(std::move(layer)) {
    addSlot(0);
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { finishFanOuts(); });
}

ZeviderUrive::~ZeviderUrive() {
    // The host may be half destroyed by now: shut down without calling back into it. A destructor
    // is an edge: a failure here has nowhere to go and must not end the program.
    blockSignals(true);
    try {
        Shutdown();
    } catch (...) {
    }
}

// ---- slot array ------------------------------------------------------------------------------

ZeviderUrive::Slot* ZeviderUrive::slotAt(qint32 index) const {
    if (index < 0 || index >= static_cast<qint32>(sockets_.size()))
        return nullptr;
    return sockets_[static_cast<size_t>(index)].get();
}

ZeviderUrive::Slot& ZeviderUrive::lookup(qint32 index) const {
    if (index < std::numeric_limits<qint16>::min() || index > kMaxSlotIndex)
        throw PoolError(kBadIndex, kSource,
                        QStringLiteral("Slot index %1 is out of range").arg(index));
    Slot* slot = slotAt(index);
    if (!slot)
        throw PoolError(kBadIndex, kSource, QStringLiteral("There is no slot %1").arg(index));
    return *slot;
}

qint32 ZeviderUrive::highestIndex() const {
    for (auto i = static_cast<qint32>(sockets_.size()) - 1; i > 0; --i)
        if (sockets_[static_cast<size_t>(i)])
            return i;
    return 0;
}

qint32 ZeviderUrive::addSlot(qint32 index) {
    if (index > kMaxSlotIndex)
        throw PoolError(kBadIndex, kSource, QStringLiteral("No room for another client slot"));
    auto slot = std::make_unique<Slot>();
    slot->socket = layer_->createSocket(this);
    slot->socket->bind(this, static_cast<qint16>(index));
    if (static_cast<qint32>(sockets_.size()) <= index)
        sockets_.resize(static_cast<size_t>(index) + 1);
    sockets_[static_cast<size_t>(index)] = std::move(slot);
    ++slotCount_;
    return index;
}

void ZeviderUrive::removeSlot(qint32 index) {
    std::unique_ptr<Slot> slot = std::move(sockets_[static_cast<size_t>(index)]);
    --slotCount_;
    while (sockets_.size() > 1 && !sockets_.back())
        sockets_.pop_back();
    // Closed by every caller already; unbound, it raises nothing more.
    slot->socket->bind(nullptr, static_cast<qint16>(index));
    // The socket may be further up the stack (its own notification yielded into this).
    slot->socket->deleteLater();
}

void ZeviderUrive::uncount(Slot& slot) {
    if (slot.counted) {
        slot.counted = false;
        --activeClients_;
    }
}

bool ZeviderUrive::Listening() const {
    return slotAt(0)->socket->state() == StateListening;
}

QList<qint32> ZeviderUrive::ConnectedClients() const {
    QList<qint32> connected;
    const qint32 highest = highestIndex();
    for (qint32 i = 1; i <= highest; ++i)
        if (Slot* slot = slotAt(i); slot && slot->socket->state() == StateConnected)
            connected.append(i);
    return connected;
}

Socket* ZeviderUrive::socketAt(qint32 lngIndex) const {
    Slot* slot = slotAt(lngIndex);
    return slot ? slot->socket : nullptr;
}

// ---- properties ------------------------------------------------------------------------------

qint32 ZeviderUrive::SocketCount() const {
    return slotCount_ - 1;
}

QString ZeviderUrive::RemoteHost(qint32 lngIndex) const {
    if (lngIndex <= highestIndex() && lngIndex > 0)
        if (Slot* slot = slotAt(lngIndex))
            return slot->socket->remoteHost();
    return {};
}

QString ZeviderUrive::RemoteHostIP(qint32 lngIndex) const {
    if (lngIndex <= highestIndex() && lngIndex > 0)
        if (Slot* slot = slotAt(lngIndex))
            return slot->socket->remoteHostIP();
    return {};
}

qint32 ZeviderUrive::RemotePort(qint32 lngIndex) const {
    if (lngIndex <= highestIndex() && lngIndex > 0)
        if (Slot* slot = slotAt(lngIndex))
            return slot->socket->remotePort();
    return 0;
}

// ---- error paths -----------------------------------------------------------------------------

bool ZeviderUrive::methodFailed(const PoolError& failure) {
    if (raiseErrors_)
        throw failure;
    lastError_ = failure.info().description;
    return false;
}

void ZeviderUrive::reportHandlerFailure(qint32 index, const ErrorInfo& info) {
    if (raiseErrors_)
        contain([&] { emit SocketError(index, info.number, info.source, info.description); });
    else
        lastError_ = info.description;
}

void ZeviderUrive::closeSlotAfterFailure(qint32 index) {
    Slot* slot = slotAt(index);
    if (!slot)
        return;
    closeQuietly(*slot);
    if (index > 0)
        uncount(*slot);
}

// On a failure path already: a second failure must not hide the first, which is reported.
void ZeviderUrive::closeQuietly(Slot& slot) {
    try {
        slot.socket->close();
    } catch (const PoolError&) {
    }
}

// ---- listening, accepting, closing -----------------------------------------------------------

bool ZeviderUrive::StartListening() {
    if (localPort_ == 0)
        return false;
    try {
        Socket* listener = lookup(0).socket;
        const qint32 port = listener->localPort();
        const int state = listener->state();
        if (port != localPort_ || state != StateListening) {
            listener->close();
            listener->setLocalPort(localPort_);
            listener->listen();
        }
        return true;
    } catch (const PoolError& failure) {
        return methodFailed(failure);
    }
}

bool ZeviderUrive::StopListening() {
    lookup(0).socket->close();
    return true;
}

bool ZeviderUrive::Shutdown() {
    try {
        lookup(0).socket->close();
        const qint32 highest = highestIndex();
        // A start inside one of our own events may take clients in while we go: they stay.
        const quint64 takenLater = nextConnectionId_;
        for (qint32 i = 1; i <= highest; ++i) {
            Slot* slot = slotAt(i);
            // Gone already (a shutdown nested in one of our own events), or taken in since.
            if (!slot || slot->connectionId >= takenLater)
                continue;
            if (slot->socket->state() != StateClosed)
                slot->socket->close();
            uncount(*slot);
            removeSlot(i);
            contain([&] { emit ConnectionClosed(i); });
        }
        return true;
    } catch (const PoolError& failure) {
        return methodFailed(failure);
    }
}

bool ZeviderUrive::CloseClient(qint32 lngIndex) {
    try {
        if (lngIndex <= highestIndex() && lngIndex > 0) {
            Slot* slot = slotAt(lngIndex);
            if (!slot)
                return true;
            slot->socket->close();
            uncount(*slot); // a slot closed twice is counted down once
            contain([&] { emit ConnectionClosed(lngIndex); });
        }
        return true;
    } catch (const PoolError& failure) {
        return methodFailed(failure);
    }
}

void ZeviderUrive::onConnectionRequest(qint16 index, qint32 requestId) noexcept {
    // Clients still being greeted count against the limit too, so a burst handled inside a
    // greeting's yield cannot overshoot it.
    if (index != 0 || activeClients_ + greeting_ >= maxClients_)
        return;
    contain([&] { acceptRequest(requestId); });
}

void ZeviderUrive::acceptRequest(qint32 requestId) {
    std::optional<Claim> claim;
    try {
        claim = claimSlot(requestId);
    } catch (const PoolError& failure) {
        closeSlotAfterFailure(0);
        reportHandlerFailure(0, failure.info());
        return;
    }
    const bool cancel = greet(claim->index);
    try {
        settle(*claim, cancel);
    } catch (const PoolError& failure) {
        // A client that cannot be counted is not left connected: it would be served uncounted.
        if (Slot* slot = stillHolding(*claim))
            closeQuietly(*slot);
        closeSlotAfterFailure(0);
        reportHandlerFailure(0, failure.info());
    }
}

// The lowest free slot number, a missing one included (a stop interrupted by a start leaves the
// low numbers missing, and only slots 0 to 9 can be addressed with "@"), connected to the peer.
ZeviderUrive::Claim ZeviderUrive::claimSlot(qint32 requestId) {
    Claim claim;
    const qint32 highest = highestIndex();
    for (qint32 i = 1; i <= highest && claim.index == 0; ++i) {
        Slot* slot = slotAt(i);
        if (!slot) {
            claim.index = addSlot(i);
            claim.added = true;
        } else if (slot->socket->state() == StateClosed) {
            claim.index = i;
        }
    }
    if (claim.index == 0) {
        claim.index = addSlot(highest + 1);
        claim.added = true;
    }
    Slot& slot = lookup(claim.index);
    slot.socket->close();
    slot.socket->accept(requestId);
    slot.counted = false;
    slot.connectionId = claim.connectionId = nextConnectionId_++;
    return claim;
}

// The host greets the new client, or refuses it; clients being greeted count against the limit.
bool ZeviderUrive::greet(qint32 index) {
    bool cancel = false;
    ++greeting_;
    contain([&] { emit NewConnection(index, cancel); });
    --greeting_;
    return cancel;
}

// Counts the client in, or lets a refused one go, unless the greeting's yields already did.
void ZeviderUrive::settle(const Claim& claim, bool cancel) {
    Slot* slot = stillHolding(claim);
    if (!slot)
        return;
    if (cancel) {
        slot->socket->close();
        // Only a slot that is still the highest goes: removing a lower one would leave a gap.
        if (claim.added && claim.index == highestIndex())
            removeSlot(claim.index);
        return;
    }
    if (slot->socket->state() == StateConnected && !slot->counted) {
        slot->counted = true;
        ++activeClients_;
    }
}

// A handler that yields may find the slot gone, closed, or holding another client since.
ZeviderUrive::Slot* ZeviderUrive::stillHolding(const Claim& claim) const {
    Slot* slot = slotAt(claim.index);
    return slot && slot->connectionId == claim.connectionId ? slot : nullptr;
}

// Still listening, so slot 0 is not closed: the host hears why clients wait, once per spell.
void ZeviderUrive::onAcceptPaused(qint16 index, qint16 number, const QString& description,
                                  const QString& source) noexcept {
    contain([&] { reportHandlerFailure(index, ErrorInfo{number, source, description}); });
}

void ZeviderUrive::onPeerClosed(qint16 index) noexcept {
    contain([&] { peerClosed(index); });
}

void ZeviderUrive::peerClosed(qint16 index) {
    Slot* slot = slotAt(index);
    if (!slot)
        return;
    try {
        slot->socket->close();
    } catch (const PoolError& failure) {
        lastError_ = failure.info().description;
    }
    // The handler still sees the departing client counted; nobody else may count it down.
    const bool wasCounted = index > 0 && slot->counted;
    slot->counted = false;
    contain([&] { emit ConnectionClosed(index); });
    if (wasCounted)
        --activeClients_;
}

} // namespace talkmere
