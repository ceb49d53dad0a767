// Linked into the tests of windows besides ProgramEventLoop.cpp: the window system's own
// dispatcher follows the program's as soon as the application exists, as in app/main.cpp.
#include "WindowSystemEvents.h"

#include <QCoreApplication>

namespace {

void followAtStart() {
    talkmere::followWindowSystem();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(followAtStart)
