#include "PaintHold.h"

#include "AnswerGate.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <new>
#include <utility>

namespace talkmere {

PaintHold::PaintHold(const AnswerGate& gate, QObject* parent)
    : QObject(parent), holding_(gate.answering()) {
    connect(&gate, &AnswerGate::answerStarted, this, [this] { holding_ = true; });
    connect(&gate, &AnswerGate::answerEnded, this, &PaintHold::release);
    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(this);
}

PaintHold::~PaintHold() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(this);
}

// Called by the gate as an answer ends, inside the pool: nothing may fail out of it. Without
// memory for a request, that window is painted at its next update.
void PaintHold::release() noexcept {
    holding_ = false;
    for (const QPointer<QObject>& window : std::exchange(held_, {}))
        if (window)
            if (auto* request = new (std::nothrow) QEvent(QEvent::UpdateRequest))
                QCoreApplication::postEvent(window, request, Qt::LowEventPriority);
}

bool PaintHold::eventFilter(QObject* watched, QEvent* event) {
    if (!holding_ || event->type() != QEvent::UpdateRequest)
        return false;
    if (std::find(held_.begin(), held_.end(), watched) != held_.end())
        return true;
    try {
        held_.emplace_back(watched);
        return true;
    } catch (const std::bad_alloc&) {
        return false; // painted now rather than forgotten
    }
}

} // namespace talkmere
