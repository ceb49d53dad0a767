#include "AppInfo.h"
#include "frmStart.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // The relay yields to the event loop after every send; the plain UNIX dispatcher makes each
    // yield far cheaper than the GLib one. Must be set before the application exists.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(talkmere::kApplicationTitle));
    QApplication::setApplicationVersion(talkmere::versionText());
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.talkmere.server"));

    talkmere::frmStart prompt;
    prompt.show();
    return QApplication::exec();
}
