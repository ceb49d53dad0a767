// A window-system plugin of a local user's own, as anyone may point the program at through Qt's
// plugin paths. Loading it runs its code inside the program: it tries to bind a privileged port
// and says whether it could. It is no real plugin, so the program stops right after.
#include <QObject>
#include <QtPlugin>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int probed = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(99);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::fprintf(stderr, "bind probe: port 99: %s\n", result == 0 ? "bound" : std::strerror(errno));
    ::close(fd);
    return result;
}();

} // namespace

class BindProbe : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                          "bindprobe.json")
};

#include "bindprobe.moc"
