#pragma once

#include "FreePort.h"
#include "ServerControl.h"
#include "fMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>

#include <memory>

namespace talkmere::testing {

// Generous: the machine is shared and slow at times; a wait that succeeds returns at once.
constexpr int kWait = 10000;

// A server of the program's kind on a loopback port of its own.
inline std::unique_ptr<ServerControl> loopbackServer(quint16 port) {
    return std::make_unique<ServerControl>(port, QHostAddress::LocalHost);
}

// A chat client on a plain socket that keeps everything it was sent, as one text.
class Client {
public:
    explicit Client(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray& text) {
        socket.write(text);
        socket.flush();
    }

    QTcpSocket socket;
    QByteArray received;
};

template <typename T> T* control(const QObject* window, const char* name) {
    T* found = window->findChild<T*>(QLatin1String(name));
    if (found == nullptr)
        qFatal("no control %s", name);
    return found;
}

// Control geometry as the window designs it, in whole pixels.
inline int px(double twips) {
    return qRound(twips / 15.0);
}

} // namespace talkmere::testing
