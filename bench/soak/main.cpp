// talkmere-soak: runs ten kinds of client against a relay server for a bounded time (steady
// readers and senders, private messages, large texts, and clients that stall, reset,
// half-close and connect past the limit), then checks every delivery, that the server still
// answers, and that its memory and descriptors did not grow.

#include "options.h"
#include "soak_report.h"
#include "soak_run.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(argc, argv);
    if (parsed.helpRequested) {
        std::fputs(usageText().c_str(), stdout);
        return kExitPass;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "talkmere-soak: %s\n%s", parsed.error.c_str(), usageText().c_str());
        return kExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);

    SoakRun run(parsed.options);
    std::string error;
    if (!run.run(error)) {
        std::fprintf(stderr, "talkmere-soak: %s\n", error.c_str());
        std::printf("RESULT status=fail exit=%d reason=start\n", kExitServerDown);
        return kExitServerDown;
    }
    const int status = reportSoak(parsed.options, run.seed(), run.ranSeconds(), run.counters(),
                                  run.ledger().verdict());
    std::fflush(stdout);
    return status;
}
