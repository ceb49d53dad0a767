// The event loop's dispatcher on its own: notifiers switched off and on, descriptors that close,
// nested passes, timers, wake-ups from other threads and the window system's follower.
#include "EpollDispatcher.h"
#include "WaitUntil.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace talkmere;
using talkmere::testing::waitUntil;

namespace {

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd) == 0); }
    ~Pair() {
        closeEnd();
        ::close(fd[1]);
    }
    void closeEnd() { ::close(std::exchange(fd[0], -1)); }
    void send() const { QCOMPARE(::write(fd[1], "x", 1), 1); }
};

// A reader that takes what came, so that it is told once per write.
std::unique_ptr<QSocketNotifier> reader(int fd, int& fired) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [fd, &fired] {
        char byte;
        while (::read(fd, &byte, 1) == 1) {
        }
        ++fired;
    });
    return notifier;
}

// Counts the waits of an event loop run for `milliseconds`: a descriptor that ends every wait at
// once shows as hundreds.
int waitsIn(int milliseconds) {
    int waits = 0;
    const auto counting =
        QObject::connect(QAbstractEventDispatcher::instance(),
                         &QAbstractEventDispatcher::aboutToBlock, [&] { ++waits; });
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counting);
    return waits;
}

// Stands in for the window system's dispatcher: counts the passes it is given.
struct Follower : QAbstractEventDispatcher {
    int passes = 0;
    bool processEvents(QEventLoop::ProcessEventsFlags) override { return ++passes, false; }
    void registerSocketNotifier(QSocketNotifier*) override {}
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, qint64, Qt::TimerType, QObject*) override {}
    bool unregisterTimer(int) override { return false; }
    bool unregisterTimers(QObject*) override { return false; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
};

} // namespace

class EpollDispatcherTest : public QObject {
    Q_OBJECT
private slots:
    // Off, a reader hears nothing however often its descriptor is reported, and a wait does not
    // spin on it; on again, it hears what came meanwhile, once.
    void aReaderSwitchedOffHearsNothingUntilOn() {
        Pair pair;
        int fired = 0;
        const auto notifier = reader(pair.fd[0], fired);
        pair.send();
        QVERIFY(waitUntil([&] { return fired == 1; }, 2000));
        notifier->setEnabled(false);
        pair.send();
        QVERIFY2(waitsIn(100) < 20, "a wait spun on a notifier switched off");
        for (int pass = 0; pass < 100; ++pass)
            QCoreApplication::processEvents();
        QCOMPARE(fired, 1);
        notifier->setEnabled(true);
        QVERIFY(waitUntil([&] { return fired == 2; }, 2000));
        QCoreApplication::processEvents();
        QCOMPARE(fired, 2);
    }

    // A descriptor closed while its notifier was off, old notifier kept or deleted, is watched
    // afresh for whoever gets its number next; one closed while a copy keeps it open does not
    // make the loop spin, and the others are still heard.
    void closedDescriptorsAreWatchedAfresh_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("old notifier kept") << 0;
        QTest::newRow("old notifier deleted") << 1;
        QTest::newRow("descriptor open elsewhere") << 2;
    }
    void closedDescriptorsAreWatchedAfresh() {
        QFETCH(int, how);
        auto old = std::make_unique<Pair>();
        int oldFired = 0;
        auto oldNotifier = reader(old->fd[0], oldFired);
        const int copy = how == 2 ? ::dup(old->fd[0]) : -1;
        oldNotifier->setEnabled(false);
        if (how == 1)
            oldNotifier.reset();
        const int number = old->fd[0];
        old->closeEnd();
        if (how == 2) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("closed descriptor"));
            old->send();
            QVERIFY2(waitsIn(100) < 20, "a wait spun on a descriptor closed here");
        }
        Pair next;
        QVERIFY(how == 2 || next.fd[0] == number);
        int fired = 0;
        const auto notifier = reader(next.fd[0], fired);
        next.send();
        QVERIFY(waitUntil([&] { return fired == 1; }, 2000));
        QCOMPARE(oldFired, 0);
        if (copy >= 0)
            ::close(copy);
    }

    // Ready together: a notifier switched off by an earlier one's handler is not told, and a
    // handler's own pass (a yield) tells the others, each once.
    void aPassTellsEachReadyNotifierOnce_data() {
        QTest::addColumn<bool>("switchOff");
        QTest::newRow("the first switches the second off") << true;
        QTest::newRow("the first yields") << false;
    }
    void aPassTellsEachReadyNotifierOnce() {
        QFETCH(bool, switchOff);
        Pair a, b;
        int firedA = 0, firedB = 0;
        const auto notifierA = reader(a.fd[0], firedA);
        const auto notifierB = reader(b.fd[0], firedB);
        for (QSocketNotifier* n : {notifierA.get(), notifierB.get()})
            connect(n, &QSocketNotifier::activated, this, [&, n] {
                QSocketNotifier* other = n == notifierA.get() ? notifierB.get() : notifierA.get();
                if (firedA + firedB > 1)
                    return;
                if (switchOff)
                    other->setEnabled(false);
                else
                    QCoreApplication::processEvents();
            });
        a.send();
        b.send();
        QVERIFY(waitUntil([&] { return firedA + firedB >= 1; }, 2000));
        QCoreApplication::processEvents();
        QCOMPARE(firedA + firedB, switchOff ? 1 : 2);
    }

    // Timers fire in the order they are due, never inside their own handler, and not once
    // stopped by an earlier one.
    void timersFireInOrderAndNotInsideThemselves() {
        QStringList order;
        QTimer late, stopped, repeating;
        late.setSingleShot(true);
        stopped.setSingleShot(true);
        connect(&late, &QTimer::timeout, [&] { order << "40"; });
        connect(&stopped, &QTimer::timeout, [&] { order << "stopped"; });
        QTimer::singleShot(20, [&] { order << "20"; });
        QTimer::singleShot(10, [&] {
            order << "10";
            stopped.stop();
        });
        late.start(40);
        stopped.start(10);
        int depth = 0, deepest = 0;
        connect(&repeating, &QTimer::timeout, [&] {
            deepest = std::max(deepest, ++depth);
            QCoreApplication::processEvents();
            --depth;
        });
        repeating.start(0);
        QTimer waiting;
        waiting.start(1000);
        QVERIFY(waitUntil([&] { return order.size() == 3; }, 2000));
        QCOMPARE(order, QStringList({"10", "20", "40"}));
        QCOMPARE(deepest, 1);
        QVERIFY(waiting.remainingTime() > 0 && waiting.remainingTime() <= 1000);
    }

    // A call posted from another thread ends a wait with no timer in sight; the follower is
    // given the passes that were woken, not the others.
    void wakeUpsEndWaitsAndBringTheFollower() {
        auto* dispatcher = qobject_cast<EpollDispatcher*>(QAbstractEventDispatcher::instance());
        QVERIFY(dispatcher);
        auto* follower = new Follower;
        dispatcher->follow(follower);
        QCoreApplication::processEvents();
        const int before = follower->passes;
        QCoreApplication::processEvents();
        QCOMPARE(follower->passes, before);

        QEventLoop loop;
        QTimer safety; // ends the wait below if the wake-up does not
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
        QVERIFY(follower->passes > before);
        dispatcher->follow(nullptr);
    }
};

QTEST_GUILESS_MAIN(EpollDispatcherTest)
#include "tst_epoll_dispatcher.moc"
