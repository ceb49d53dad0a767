// talkmere-loadgen: connects N clients to a relay server and measures delivery throughput or
// fan-out latency with self-describing marker texts.

#include "../common/options.h"
#include "client_set.h"
#include "options.h"
#include "runs.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace bench;
    Options o;
    OptionTable t("talkmere-loadgen", "usage: talkmere-loadgen [options]", 23);
    t.value("--host", "HOST", "server address (default 127.0.0.1)", text(o.host, false));
    t.value("--port", "PORT", "server port (default 100)", number(o.port, 1));
    t.value("--clients", "N", "connected clients, 1..1000 (default 10)",
            number(o.clients, 1, 1000));
    t.value("--mode", "MODE", "throughput | latency (default throughput)", [&](std::string_view v) {
        o.mode = v == "latency" ? Mode::Latency : Mode::Throughput;
        return v == "latency" || v == "throughput";
    });
    t.value("--size", "BYTES", "bytes per text, at least 40 (default 64)",
            number(o.size, kMinMarkerSize, 65536));
    t.value("--window", "W", "throughput: texts a sender may have in flight (default 8)",
            number(o.window, 1, 100000));
    t.value("--rate", "R", "latency: markers per second over all senders (default 2000)",
            number(o.rate, 1, 1000000));
    t.value("--duration", "S", "measured seconds (default 10)", positive(o.durationS, 3600.0));
    t.value("--warmup", "S", "unmeasured seconds before measuring (default 1)",
            number(o.warmupS, 0.0, 600.0));
    t.value("--server-pid", "PID", "sample this process's CPU time over the measured interval",
            number(o.serverPid, 1));
    t.value("--connect-timeout", "S", "limit for connecting and greeting (default 3)",
            positive(o.connectTimeoutS, 600.0));
    t.value("--drain", "S", "limit for collecting texts still in flight at the end (default 2)",
            number(o.drainS, 0.0, 600.0));
    t.flag("--quickack", "clients acknowledge every arrival at once, never delayed", o.quickAck);
    t.note("Exit status: 0 ok, 1 usage, 2 connection failure, 3 order violations, 4 lost texts.");
    if (const auto status = t.parse(argc, argv)) {
        return *status;
    }
    if (o.mode == Mode::Latency && o.clients < 2) {
        return t.fail("latency mode needs at least 2 clients (fan-out to the others)");
    }
    std::signal(SIGPIPE, SIG_IGN);

    ClientSet clients(o);
    std::string error;
    if (!clients.open(error)) {
        std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
        return kExitConnection;
    }
    const int status =
        o.mode == Mode::Throughput ? runThroughput(o, clients) : runLatency(o, clients);
    std::fflush(stdout);
    return status;
}
