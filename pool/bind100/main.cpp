// talkmere-bind100: the one file that holds a privilege (cap_net_bind_service), so that the
// server, which holds none, can serve port 100. Whoever starts it and however, it does one thing:
// it opens the listener on TCP port 100 of every address, as the server opens its own, hands it
// over on its standard input (a socket pair from the server) and ends. It reads no argument, no
// environment and no file, and links the C library alone, so nothing can be loaded into it.

#include "Handover.h"
#include "ListenSocket.h"

#include <cerrno>

int main() {
    const int listener = talkmere::openAnyListener(talkmere::handover::kPort);
    const int error = listener < 0 ? errno : 0;
    const bool handed = talkmere::handover::send(talkmere::handover::kChannel, listener, error);
    return handed && error == 0 ? 0 : 1;
}
