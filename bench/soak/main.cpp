// talkmere-soak: runs ten kinds of client against a relay server for a bounded time (steady
// readers and senders, private messages, large texts, and clients that stall, reset,
// half-close and connect past the limit), then checks every delivery, that the server still
// answers, and that its memory and descriptors did not grow.

#include "../common/options.h"
#include "options.h"
#include "soak_report.h"
#include "soak_run.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace bench;
    Options o;
    OptionTable t("talkmere-soak", "usage: talkmere-soak [options]", 25);
    t.value("--host", "HOST", "server address (default 127.0.0.1)", text(o.host, false));
    t.value("--port", "PORT", "server port (default 100)", number(o.port, 1));
    t.value("--minutes", "M", "soak length, 0.1..1440 (default 1)", number(o.minutes, 0.1, 1440.0));
    t.value("--server-pid", "PID", "check this process's VmRSS and descriptors",
            number(o.serverPid, 1));
    t.value("--password", "TEXT", "the server password that follows the slot in greetings",
            text(o.password, true));
    t.value("--max-clients", "N", "the server's client limit (default 10)",
            number(o.maxClients, 8, 1000));
    t.value("--rate", "R", "broadcasts per second per reader (default 40)",
            positive(o.broadcastRate, 10000.0));
    t.value("--max-payload", "BYTES", "largest record payload, 16..4000 (default 2000)",
            number(o.maxPayload, 16, 4000));
    t.value("--private-rate", "R", "private texts per second (default 20)",
            positive(o.privateRate, 10000.0));
    t.value("--large-kib", "K", "size of each large text (default 384)",
            number(o.largeKiB, 1, 4096));
    t.value("--large-interval", "S", "seconds between large texts (default 1)",
            positive(o.largeIntervalS, 3600.0));
    t.value("--stall", "S", "longest stall of the stalling client (default 30)",
            positive(o.stallS, 3600.0));
    t.value("--drain", "S", "limit for texts still in flight at the end (default 15)",
            positive(o.drainS, 600.0));
    t.value("--seed", "N", "payload and schedule seed (default: from the clock)", number(o.seed));
    t.value("--rss-margin-kib", "K", "allowed VmRSS growth over the baseline, plus",
            number(o.rssMarginKiB, 0));
    t.value("--rss-margin-pct", "P", "this share of the baseline (defaults 8192 KiB, 10%)",
            number(o.rssMarginPercent, 0.0, 1000.0));
    t.value("--fd-margin", "N", "allowed descriptor growth (default 2)", number(o.fdMargin, 0));
    t.note("The baseline is taken after the first minute (after 15 s when --minutes is 1;\n"
           "after a quarter of the run when it is shorter).\n"
           "Exit status: 0 pass, 1 usage, 2 server unreachable or down, 3 delivery or\n"
           "protocol fault, 4 memory or descriptor growth.");
    if (const auto status = t.parse(argc, argv)) {
        return *status;
    }
    std::signal(SIGPIPE, SIG_IGN);

    SoakRun run(o);
    if (std::string error; !run.run(error)) {
        std::fprintf(stderr, "talkmere-soak: %s\n", error.c_str());
        std::printf("RESULT status=fail exit=%d reason=start\n", kExitServerDown);
        return kExitServerDown;
    }
    const int status =
        reportSoak(o, run.seed(), run.ranSeconds(), run.counters(), run.ledger().verdict());
    std::fflush(stdout);
    return status;
}
