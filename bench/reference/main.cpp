// talkmere-reference-relay: a minimal epoll relay to compare the real server against.

#include "reference_relay.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: talkmere-reference-relay [--port PORT] [--bind ADDRESS] [--max-clients N] [--floor]\n"
    "  --port PORT        port to listen on; 0 picks a free one (default 100)\n"
    "  --bind ADDRESS     IPv4 address to listen on (default 127.0.0.1)\n"
    "  --max-clients N    clients served at once; more are closed on accept (default 10)\n"
    "  --floor            after every write, one zero-timeout epoll_wait (a yield per send)\n";

template <typename T> bool parseNumber(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

} // namespace

int main(int argc, char** argv) {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 100;
    int maxClients = 10;
    bool floor = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--floor") {
            floor = true;
            continue;
        }
        const bool hasValue = i + 1 < argc;
        bool ok = hasValue;
        if (hasValue && arg == "--port") {
            ok = parseNumber(argv[++i], port);
        } else if (hasValue && arg == "--bind") {
            bindAddress = argv[++i];
        } else if (hasValue && arg == "--max-clients") {
            ok = parseNumber(argv[++i], maxClients) && maxClients >= 1 && maxClients <= 10000;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "talkmere-reference-relay: bad argument %s\n%s", argv[i], kUsage);
            return 1;
        }
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
