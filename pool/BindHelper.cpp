#include "BindHelper.h"

#include "bind100/Handover.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace talkmere::bind_helper {

namespace {

// The helper answers at once; this only bounds how long a broken one can hold the window.
constexpr int kAnswerMs = 2000;

bool answered(int channel) {
    pollfd ready{channel, POLLIN, 0};
    int result;
    do
        result = ::poll(&ready, 1, kAnswerMs);
    while (result < 0 && errno == EINTR);
    return result > 0;
}

} // namespace

QString besideProgram() {
    return QCoreApplication::applicationDirPath() +
           QStringLiteral("/" TALKMERE_BIND_HELPER_FROM_BINDIR);
}

int listenOnPort100(const QString& path) {
    const QByteArray file = path.toLocal8Bit();
    char* const arguments[] = {const_cast<char*>(file.constData()), nullptr};
    char* const environment[] = {nullptr};
    return listenOnPort100(path, arguments, environment);
}

int listenOnPort100(const QString& path, char* const arguments[], char* const environment[]) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], handover::kChannel);
    pid_t helper = -1;
    const QByteArray file = path.toLocal8Bit();
    const int spawnError =
        ::posix_spawn(&helper, file.constData(), &actions, nullptr, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);

    int error = EACCES; // no helper, or no answer from it: the refusal stands
    int listener = -1;
    if (spawnError == 0) {
        if (answered(pair[0])) {
            int reported = 0;
            listener = handover::receive(pair[0], reported);
            if (listener < 0 && reported != EPROTO)
                error = reported;
        } else {
            ::kill(helper, SIGKILL);
        }
        while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(pair[0]);
    if (listener < 0)
        errno = error;
    return listener;
}

} // namespace talkmere::bind_helper
