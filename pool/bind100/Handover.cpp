#include "Handover.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace talkmere::handover {

namespace {

union Control { // aligned as a control message must be
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(int))];
};

} // namespace

bool send(int channel, int descriptor, int error) {
    iovec part{&error, sizeof error};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    Control control{};
    if (error == 0) {
        message.msg_control = control.bytes;
        message.msg_controllen = sizeof control.bytes;
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &descriptor, sizeof(int));
    }
    ssize_t sent;
    do
        sent = ::sendmsg(channel, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof error);
}

int receive(int channel, int& error) {
    int reported = 0;
    iovec part{&reported, sizeof reported};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    Control control{};
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    ssize_t got;
    do
        got = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = errno;
        return -1;
    }
    int descriptor = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&descriptor, CMSG_DATA(c), sizeof(int));
    }
    const bool whole = got == static_cast<ssize_t>(sizeof reported) &&
                       !(message.msg_flags & MSG_CTRUNC) && (reported == 0) == (descriptor >= 0);
    if (whole && reported == 0)
        return descriptor;
    if (descriptor >= 0)
        ::close(descriptor);
    error = whole ? reported : EPROTO;
    return -1;
}

} // namespace talkmere::handover
