#pragma once

// How every listening socket of the server is made, by the program and by its bind helper alike.
// The C library only: the helper that shares it holds a privilege and must load nothing else.

#include <cstdint>
#include <sys/socket.h>

namespace talkmere {

inline constexpr int kListenBacklog = 50;

// A non-blocking listening descriptor bound to `address`, or -1 with errno set. An IPv6 address
// takes IPv4 clients too, where it can.
int openListenerAt(const sockaddr* address, socklen_t length);

// An IPv4 address (host byte order) alone.
int openIPv4Listener(std::uint32_t address, std::uint16_t port);

// Every address of both families on one socket, or of IPv4 alone where the host has no IPv6.
int openAnyListener(std::uint16_t port);

} // namespace talkmere
