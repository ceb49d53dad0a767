// A windowless host for measuring the server: the real relay (client table and event log kept,
// not shown) or the bare pool as a broadcast relay, on a loopback port.
#include "../common/QuitOnSignal.h"
#include "ServerControl.h"
#include "TcpSocket.h"
#include "ZeviderUrive.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Windowless Talkmere relay for benchmarks.");
    parser.addHelpOption();
    parser.addOption({"port", "Loopback port to listen on.", "port", "20100"});
    parser.addOption(
        {"mode", "relay (the server's handlers) or pool (bare broadcast).", "mode", "relay"});
    parser.addOption({"no-data-events", "Clear \"Show data events\" (relay mode)."});
    parser.addOption({"fill-log", "Start with the event log already full (relay mode)."});
    parser.process(app);

    const qint32 port = parser.value("port").toInt();
    const bool relayMode = parser.value("mode") != "pool";

    const talkmere::bench::QuitOnSignal quitOnSignal;
    if (!quitOnSignal.ok())
        return 1;

    std::unique_ptr<talkmere::ServerControl> server;
    std::unique_ptr<talkmere::ZeviderUrive> pool;
    if (relayMode) {
        server = std::make_unique<talkmere::ServerControl>(port, QHostAddress::LocalHost);
        server->clients().setUp();
        server->relay().setShowDataEvents(!parser.isSet("no-data-events"));
        if (parser.isSet("fill-log"))
            for (qsizetype i = 0; i < talkmere::EventLog::kMaxLines; ++i)
                server->log().appendAndSelect("Data on client 1 : filler line " +
                                              QByteArray::number(i));
        server->startServer();
        if (!server->online()) {
            std::fprintf(stderr, "cannot listen on port %d\n", port);
            return 1;
        }
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
        if (!pool->StartListening()) {
            std::fprintf(stderr, "cannot listen on port %d\n", port);
            return 1;
        }
    }
    std::printf("listening on 127.0.0.1:%d (%s)\n", port, relayMode ? "relay" : "pool");
    std::fflush(stdout);
    const int status = app.exec();
    // The totals, to check against what the clients received (a long run passes 2^31 bytes).
    const talkmere::ZeviderUrive& counted = server ? server->pool() : *pool;
    std::printf("COUNTERS bytes_sent=%lld bytes_received=%lld\n",
                static_cast<long long>(counted.BytesSent()),
                static_cast<long long>(counted.BytesReceived()));
    return status;
}
