#pragma once

// What passes from the bind helper to the program that started it: one message on a socket pair,
// the system's error number (0 on success) and, on success, the listening descriptor with it.
// The C library only, like the helper itself.

namespace talkmere::handover {

inline constexpr int kPort = 100;
// The helper's end of the socket pair is its standard input: it takes nothing else.
inline constexpr int kChannel = 0;

// Sends `error`, and `descriptor` with it when `error` is 0; false when nothing could be sent.
bool send(int channel, int descriptor, int error);

// The descriptor that came, or -1 with `error` set: the helper's own error number, or EPROTO for
// a message that is not one.
int receive(int channel, int& error);

} // namespace talkmere::handover
