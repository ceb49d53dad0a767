#include "AppInfo.h"
#include "WindowSystemEvents.h"
#include "frmStart.h"

#include <QApplication>

// The one-arrival rule: one arrival is answered at a time, nothing paints inside a fan-out, and
// every send is followed by a yield. Texts go out in the order they came, however long a flood
// lasts, no paint or display round trip stretches a fan-out, and new connections, progress,
// timers and input still run inside a send. The parts that serve it:
// - the yield after every send (ZeviderUrive::Send and SendToAll); an event loop that waits
//   inside a fan-out (a modal dialog) first sends the rest of it (ZeviderUrive::finishFanOuts);
// - the connection's readable and its hold (pool/TcpConnection.cpp): an arrival starts an answer
//   or waits behind the one under way; a client's own closure or failure is read as an arrival
//   too, so it comes after the answer, and a failed write after what the client had sent first;
// - the gate (pool/AnswerGate.h): the other clients' arrivals wait while one is answered, until
//   it has reached everybody or an event loop of someone's own is about to wait inside it; then
//   the answerer goes on too: neither the clients nor the screen may wait for a dialog to close;
// - the console's paint hold (console/PaintHold.h), on the gate's answerStarted/answerEnded:
//   window updates wait for the answer, then are asked again behind what is queued;
// - the log view's row timer (console/EventLogView.cpp): changed rows a millisecond apart, so a
//   screenful painted between two fan-outs does not hold up the texts that come meanwhile;
// - the event loop's dispatcher on epoll (pool/EpollDispatcher.h, installed below, and in the
//   bench hosts and every test): a yield with nothing due costs one epoll_wait, and the gate's
//   pausing of every other reader costs no system call;
// - QT_NO_GLIB below (also in the screenshot tool, the bench hosts and the tests' environment):
//   the window system's dispatcher, which follows the epoll one, is then the plain UNIX one, far
//   cheaper per call than the GLib one; so is the whole loop should epoll be refused.
int main(int argc, char* argv[]) {
    // Both must be set before the application exists.
    qputenv("QT_NO_GLIB", "1");
    talkmere::installEventDispatcher();
    QApplication app(argc, argv);
    talkmere::followWindowSystem();
    QApplication::setApplicationName(QString::fromLatin1(talkmere::kApplicationTitle));
    QApplication::setApplicationVersion(talkmere::versionText());
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.talkmere.server"));

    talkmere::frmStart prompt;
    prompt.show();
    return QApplication::exec();
}
