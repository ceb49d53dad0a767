#include "EpollDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace talkmere {

namespace {

constexpr int kReadyAtOnce = 64;
// What each type of notifier asks epoll for.
constexpr std::array<quint32, 3> kEvents{EPOLLIN, EPOLLOUT, EPOLLPRI};
// What each type of notifier is told of, as poll(2) reports it: a hang-up or an error is news to
// a reader and to a writer.
constexpr std::array<quint32, 3> kConcerns{EPOLLIN | EPOLLHUP | EPOLLERR,
                                           EPOLLOUT | EPOLLHUP | EPOLLERR, EPOLLPRI};
// A switched-off notifier reported this often in calls that do not wait is taken out of epoll:
// more than the yields of an answer to a room of ten, few enough that a notifier switched off for
// good is soon out of the way.
constexpr int kOffReports = 32;

quint32 epollEvents(const std::array<QSocketNotifier*, 3>& notifiers) {
    quint32 events = 0;
    for (size_t slot = 0; slot < notifiers.size(); ++slot)
        if (notifiers[slot])
            events |= kEvents[slot];
    return events;
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent), epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!valid())
        return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
        ::close(wake_);
        wake_ = -1;
    }
}

EpollDispatcher::~EpollDispatcher() {
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
}

bool EpollDispatcher::install() {
    auto* dispatcher = new EpollDispatcher;
    if (!dispatcher->valid()) {
        delete dispatcher;
        return false;
    }
    QCoreApplication::setEventDispatcher(dispatcher);
    return true;
}

void EpollDispatcher::follow(QAbstractEventDispatcher* platform) {
    delete platform_;
    platform_ = platform;
    if (platform_)
        platform_->setParent(this);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    interrupted_.store(false);
    emit awake();
    // Wake-ups from before this pass are served by it: posted events go out now, and a wake-up
    // from meanwhile keeps the wait below from blocking.
    bool woken = woken_.exchange(false);
    QCoreApplication::sendPostedEvents();

    const bool mayWait =
        flags.testFlag(QEventLoop::WaitForMoreEvents) && !interrupted_.load() && !woken_.load();
    if (mayWait)
        emit aboutToBlock();
    const bool notifiers = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    if (notifiers) {
        collectReady(waitTimeout(mayWait), woken);
    } else {
        // Ready descriptors would end every wait at once: wait for a wake-up or a timer only.
        pollfd wake{wake_, POLLIN, 0};
        if (::poll(&wake, 1, waitTimeout(mayWait)) > 0) {
            drainWake();
            woken = woken_.exchange(false) || woken;
        }
    }
    const int fired = flags.testFlag(QEventLoop::X11ExcludeTimers) ? 0 : activateTimers();
    const int ready = notifiers ? activatePending() : 0;
    bool followed = false;
    if (platform_ && woken)
        followed = platform_->processEvents(flags & ~QEventLoop::WaitForMoreEvents);
    return woken || ready > 0 || fired > 0 || followed;
}

int EpollDispatcher::waitTimeout(bool mayWait) const {
    if (!mayWait)
        return 0;
    if (timers_.empty())
        return -1;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (const Timer& timer : timers_)
        if (!timer.firing)
            next = std::min(next, timer.due);
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    // Rounded up: waking a little early would only wait again.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<qint64>(left, std::numeric_limits<int>::max()));
}

void EpollDispatcher::collectReady(int timeout, bool& woken) {
    std::array<epoll_event, kReadyAtOnce> events; // filled by the kernel, as far as it says
    const int count = ::epoll_wait(epoll_, events.data(), kReadyAtOnce, timeout);
    for (int i = 0; i < count; ++i) {
        const int fd = events[static_cast<size_t>(i)].data.fd;
        if (fd == wake_) {
            drainWake();
            woken = woken_.exchange(false) || woken;
            continue;
        }
        const auto found = watches_.find(fd);
        if (found == watches_.end()) {
            forget(fd);
            continue;
        }
        if (!queueReady(fd, found->second, events[static_cast<size_t>(i)].events, timeout != 0))
            watches_.erase(found);
    }
}

int EpollDispatcher::activatePending() {
    int activated = 0;
    // First come, first taken, by this pass or by one nested in a handler (a yield): a notifier
    // unregistered meanwhile has been nulled.
    while (!pending_.empty()) {
        QSocketNotifier* notifier = pending_.front();
        pending_.pop_front();
        if (!notifier)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

// Queues the notifiers that `got` concerns. What is watched for one switched off is taken out of
// epoll for real when a wait would end at once on it, when it keeps being reported, or when the
// notifier is gone. False when nothing watches the descriptor any more.
bool EpollDispatcher::queueReady(int fd, Watch& watch, quint32 got, bool blocking) {
    bool unwanted = false;
    for (size_t type = 0; type < kConcerns.size(); ++type) {
        if (!(got & kConcerns[type]) || !(watch.events & kEvents[type]))
            continue;
        if (watch.notifiers[type])
            queue(watch.notifiers[type]);
        else if (!watch.off[type] || blocking || ++watch.offReports > kOffReports)
            unwanted = true;
    }
    if (unwanted) {
        watch.off = {};
        watch.offReports = 0;
        rewatch(fd, watch);
    }
    return watch.events != 0;
}

// Once: one still pending from an outer pass is told once for what both passes found.
void EpollDispatcher::queue(QSocketNotifier* notifier) {
    if (std::find(pending_.begin(), pending_.end(), notifier) == pending_.end())
        pending_.push_back(notifier);
}

void EpollDispatcher::forget(int fd) {
    if (::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr) != 0)
        rebuild(); // reported for a descriptor closed and still open elsewhere
}

// Starts epoll afresh with what is watched now: the only way to drop a registration whose
// descriptor was closed while a copy of it (another process's, say) keeps it reporting.
void EpollDispatcher::rebuild() {
    qWarning("EpollDispatcher: a closed descriptor is still reported; watching afresh");
    const int fresh = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    if (fresh < 0 || ::epoll_ctl(fresh, EPOLL_CTL_ADD, wake_, &event) != 0) {
        if (fresh >= 0)
            ::close(fresh);
        return; // out of descriptors: the old set, with its one stale entry, goes on
    }
    ::close(std::exchange(epoll_, fresh));
    for (auto it = watches_.begin(); it != watches_.end();) {
        it->second.off = {};
        it->second.offReports = 0;
        it->second.events = 0;
        rewatch(it->first, it->second);
        it = it->second.events != 0 ? std::next(it) : watches_.erase(it);
    }
}

int EpollDispatcher::activateTimers() {
    if (timers_.empty())
        return 0;
    const Clock::time_point now = Clock::now();
    std::vector<int> due;
    for (const Timer& timer : timers_)
        if (!timer.firing && timer.due <= now)
            due.push_back(timer.id);
    int fired = 0;
    // Each due timer once per pass; one unregistered by an earlier handler is skipped.
    for (const int id : due) {
        auto found = findTimer(id);
        if (found == timers_.end() || found->firing || found->due > now) // gone, or its id reused
            continue;
        const auto interval = std::chrono::milliseconds(found->interval);
        found->due += interval;
        if (found->due <= now) // fell behind: no burst to catch up
            found->due = now + interval;
        found->firing = true;
        QObject* object = found->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        // The handler may have unregistered it, and registered others.
        found = findTimer(id);
        if (found != timers_.end())
            found->firing = false;
    }
    return fired;
}

void EpollDispatcher::drainWake() {
    quint64 count = 0;
    while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int fd = static_cast<int>(notifier->socket());
    const int type = notifier->type();
    if (fd < 0 || type < 0 || type > QSocketNotifier::Exception)
        return;
    const auto slot = static_cast<size_t>(type);
    Watch& watch = watches_[fd];
    if (watch.notifiers[slot])
        qWarning("EpollDispatcher: a second notifier for descriptor %d and type %d", fd, type);
    watch.notifiers[slot] = notifier;
    watch.offReports = 0;
    // Switched on again while still watched: nothing to tell the kernel. A notifier deleted
    // meanwhile is null here, so a new one at its address is not taken for it.
    if (std::exchange(watch.off[slot], nullptr) == notifier && (watch.events & kEvents[slot]))
        return;
    rewatch(fd, watch);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    std::replace(pending_.begin(), pending_.end(), notifier,
                 static_cast<QSocketNotifier*>(nullptr));
    const int fd = static_cast<int>(notifier->socket());
    const auto found = watches_.find(fd);
    if (found == watches_.end())
        return;
    // Switched off, and left in epoll until it is reported: a reader waiting for an answer is
    // switched off and on again at every arrival, mostly with nothing to read meanwhile.
    for (size_t slot = 0; slot < found->second.notifiers.size(); ++slot)
        if (found->second.notifiers[slot] == notifier) {
            found->second.notifiers[slot] = nullptr;
            found->second.off[slot] = notifier;
        }
}

// Tells epoll what the descriptor's notifiers want now, the ones switched off but left in
// included. A registration gone with its descriptor's closing is made afresh.
void EpollDispatcher::rewatch(int fd, Watch& watch) {
    quint32 wanted = epollEvents(watch.notifiers);
    for (size_t slot = 0; slot < watch.off.size(); ++slot)
        if (watch.off[slot])
            wanted |= kEvents[slot];
    epoll_event event{};
    event.events = wanted;
    event.data.fd = fd;
    if (watch.events != 0) {
        const int op = wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
        if (::epoll_ctl(epoll_, op, fd, &event) == 0) {
            watch.events = wanted;
            return;
        }
    }
    const bool added = wanted != 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    watch.events = added ? wanted : 0;
    if (wanted != 0 && !added)
        qWarning("EpollDispatcher: descriptor %d cannot be watched: errno %d", fd, errno);
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                    QObject* object) {
    Timer timer;
    timer.id = timerId;
    timer.interval = std::max<qint64>(interval, 0);
    timer.type = timerType;
    timer.object = object;
    timer.due = Clock::now() + std::chrono::milliseconds(timer.interval);
    timers_.push_back(timer);
}

bool EpollDispatcher::unregisterTimer(int timerId) {
    return std::erase_if(timers_, [timerId](const Timer& timer) { return timer.id == timerId; }) >
           0;
}

bool EpollDispatcher::unregisterTimers(QObject* object) {
    return std::erase_if(timers_, [object](const Timer& timer) { return timer.object == object; }) >
           0;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> found;
    for (const Timer& timer : timers_)
        if (timer.object == object)
            found.append(TimerInfo(timer.id, static_cast<int>(timer.interval), timer.type));
    return found;
}

int EpollDispatcher::remainingTime(int timerId) {
    const auto found = findTimer(timerId);
    if (found == timers_.end())
        return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(found->due - Clock::now()).count();
    return static_cast<int>(std::clamp<qint64>(left, 0, std::numeric_limits<int>::max()));
}

std::vector<EpollDispatcher::Timer>::iterator EpollDispatcher::findTimer(int timerId) {
    return std::find_if(timers_.begin(), timers_.end(),
                        [timerId](const Timer& timer) { return timer.id == timerId; });
}

void EpollDispatcher::wakeUp() {
    if (woken_.exchange(true))
        return;
    const quint64 one = 1;
    while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EpollDispatcher::interrupt() {
    interrupted_.store(true);
    wakeUp();
}

} // namespace talkmere
