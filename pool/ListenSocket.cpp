#include "ListenSocket.h"

#include <cerrno>
#include <netinet/in.h>
#include <unistd.h>

namespace talkmere {

int openListenerAt(const sockaddr* address, socklen_t length) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (address->sa_family == AF_INET6) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on); // a restart must not wait
    if (::bind(fd, address, length) == 0 && ::listen(fd, kListenBacklog) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

int openIPv4Listener(std::uint32_t address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return openListenerAt(reinterpret_cast<const sockaddr*>(&in), sizeof in);
}

int openAnyListener(std::uint16_t port) {
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(port);
    any6.sin6_addr = in6addr_any;
    const int fd = openListenerAt(reinterpret_cast<const sockaddr*>(&any6), sizeof any6);
    if (fd >= 0 || (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT))
        return fd;
    return openIPv4Listener(INADDR_ANY, port);
}

} // namespace talkmere
