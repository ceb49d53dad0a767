// A windowless host for measuring the server: the real relay (client table and event log kept,
// not shown) or the bare pool as a broadcast relay, on a loopback port.
#include "../common/QtHost.h"
#include "EpollDispatcher.h"
#include "ServerControl.h"
#include "TcpSocketLayer.h"
#include "ZeviderUrive.h"

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    qputenv("QT_NO_GLIB", "1");
    talkmere::EpollDispatcher::install(); // the program's own event loop
    QCoreApplication app(argc, argv);
    const bench::HostStart start(
        "Windowless Talkmere relay for benchmarks.",
        {{"mode", "relay (the server's handlers) or pool (bare broadcast).", "mode", "relay"},
         {"no-data-events", "Clear \"Show data events\" (relay mode)."},
         {"fill-log", "Start with the event log already full (relay mode)."}});
    if (!start.ok())
        return 1;
    const qint32 port = start.port();
    const bool relayMode = start.parser.value("mode") != "pool";

    std::unique_ptr<talkmere::ServerControl> server;
    std::unique_ptr<talkmere::ZeviderUrive> pool;
    if (relayMode) {
        server = std::make_unique<talkmere::ServerControl>(port, QHostAddress::LocalHost);
        server->clients().setUp();
        server->relay().setShowDataEvents(!start.parser.isSet("no-data-events"));
        if (start.parser.isSet("fill-log"))
            for (qsizetype i = 0; i < talkmere::EventLog::kMaxLines; ++i)
                server->log().appendAndSelect("Data on client 1 : filler line " +
                                              QByteArray::number(i));
        server->startServer();
    } else {
        pool = std::make_unique<talkmere::ZeviderUrive>(
            std::make_unique<talkmere::TcpSocketLayer>(QHostAddress::LocalHost));
        pool->setMaxClients(1000);
        pool->setRaiseErrors(true);
        pool->setLocalPort(port);
        QObject::connect(pool.get(), &talkmere::ZeviderUrive::NewConnection,
                         [&](qint32 index, bool&) {
                             try {
                                 pool->Send(index, ":ID:" + QByteArray::number(index));
                             } catch (const talkmere::PoolError&) {
                             }
                         });
        QObject::connect(pool.get(), &talkmere::ZeviderUrive::DataArrival,
                         [&](qint32, const QByteArray& text) {
                             try {
                                 pool->SendToAll(text);
                             } catch (const talkmere::PoolError&) {
                             }
                         });
    }
    if (!start.announce(server ? server->online() : pool->StartListening(),
                        relayMode ? "relay" : "pool"))
        return 1;
    const int status = app.exec();
    // The totals, to check against what the clients received (a long run passes 2^31 bytes).
    const talkmere::ZeviderUrive& counted = server ? server->pool() : *pool;
    std::printf("COUNTERS bytes_sent=%lld bytes_received=%lld\n",
                static_cast<long long>(counted.BytesSent()),
                static_cast<long long>(counted.BytesReceived()));
    return status;
}
