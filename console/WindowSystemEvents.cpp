#include "WindowSystemEvents.h"

#include "EpollDispatcher.h"

#include <QCoreApplication>
// The window system's dispatcher is made only through its platform integration, which Qt
// offers to its own modules alone.
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>

namespace talkmere {

bool installEventDispatcher() {
    return EpollDispatcher::install();
}

void followWindowSystem() {
    auto* dispatcher = qobject_cast<EpollDispatcher*>(QCoreApplication::eventDispatcher());
    QPlatformIntegration* platform = QGuiApplicationPrivate::platformIntegration();
    if (dispatcher && platform)
        dispatcher->follow(platform->createEventDispatcher());
}

} // namespace talkmere
