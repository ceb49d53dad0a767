// The pool's connection life over real loopback sockets: accepting, greeting, leaving, resets,
// refusals at the client limit, and the listener's own failures and restarts.

#include "tcp_test_support.h"

#include <QNetworkInterface>

#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace talkmere;
using namespace talkmere::testing;

class TcpConnectionsTest : public QObject {
    Q_OBJECT
private slots:
    void greetsAddressesAndReusesSlots();
    void orderlyCloseAndResetTakeDifferentPaths();
    void dataFollowedByEndOfStreamArrivesFirst();
    void clientsGoneBeforeTheirGreetingAreNotCounted();
    void refusedClientsAreHungUpAtOnce();
    void burstNeverPassesTheClientLimit();
    void portInUseFailsAndRestartWorks();
    void listensWhereItIsTold_data();
    void listensWhereItIsTold();
};

void TcpConnectionsTest::greetsAddressesAndReusesSlots() {
    RelayHost host;
    QVERIFY(host.start());
    Clients clients = connectGreeted(host.port, 3);
    QCOMPARE(clients.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const ChatClient& client = *clients[static_cast<size_t>(i)];
        QCOMPARE(client.slot, i + 1);
        QCOMPARE(host.pool.RemoteHostIP(client.slot), QStringLiteral("127.0.0.1"));
        QCOMPARE(host.pool.RemoteHost(client.slot), QStringLiteral("127.0.0.1"));
        QCOMPARE(host.pool.RemotePort(client.slot), qint32(client.socket.localPort()));
    }
    QCOMPARE(host.pool.ActiveClients(), 3);

    clients[0]->socket.write("hello");
    for (const auto& client : clients)
        QTRY_COMPARE(client->received, QByteArray("hello"));
    QCOMPARE(host.arrived.value(1), QByteArray("hello"));
    QCOMPARE(host.pool.BytesReceived(), 5);

    // The middle client leaves; the next one takes its slot and the array does not grow.
    clients[1]->socket.disconnectFromHost();
    QTRY_COMPARE(host.pool.ActiveClients(), 2);
    Clients late = connectGreeted(host.port, 1);
    QCOMPARE(late.size(), 1u);
    QCOMPARE(late[0]->slot, 2);
    QCOMPARE(host.pool.RemotePort(2), qint32(late[0]->socket.localPort()));
    QCOMPARE(host.pool.SocketCount(), 3);
    QCOMPARE(host.pool.ActiveClients(), 3);

    // The host hangs up on a client: it sees its stream end, and one ConnectionClosed is raised.
    QVERIFY(host.pool.CloseClient(3));
    QTRY_VERIFY_WITH_TIMEOUT(clients[2]->ended(), 1000);
    QCOMPARE(host.count("closed 3"), 1);
    QCOMPARE(host.pool.ActiveClients(), 2);
    QVERIFY(host.failures.empty());
}

void TcpConnectionsTest::orderlyCloseAndResetTakeDifferentPaths() {
    RelayHost host;
    QVERIFY(host.start());

    Clients leaving = connectGreeted(host.port, 1);
    QCOMPARE(leaving.size(), 1u);
    leaving[0]->socket.disconnectFromHost(); // FIN, nothing unread
    QTRY_COMPARE(host.count("closed 1"), 1);
    QCOMPARE(host.activeAtClose, QList<qint32>{1}); // still counted inside the handler
    QCOMPARE(host.pool.ActiveClients(), 0);
    QVERIFY(host.failures.empty());

    RawClient resetting(host.port);
    QVERIFY(resetting.established());
    QTRY_COMPARE(host.pool.ActiveClients(), 1);
    resetting.reset();
    QTRY_COMPARE(host.failures.size(), 1u);
    const RelayHost::Failure& failure = host.failures.front();
    QCOMPARE(failure.index, 1);
    QCOMPARE(failure.number, ECONNRESET);
    QCOMPARE(failure.description, QString::fromLocal8Bit(std::strerror(ECONNRESET)));
    QVERIFY(!failure.source.isEmpty());
    QCOMPARE(host.count("closed 1"), 1); // only the orderly one
    QCOMPARE(host.pool.ActiveClients(), 0);

    // With errors recorded instead of raised, a reset lands in LastError and nothing is raised.
    host.pool.setRaiseErrors(false);
    RawClient quiet(host.port);
    QTRY_COMPARE(host.pool.ActiveClients(), 1);
    quiet.reset();
    QTRY_COMPARE(host.pool.ActiveClients(), 0);
    QCOMPARE(host.pool.LastError(), failure.description);
    QCOMPARE(host.failures.size(), 1u);
    QCOMPARE(host.count("closed 1"), 1);
    QCOMPARE(host.pool.SocketCount(), 1); // the slot stayed, free for the next client
}

void TcpConnectionsTest::dataFollowedByEndOfStreamArrivesFirst() {
    RelayHost host;
    QVERIFY(host.start());
    RawClient client(host.port);
    QTRY_COMPARE(host.pool.ActiveClients(), 1);
    QVERIFY(client.write("bye\r\n"));
    client.endStream();
    QTRY_COMPARE(host.count("closed 1"), 1);
    QCOMPARE(host.log, (QStringList{"new 1", "data 1", "closed 1"}));
    QCOMPARE(host.arrived.value(1), QByteArray("bye\r\n"));
    QVERIFY(host.failures.empty());
    QCOMPARE(host.pool.ActiveClients(), 0);
    // The half-closed client still reads: greeting and echo, then the server's end of stream.
    QByteArray got;
    QVERIFY(waitUntil([&] { return client.drain(got); }, kWait));
    QCOMPARE(got, QByteArray(":ID:1bye\r\n"));
}

void TcpConnectionsTest::clientsGoneBeforeTheirGreetingAreNotCounted() {
    RelayHost host;
    QVERIFY(host.start());
    // Both leave while still in the listen backlog: the pool accepts them and greets a peer
    // that is no longer there.
    {
        RawClient resetAtOnce(host.port);
        QVERIFY(resetAtOnce.established());
        resetAtOnce.reset();
    }
    QTRY_VERIFY(host.count("new 1") == 1 && host.pool.socketAt(1)->state() == StateClosed);
    QTest::qWait(50); // let any late notification of that connection show
    QCOMPARE(host.pool.ActiveClients(), 0);
    QCOMPARE(host.failures.size() + size_t(host.count("closed 1")), 1u);

    {
        RawClient leaveAtOnce(host.port);
        QVERIFY(leaveAtOnce.established());
    } // an orderly close
    QTRY_COMPARE(host.count("new 1"), 2);
    QTRY_COMPARE(host.pool.socketAt(1)->state(), int(StateClosed));
    QTest::qWait(50);
    QCOMPARE(host.pool.ActiveClients(), 0);
    QCOMPARE(host.pool.SocketCount(), 1);

    // The slot serves the next client normally.
    Clients next = connectGreeted(host.port, 1);
    QCOMPARE(next.size(), 1u);
    QCOMPARE(next[0]->slot, 1);
    QCOMPARE(host.pool.ActiveClients(), 1);
}

void TcpConnectionsTest::refusedClientsAreHungUpAtOnce() {
    {
        RelayHost closedDoor(0);
        QVERIFY(closedDoor.start());
        ChatClient refused(closedDoor.port);
        QTRY_VERIFY_WITH_TIMEOUT(refused.ended(), 1000);
        QVERIFY(refused.received.isEmpty());
        QVERIFY(closedDoor.log.isEmpty());
        QCOMPARE(closedDoor.pool.SocketCount(), 0);
    }

    RelayHost host(2);
    QVERIFY(host.start());
    Clients members = connectGreeted(host.port, 2);
    QCOMPARE(members.size(), 2u);
    ChatClient refused(host.port);
    QTRY_VERIFY_WITH_TIMEOUT(refused.ended(), 1000);
    QVERIFY(refused.received.isEmpty());
    RawClient rawRefused(host.port);
    QVERIFY(rawRefused.established());
    QByteArray nothing;
    QVERIFY(waitUntil([&] { return rawRefused.drain(nothing); }, 1000));
    QVERIFY(nothing.isEmpty());
    QCOMPARE(host.pool.ActiveClients(), 2);
    QCOMPARE(host.pool.SocketCount(), 2);
    for (const auto& member : members)
        QCOMPARE(member->socket.state(), QAbstractSocket::ConnectedState);

    // Once one leaves, the next request is taken into the freed slot.
    members[0]->socket.disconnectFromHost();
    QTRY_COMPARE(host.pool.ActiveClients(), 1);
    Clients next = connectGreeted(host.port, 1);
    QCOMPARE(next.size(), 1u);
    QCOMPARE(next[0]->slot, 1);
    QCOMPARE(host.count("new 1"), 2);
}

void TcpConnectionsTest::burstNeverPassesTheClientLimit() {
    RelayHost host(10);
    QVERIFY(host.start());
    Clients burst;
    for (int i = 0; i < 50; ++i)
        burst.push_back(std::make_unique<ChatClient>(host.port));
    const auto settled = [&] {
        return std::count_if(burst.begin(), burst.end(), [](const auto& c) {
                   return c->ended() || c->received.startsWith(":ID:");
               }) == 50;
    };
    QVERIFY2(waitUntil(settled, kWait), "every client is either greeted or hung up");
    QTest::qWait(200); // nothing may be accepted late

    QList<qint32> greetedSlots;
    int hungUp = 0;
    for (const auto& client : burst) {
        if (client->takeGreeting()) {
            greetedSlots << client->slot;
            QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
        } else {
            QVERIFY(client->ended());
            QVERIFY(client->received.isEmpty());
            ++hungUp;
        }
    }
    std::sort(greetedSlots.begin(), greetedSlots.end());
    QCOMPARE(greetedSlots, (QList<qint32>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    QCOMPARE(hungUp, 40);
    QCOMPARE(host.pool.ActiveClients(), 10);
    QCOMPARE(host.pool.SocketCount(), 10);
    QCOMPARE(host.log.filter(QStringLiteral("new ")).size(), 10);
    QVERIFY(host.failures.empty());
}

void TcpConnectionsTest::portInUseFailsAndRestartWorks() {
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    RelayHost host;
    host.port = squatter.serverPort();
    host.pool.setLocalPort(host.port);

    host.pool.setRaiseErrors(false);
    host.pool.setLastError("earlier");
    QVERIFY(!host.pool.StartListening());
    QVERIFY(!host.pool.LastError().isEmpty());
    QVERIFY(host.pool.LastError() != "earlier");
    QCOMPARE(host.pool.socketAt(0)->state(), int(StateClosed));

    host.pool.setRaiseErrors(true);
    host.pool.setLastError("earlier");
    bool raised = false;
    try {
        host.pool.StartListening();
    } catch (const PoolError& failure) {
        raised = true;
        QVERIFY(!failure.info().description.isEmpty());
        QCOMPARE(failure.info().number, qint32(EADDRINUSE));
    }
    QVERIFY(raised);
    QCOMPARE(host.pool.LastError(), QStringLiteral("earlier"));

    squatter.close();
    QVERIFY(host.pool.StartListening());
    Clients first = connectGreeted(host.port, 2);
    QCOMPARE(first.size(), 2u);

    QVERIFY(host.pool.Shutdown());
    QCOMPARE(host.log.filter("closed").size(), 2);
    QCOMPARE(host.pool.SocketCount(), 0);
    QCOMPARE(host.pool.ActiveClients(), 0);
    for (const auto& client : first)
        QTRY_VERIFY_WITH_TIMEOUT(client->ended(), 1000);
    ChatClient whileDown(host.port);
    QTRY_VERIFY_WITH_TIMEOUT(whileDown.ended(), 1000);
    QVERIFY(whileDown.received.isEmpty());

    // Restart on the same port at once: the slots start again from 1.
    QVERIFY(host.pool.StartListening());
    Clients second = connectGreeted(host.port, 1);
    QCOMPARE(second.size(), 1u);
    QCOMPARE(second[0]->slot, 1);
    QVERIFY(host.failures.empty());
}

void TcpConnectionsTest::listensWhereItIsTold_data() {
    QTest::addColumn<QHostAddress>("listen");
    QTest::addColumn<QHostAddress>("client"); // null: nothing may listen
    QTest::newRow("any IPv6, as any")         // once IPv4 alone
        << QHostAddress(QHostAddress::AnyIPv6) << QHostAddress(QHostAddress::LocalHostIPv6);
    QTest::newRow("null") << QHostAddress() << QHostAddress();
    QTest::newRow("unparsable") << QHostAddress(QStringLiteral("not an address")) << QHostAddress();
    QHostAddress linkLocal;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.isLinkLocal() && address.protocol() == QAbstractSocket::IPv6Protocol)
            linkLocal = address;
    if (!linkLocal.isNull())
        QTest::newRow("link-local keeps its interface") << linkLocal << linkLocal;
}

void TcpConnectionsTest::listensWhereItIsTold() {
    QFETCH(QHostAddress, listen);
    QFETCH(QHostAddress, client);
    ZeviderUrive pool{std::make_unique<TcpSocketLayer>(listen)};
    pool.setLocalPort(freeLoopbackPort());
    pool.setRaiseErrors(false);
    QCOMPARE(pool.StartListening(), !client.isNull());
    QCOMPARE(pool.Listening(), !client.isNull());
    if (client.isNull()) {
        QCOMPARE(pool.LastError(), QStringLiteral("Invalid listen address"));
        return;
    }
    QTcpSocket peer;
    peer.connectToHost(client, static_cast<quint16>(pool.LocalPort()));
    QVERIFY2(peer.waitForConnected(kWait), qPrintable(peer.errorString()));
}

QTEST_GUILESS_MAIN(TcpConnectionsTest)
#include "tst_tcp_connections.moc"
