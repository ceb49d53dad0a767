#pragma once

#include "EventLog.h"

#include <QByteArray>

#include <exception>
#include <utility>

namespace talkmere {

// One failure as one event-log line, "<action> failed: <reason>", without moving the selection.
inline void logFailure(EventLog& log, const char* action, const char* reason) noexcept {
    try {
        log.appendOnly(QByteArray(action) + " failed: " + reason);
    } catch (...) {
        // Nowhere left to report to; dropping the line keeps the program alive.
    }
}

// Runs the body of a slot that Qt calls, so that no exception reaches the event loop: a failure
// becomes one event-log line and the window keeps running.
template <typename Body> void guardedSlot(EventLog& log, const char* action, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logFailure(log, action, e.what());
    } catch (...) {
        logFailure(log, action, "unknown error");
    }
}

} // namespace talkmere
