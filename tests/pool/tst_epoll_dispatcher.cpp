// The event loop's dispatcher on its own: notifiers switched off and on, descriptors that close,
// nested passes, timers, wake-ups from other threads and the window system's follower.
#include "EpollDispatcher.h"
#include "WaitUntil.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QtTest>

#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace talkmere;
using talkmere::testing::waitUntil;

namespace {

// A socket pair whose first end is read by a notifier that takes what came: told once a write.
struct Watched {
    int fd[2] = {-1, -1};
    int fired = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    Watched() {
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd) == 0);
        notifier = std::make_unique<QSocketNotifier>(fd[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] {
            for (char byte; ::read(fd[0], &byte, 1) == 1;) {
            }
            ++fired;
        });
    }
    ~Watched() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void send() const { QCOMPARE(::write(fd[1], "x", 1), 1); }
};

// The waits of an event loop run for `milliseconds`: a descriptor that ends every wait at once
// shows as hundreds.
int waitsIn(int milliseconds) {
    QSignalSpy waits(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock);
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    return static_cast<int>(waits.count());
}

} // namespace

class EpollDispatcherTest : public QObject {
    Q_OBJECT
private slots:
    // Off, a reader hears nothing however often its descriptor is reported, and a wait does not
    // spin on it; on again, it hears what came meanwhile, once.
    void aReaderSwitchedOffHearsNothingUntilOn() {
        Watched pair;
        pair.send();
        QVERIFY(waitUntil([&] { return pair.fired == 1; }, 2000));
        pair.notifier->setEnabled(false);
        pair.send();
        QVERIFY2(waitsIn(100) < 20, "a wait spun on a notifier switched off");
        for (int pass = 0; pass < 100; ++pass)
            QCoreApplication::processEvents();
        QCOMPARE(pair.fired, 1);
        pair.notifier->setEnabled(true);
        QVERIFY(waitUntil([&] { return pair.fired == 2; }, 2000));
        QCoreApplication::processEvents();
        QCOMPARE(pair.fired, 2);
    }

    // A descriptor closed while its notifier was off, the notifier kept or deleted, is watched
    // afresh for whoever gets its number next; one closed while a copy keeps it open does not
    // make the loop spin.
    void closedDescriptorsAreWatchedAfresh_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("notifier kept") << 0;
        QTest::newRow("notifier deleted") << 1;
        QTest::newRow("descriptor open elsewhere") << 2;
    }
    void closedDescriptorsAreWatchedAfresh() {
        QFETCH(int, how);
        auto old = std::make_unique<Watched>();
        const int number = old->fd[0];
        const int copy = how == 2 ? ::dup(number) : -1;
        old->notifier->setEnabled(false);
        if (how == 1)
            old->notifier.reset();
        ::close(std::exchange(old->fd[0], -1));
        if (how == 2) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("closed descriptor"));
            old->send();
            QVERIFY2(waitsIn(100) < 20, "a wait spun on a descriptor closed here");
        }
        Watched next;
        QVERIFY(how == 2 || next.fd[0] == number);
        next.send();
        QVERIFY(waitUntil([&] { return next.fired == 1; }, 2000));
        QCOMPARE(old->fired, 0);
        if (copy >= 0)
            ::close(copy);
    }

    // Ready together: one switched off by the other's handler is not told, and a handler's own
    // pass (a yield) tells the other, each once.
    void aPassTellsEachReadyNotifierOnce_data() {
        QTest::addColumn<bool>("switchOff");
        QTest::newRow("the first switches the other off") << true;
        QTest::newRow("the first yields") << false;
    }
    void aPassTellsEachReadyNotifierOnce() {
        QFETCH(bool, switchOff);
        Watched a, b;
        for (auto [self, other] : {std::pair{&a, &b}, std::pair{&b, &a}})
            connect(self->notifier.get(), &QSocketNotifier::activated, this, [&, other = other] {
                if (a.fired + b.fired > 1)
                    return;
                if (switchOff)
                    other->notifier->setEnabled(false);
                else
                    QCoreApplication::processEvents();
            });
        a.send();
        b.send();
        QVERIFY(waitUntil([&] { return a.fired + b.fired >= 1; }, 2000));
        QCoreApplication::processEvents();
        QCOMPARE(a.fired + b.fired, switchOff ? 1 : 2);
    }

    // Timers fire in the order they are due, never inside their own handler, and not once
    // stopped by an earlier one.
    void timersFireInOrderAndNotInsideThemselves() {
        QStringList order;
        QTimer stopped, repeating;
        stopped.setSingleShot(true);
        connect(&stopped, &QTimer::timeout, [&] { order << "stopped"; });
        QTimer::singleShot(40, [&] { order << "40"; });
        QTimer::singleShot(20, [&] { order << "20"; });
        QTimer::singleShot(10, [&] {
            order << "10";
            stopped.stop();
        });
        stopped.start(10);
        int depth = 0, deepest = 0;
        connect(&repeating, &QTimer::timeout, [&] {
            deepest = std::max(deepest, ++depth);
            QCoreApplication::processEvents();
            --depth;
        });
        repeating.start(0);
        QVERIFY(waitUntil([&] { return order.size() == 3; }, 2000));
        QCOMPARE(order, QStringList({"10", "20", "40"}));
        QCOMPARE(deepest, 1);
    }

    // A call posted from another thread ends a wait with no timer due; the follower is given the
    // passes that were woken, not the others.
    void wakeUpsEndWaitsAndBringTheFollower() {
        auto* dispatcher = qobject_cast<EpollDispatcher*>(QAbstractEventDispatcher::instance());
        QVERIFY(dispatcher);
        auto* follower = new EpollDispatcher;
        QSignalSpy followed(follower, &QAbstractEventDispatcher::awake);
        dispatcher->follow(follower);
        QCoreApplication::processEvents();
        followed.clear();
        QCoreApplication::processEvents();
        QCOMPARE(followed.count(), 0);

        QEventLoop loop;
        QTimer safety; // ends the wait if the wake-up does not
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, &loop, &QEventLoop::quit);
        safety.start(10000);
        std::thread poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        poster.join();
        QVERIFY(safety.isActive());
        QVERIFY(followed.count() > 0);
        dispatcher->follow(nullptr);
    }
};

QTEST_GUILESS_MAIN(EpollDispatcherTest)
#include "tst_epoll_dispatcher.moc"
