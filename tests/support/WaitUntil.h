#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace talkmere::testing {

// How long a test waits for something that should come. Generous, for a shared machine that is
// slow at times; a wait that succeeds returns as soon as it does.
constexpr int kWait = 20000;

// Runs the event loop until done() holds or the time is up. A ticking timer bounds every wait
// even when nothing happens; `step` is the longest the loop sleeps between two checks.
template <typename Done> bool waitUntil(Done done, int milliseconds, int step = 10) {
    QDeadlineTimer deadline(milliseconds);
    QTimer ticker;
    ticker.start(step);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace talkmere::testing
