// Renders the password prompt, the main window with a few live loopback clients and the
// server-message window to PNG files, on the offscreen platform. Usage:
//   talkmere-screenshots [output directory, default docs/pictures]

#include "ServerControl.h"
#include "fMain.h"
#include "frmMess.h"
#include "frmStart.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using namespace talkmere;

// Runs the event loop until the condition holds or five seconds have gone.
bool waitFor(const std::function<bool()>& condition) {
    const QDeadlineTimer deadline(5000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool save(QWidget& window, const QDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    const bool saved = window.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

quint16 freeLoopbackPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/pictures"));
    if (!QDir().mkpath(dir.path()))
        return 1;
    bool ok = true;

    frmStart prompt;
    prompt.findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(QStringLiteral("s3cret"));
    prompt.show();
    ok &= waitFor([&] { return prompt.isVisible(); });
    ok &= save(prompt, dir, QStringLiteral("password-prompt.png"));
    prompt.hide();

    const quint16 port = freeLoopbackPort();
    ServerControl::setPassword("s3cret");
    fMain window(std::make_unique<ServerControl>(port, QHostAddress::LocalHost));
    window.show();

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 4; ++i) {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, port);
        QTcpSocket* raw = client.get();
        ok &= waitFor([raw] { return raw->bytesAvailable() > 0; }); // the greeting
        raw->readAll();
        clients.push_back(std::move(client));
    }
    clients[0]->write("Hello everybody");
    clients[1]->write("@1Just for you, number one");
    clients[2]->write("Good evening");
    ok &= waitFor([&] { return window.server().log().count() >= 3; });
    clients[3]->disconnectFromHost();
    ok &= waitFor([&] { return window.server().pool().ActiveClients() == 3; });
    // Let a few statistics ticks show the counts.
    QDeadlineTimer settle(400);
    waitFor([&] { return settle.hasExpired(); });
    ok &= save(window, dir, QStringLiteral("main-window.png"));

    window.findChild<QAction*>(QStringLiteral("FMess"))->trigger();
    frmMess* message = window.messageWindow();
    ok &= message != nullptr;
    if (message) {
        message->findChild<QPlainTextEdit*>(QStringLiteral("txtMess"))
            ->setPlainText(QStringLiteral("The server goes down for maintenance at ten.\n"
                                          "Please log off before then."));
        ok &= waitFor([&] { return message->isVisible(); });
        ok &= save(*message, dir, QStringLiteral("server-message.png"));
    }
    window.server().shutdownForExit();
    return ok ? 0 : 1;
}
