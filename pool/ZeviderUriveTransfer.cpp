#include "ZeviderUrive.h"

#include "ZeviderUriveEdge.h"

#include <QScopeGuard>

#include <limits>

namespace talkmere {

namespace {

qint64 addCount(qint64 counter, qint64 amount) {
    if (amount > 0 && counter > std::numeric_limits<qint64>::max() - amount)
        return std::numeric_limits<qint64>::max();
    return counter + amount;
}

} // namespace

// ---- sending and receiving -------------------------------------------------------------------

bool ZeviderUrive::Send(qint32 lngIndex, const QByteArray& strData) {
    try {
        lookup(lngIndex).socket->send(strData);
        layer_->yield();
        return true;
    } catch (const PoolError& failure) {
        return methodFailed(failure);
    }
}

bool ZeviderUrive::SendToAll(const QByteArray& strData) {
    FanOut fanOut;
    fanOut.text = strData;
    fanOuts_.push_back(&fanOut);
    const auto done = qScopeGuard([&] { std::erase(fanOuts_, &fanOut); });
    try {
        fanOut.highest = highestIndex();
        while (fanOut.next <= fanOut.highest)
            if (sendNext(fanOut))
                layer_->yield();
        if (fanOut.failure)
            throw *fanOut.failure;
        // The yield that the texts sent ahead went without: their progress is reported.
        if (fanOut.sentAhead)
            layer_->yield();
        return true;
    } catch (const PoolError& failure) {
        return methodFailed(failure);
    }
}

// False when the slot had no client to send to.
bool ZeviderUrive::sendNext(FanOut& fanOut) {
    Slot* slot = slotAt(fanOut.next++); // looked up afresh: the last yield may have removed it
    if (!slot || slot->socket->state() != StateConnected)
        return false;
    slot->socket->send(fanOut.text);
    return true;
}

// An event loop that waits is someone's own (a yield never waits), and the clients are served
// inside it while it runs: first every fan-out under way reaches everybody, the innermost first
// as its yields would have had it, so that each client still gets the texts in the same order.
void ZeviderUrive::finishFanOuts() noexcept {
    contain([&] {
        for (auto under = fanOuts_.rbegin(); under != fanOuts_.rend(); ++under) {
            FanOut& fanOut = **under;
            try {
                while (fanOut.next <= fanOut.highest)
                    fanOut.sentAhead = sendNext(fanOut) || fanOut.sentAhead;
            } catch (const PoolError& failure) {
                fanOut.failure = failure;
                fanOut.next = fanOut.highest + 1;
            }
        }
    });
}

void ZeviderUrive::onDataArrival(qint16 index, qint32 bytesTotal) noexcept {
    contain([&] { dataArrival(index, bytesTotal); });
}

void ZeviderUrive::dataArrival(qint16 index, qint32 bytesTotal) {
    QByteArray text;
    try {
        bytesReceived_ = addCount(bytesReceived_, bytesTotal);
        text = lookup(index).socket->fetch();
    } catch (const PoolError& failure) {
        closeSlotAfterFailure(index);
        reportHandlerFailure(index, failure.info());
        return;
    }
    contain([&] { emit DataArrival(index, text); });
}

void ZeviderUrive::onSendProgress(qint16 index, qint64 bytesSent, qint64 bytesRemaining) noexcept {
    bytesSent_ = addCount(bytesSent_, bytesSent);
    contain([&] { emit SendProgress(index, bytesSent, bytesRemaining); });
}

void ZeviderUrive::onSendComplete(qint16 index) noexcept {
    contain([&] { emit SendComplete(index); });
}

void ZeviderUrive::onError(qint16 index, qint16 number, const QString& description, qint32,
                           const QString& source, const QString&, qint32, bool&) noexcept {
    contain([&] { socketFailed(index, number, source, description); });
}

void ZeviderUrive::socketFailed(qint16 index, qint16 number, const QString& source,
                                const QString& description) {
    if (!slotAt(index))
        return;
    closeSlotAfterFailure(index);
    reportHandlerFailure(index, ErrorInfo{number, source, description});
}

} // namespace talkmere
