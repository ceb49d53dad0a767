#pragma once

#include "EventLog.h"

#include <QByteArray>

#include <exception>
#include <utility>

namespace talkmere {

// Runs a handler that Qt calls (a button, a menu, a timer), so that no exception reaches the event
// loop: a failure is handed to `report` with its reason, and the window keeps running.
template <typename Report, typename Body>
void atHandlerEdge(Report&& report, Body&& body) noexcept {
    try {
        try {
            std::forward<Body>(body)();
        } catch (const std::exception& e) {
            report(e.what());
        } catch (...) {
            report("unknown error");
        }
    } catch (...) {
        // The report failed too: nowhere left to tell, and dropping it keeps the program alive.
    }
}

// The same, with the failure as one event-log line, "<action> failed: <reason>", which leaves the
// selection where it is.
template <typename Body>
void guardedHandler(EventLog& log, const char* action, Body&& body) noexcept {
    atHandlerEdge(
        [&](const char* reason) { log.appendOnly(QByteArray(action) + " failed: " + reason); },
        std::forward<Body>(body));
}

} // namespace talkmere
