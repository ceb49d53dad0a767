#pragma once

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace talkmere::bench {

// SIGINT and SIGTERM end the event loop cleanly, so a host can report its figures when stopped.
class QuitOnSignal {
public:
    QuitOnSignal() {
        if (::pipe(pipe_) != 0)
            return;
        writeEnd() = pipe_[1];
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        notifier_ =
            new QSocketNotifier(pipe_[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier_, &QSocketNotifier::activated, QCoreApplication::instance(),
                         &QCoreApplication::quit);
    }
    bool ok() const { return notifier_ != nullptr; }

private:
    static int& writeEnd() {
        static int fd = -1;
        return fd;
    }
    static void onSignal(int) {
        const char byte = 1;
        [[maybe_unused]] auto ignored = ::write(writeEnd(), &byte, 1);
    }

    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace talkmere::bench
