#pragma once

#include <QHostAddress>
#include <QTcpServer>

namespace talkmere::testing {

// A loopback port that nobody listens on right now.
inline quint16 freeLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace talkmere::testing
