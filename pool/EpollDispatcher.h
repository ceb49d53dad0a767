#pragma once

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <unordered_map>
#include <vector>

namespace talkmere {

// The main thread's event dispatcher, on epoll. A yield after every send asks the kernel once:
// the descriptors stay registered between calls instead of being handed over at every wait, and
// a call with nothing due costs one epoll_wait. What a pass runs, and in which order, is Qt's
// plain UNIX dispatcher's: posted events, then the timers that are due, then the descriptors that
// are ready. Timers keep the precision they ask for at best; a coarse one fires on time. A
// notifier switched off stays in epoll until it is reported, so that the answer gate's switching
// every other reader off and on again costs no system call.
class EpollDispatcher final : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;

    // Installs one for the main thread; call before the application object exists. Returns
    // false (and installs nothing) when the system refuses epoll or eventfd.
    static bool install();

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

    // Takes `platform` over; it is given no descriptor and no timer of its own.
    void follow(QAbstractEventDispatcher* platform);

    bool valid() const { return epoll_ >= 0 && wake_ >= 0; }

private:
    using Clock = std::chrono::steady_clock;

    struct Watch {
        std::array<QSocketNotifier*, 3> notifiers{}; // by QSocketNotifier::Type
        // Switched off but still in epoll, until reported (see unregisterSocketNotifier).
        std::array<QPointer<QSocketNotifier>, 3> off{};
        int offReports = 0;
        quint32 events = 0; // what epoll watches for it; 0: not in epoll
    };
    struct Timer {
        int id = 0;
        qint64 interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        Clock::time_point due;
        bool firing = false; // its handler is on the stack: not fired again inside it
    };

    void rewatch(int fd, Watch& watch);
    int waitTimeout(bool mayWait) const;
    void collectReady(int timeout, bool& woken);
    int activatePending();
    bool queueReady(int fd, Watch& watch, quint32 got, bool blocking);
    void queue(QSocketNotifier* notifier);
    void forget(int fd);
    void rebuild();
    int activateTimers();
    std::vector<Timer>::iterator findTimer(int timerId);
    void drainWake();

    int epoll_ = -1;
    int wake_ = -1; // eventfd: wakeUp() from any thread
    std::atomic<bool> woken_{false};
    std::atomic<bool> interrupted_{false};
    QAbstractEventDispatcher* platform_ = nullptr;
    std::unordered_map<int, Watch> watches_;
    std::vector<Timer> timers_;
    // Notifiers found ready and not yet activated; one unregistered meanwhile is nulled.
    std::deque<QSocketNotifier*> pending_;
};

} // namespace talkmere
