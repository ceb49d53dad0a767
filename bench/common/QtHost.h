#pragma once

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace bench {

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

// What every Qt bench host starts with: its command line (help, --port and its own options),
// stopping on a signal, and saying where it listens.
class HostStart {
public:
    HostStart(const QString& description, const QList<QCommandLineOption>& options) {
        parser.setApplicationDescription(description);
        parser.addHelpOption();
        parser.addOption({"port", "Loopback port to listen on.", "port", "20100"});
        parser.addOptions(options);
        parser.process(*QCoreApplication::instance());
    }
    bool ok() const { return quitOnSignal_.ok(); }
    qint32 port() const { return parser.value("port").toInt(); }

    // On standard output once listening (run-benchmarks.sh reads the host's log), else an error.
    bool announce(bool listening, const char* what) const {
        if (!listening) {
            std::fprintf(stderr, "cannot listen on port %d\n", port());
            return false;
        }
        std::printf("listening on 127.0.0.1:%d (%s)\n", port(), what);
        std::fflush(stdout);
        return true;
    }

    QCommandLineParser parser;

private:
    QuitOnSignal quitOnSignal_;
};

} // namespace bench
