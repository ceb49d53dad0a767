#pragma once

// Private to the pool's own files: the edge that every notification and host handler runs behind.

#include "ZeviderUrive.h"

#include <exception>

namespace talkmere {

// The edge of every notification and of every host handler: whatever fails there stops here,
// recorded in LastError; it must not take the pool down with it, nor reach the event loop.
template <typename Work> void ZeviderUrive::contain(Work&& work) noexcept {
    try {
        work();
    } catch (const PoolError& failure) {
        lastError_ = failure.info().description;
    } catch (const std::exception& failure) {
        lastError_ = QString::fromLocal8Bit(failure.what());
    } catch (...) {
        lastError_ = QStringLiteral("Unknown failure in an event handler");
    }
}

} // namespace talkmere
