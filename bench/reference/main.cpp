// talkmere-reference-relay: a minimal epoll relay to compare the real server against.

#include "../common/options.h"
#include "reference_relay.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 100;
    int maxClients = 10;
    bool floor = false;
    bench::OptionTable t("talkmere-reference-relay",
                         "usage: talkmere-reference-relay [--port PORT] [--bind ADDRESS] "
                         "[--max-clients N] [--floor]",
                         21);
    t.value("--port", "PORT", "port to listen on; 0 picks a free one (default 100)",
            bench::number(port));
    t.value("--bind", "ADDRESS", "IPv4 address to listen on (default 127.0.0.1)",
            bench::text(bindAddress, true));
    t.value("--max-clients", "N", "clients served at once; more are closed on accept (default 10)",
            bench::number(maxClients, 1, 10000));
    t.flag("--floor", "after every write, one zero-timeout epoll_wait (a yield per send)", floor);
    if (const auto status = t.parse(argc, argv)) {
        return *status;
    }
    std::signal(SIGPIPE, SIG_IGN);

    ReferenceRelay relay(bindAddress, port, maxClients, floor);
    std::string error;
    if (!relay.listen(error)) {
        std::fprintf(stderr, "talkmere-reference-relay: %s\n", error.c_str());
        return 2;
    }
    std::printf("talkmere-reference-relay: listening on %s:%u, up to %d clients%s\n",
                bindAddress.c_str(), static_cast<unsigned>(relay.boundPort()), maxClients,
                floor ? ", a yield after every write" : "");
    std::fflush(stdout);
    error = relay.run();
    std::fprintf(stderr, "talkmere-reference-relay: %s\n", error.c_str());
    return 2;
}
