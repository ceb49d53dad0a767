// talkmere-loadgen: connects N clients to a relay server and measures delivery throughput or
// fan-out latency with self-describing marker texts.

#include "client_set.h"
#include "options.h"
#include "runs.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(argc, argv);
    if (parsed.helpRequested) {
        std::fputs(usageText().c_str(), stdout);
        return kExitOk;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "talkmere-loadgen: %s\n%s", parsed.error.c_str(), usageText().c_str());
        return kExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);

    const Options& options = parsed.options;
    ClientSet clients(options);
    std::string error;
    if (!clients.open(error)) {
        std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
        return kExitConnection;
    }
    const int status = options.mode == Mode::Throughput ? runThroughput(options, clients)
                                                        : runLatency(options, clients);
    std::fflush(stdout);
    return status;
}
