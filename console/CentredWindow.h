#pragma once

#include "Twips.h"

#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>

namespace talkmere {

// Sizes a window so that its client area, below the menu bar, is the design's (in twips), and
// centres it on its screen. A fixed window cannot be resized afterwards.
inline void sizeAndCentre(QMainWindow& window, int widthTwips, int heightTwips, bool fixed) {
    const QSize client(twips::toPixels(widthTwips), twips::toPixels(heightTwips));
    int menuHeight = window.menuBar()->heightForWidth(client.width());
    if (menuHeight < 0)
        menuHeight = window.menuBar()->sizeHint().height();
    const QSize size(client.width(), client.height() + menuHeight);
    if (fixed)
        window.setFixedSize(size);
    else
        window.resize(size);
    if (const QScreen* screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
}

} // namespace talkmere
