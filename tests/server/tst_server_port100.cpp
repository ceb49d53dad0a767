// Port 100 as a normal user: the program binds nothing privileged itself, its bind helper opens
// the listener whatever it is started with, and the server starts on it, or fails as before.
// ctest runs this as nobody, with the build tree's helper granted its capability.
#include "BindHelper.h"
#include "ChatClient.h"
#include "ServerControl.h"
#include "TcpSocketLayer.h"
#include "WaitUntil.h"

#include <QFile>
#include <QTest>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <unistd.h>
#include <vector>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

QString helperPath() {
    return qEnvironmentVariable("TALKMERE_TEST_BIND_HELPER");
}

// Accepts connections from both families, as the program's own listener on every address does.
bool servesBothFamilies(int listener) {
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    int v6only = 1;
    socklen_t optionLength = sizeof v6only;
    return ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
           local.sin6_family == AF_INET6 && ntohs(local.sin6_port) == 100 &&
           ::getsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &optionLength) == 0 &&
           v6only == 0;
}

} // namespace

class Port100Test : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (::geteuid() == 0)
            QSKIP("runs as a normal user (ctest starts it as nobody)");
        QVERIFY2(QFile::exists(helperPath()), qPrintable(helperPath()));
        const int probe = bind_helper::listenOnPort100(helperPath());
        if (probe < 0 && errno == EACCES)
            QSKIP("the bind helper has no capability here (./run, or ctest as root, grants it)");
        QVERIFY2(probe >= 0, std::strerror(errno));
        ::close(probe);
    }

    void helperMakesNothingOfWhatItIsGiven_data() {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<QList<QByteArray>>("environment");
        QTest::newRow("plain") << QList<QByteArray>() << QList<QByteArray>();
        QTest::newRow("arguments")
            << QList<QByteArray>{"--port", "99", "-l", "127.0.0.2:22"} << QList<QByteArray>();
        QTest::newRow("environment") << QList<QByteArray>()
                                     << QList<QByteArray>{"LD_PRELOAD=/nonexistent/evil.so",
                                                          "LD_LIBRARY_PATH=/tmp",
                                                          "QT_PLUGIN_PATH=/tmp",
                                                          "QT_QPA_PLATFORM_PLUGIN_PATH=/tmp",
                                                          "GLIBC_TUNABLES=glibc.malloc.check=3",
                                                          "PORT=99"};
    }
    void helperMakesNothingOfWhatItIsGiven() {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(QList<QByteArray>, environment);
        QByteArray path = helperPath().toLocal8Bit();
        std::vector<char*> argv{path.data()};
        for (QByteArray& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (QByteArray& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        const int listener = bind_helper::listenOnPort100(helperPath(), argv.data(), envp.data());
        QVERIFY2(listener >= 0, std::strerror(errno));
        QVERIFY(servesBothFamilies(listener));
        // While it is held, the next request fails with the system's own word for it.
        QCOMPARE(bind_helper::listenOnPort100(helperPath()), -1);
        QCOMPARE(errno, EADDRINUSE);
        ::close(listener);
    }

    void serverStartsThroughTheHelperOrFailsAsBefore() {
        ServerControl::setPassword("pw");
        ServerControl server(std::make_unique<TcpSocketLayer>(QHostAddress::Any, helperPath()),
                             ServerControl::kPort);
        server.startServer();
        QVERIFY(server.online());
        ChatClient client(ServerControl::kPort);
        QVERIFY(waitUntil([&] { return client.received == ":ID:1pw"; }, kWait));
        server.stopServer();

        // Port 100 taken (by a listener of its own helper's), then no helper at all.
        const int taken = bind_helper::listenOnPort100(helperPath());
        QVERIFY(taken >= 0);
        server.startServer();
        ::close(taken);
        ServerControl helperless(
            std::make_unique<TcpSocketLayer>(QHostAddress::Any, helperPath() + ".missing"),
            ServerControl::kPort);
        helperless.startServer();
        for (ServerControl* failed : {&server, &helperless}) {
            QVERIFY(!failed->online());
            QCOMPARE(failed->log().line(failed->log().count() - 1), QByteArray("Start() failed"));
        }
        server.startServer(); // free again
        QVERIFY(server.online());
    }
};

QTEST_GUILESS_MAIN(Port100Test)
#include "tst_server_port100.moc"
