#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace {

template <typename T> bool parseNumber(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool parsePositive(std::string_view text, double& out, double max) {
    return parseNumber(text, out) && std::isfinite(out) && out > 0.0 && out <= max;
}

} // namespace

std::string usageText() {
    return "usage: talkmere-soak [options]\n"
           "  --host HOST            server address (default 127.0.0.1)\n"
           "  --port PORT            server port (default 100)\n"
           "  --minutes M            soak length, 0.1..1440 (default 1)\n"
           "  --server-pid PID       check this process's VmRSS and descriptors\n"
           "  --password TEXT        the server password that follows the slot in greetings\n"
           "  --max-clients N        the server's client limit (default 10)\n"
           "  --rate R               broadcasts per second per reader (default 40)\n"
           "  --max-payload BYTES    largest record payload, 16..4000 (default 2000)\n"
           "  --private-rate R       private texts per second (default 20)\n"
           "  --large-kib K          size of each large text (default 384)\n"
           "  --large-interval S     seconds between large texts (default 1)\n"
           "  --stall S              longest stall of the stalling client (default 30)\n"
           "  --drain S              limit for texts still in flight at the end (default 15)\n"
           "  --seed N               payload and schedule seed (default: from the clock)\n"
           "  --rss-margin-kib K     allowed VmRSS growth over the baseline, plus\n"
           "  --rss-margin-pct P     this share of the baseline (defaults 8192 KiB, 10%)\n"
           "  --fd-margin N          allowed descriptor growth (default 2)\n"
           "The baseline is taken after the first minute (after 15 s when --minutes is 1;\n"
           "after a quarter of the run when it is shorter).\n"
           "Exit status: 0 pass, 1 usage, 2 server unreachable or down, 3 delivery or\n"
           "protocol fault, 4 memory or descriptor growth.\n";
}

ParsedOptions parseOptions(int argc, char** argv) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            parsed.helpRequested = true;
            return parsed;
        }
        std::string_view value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            parsed.error = "missing value for " + std::string(arg);
            return parsed;
        }

        bool ok = true;
        if (arg == "--host") {
            o.host = std::string(value);
            ok = !o.host.empty();
        } else if (arg == "--port") {
            ok = parseNumber(value, o.port) && o.port != 0;
        } else if (arg == "--minutes") {
            ok = parsePositive(value, o.minutes, 1440.0) && o.minutes >= 0.1;
        } else if (arg == "--server-pid") {
            ok = parseNumber(value, o.serverPid) && o.serverPid > 0;
        } else if (arg == "--password") {
            o.password = std::string(value);
        } else if (arg == "--max-clients") {
            ok = parseNumber(value, o.maxClients) && o.maxClients >= 8 && o.maxClients <= 1000;
        } else if (arg == "--rate") {
            ok = parsePositive(value, o.broadcastRate, 10000.0);
        } else if (arg == "--max-payload") {
            ok = parseNumber(value, o.maxPayload) && o.maxPayload >= 16 && o.maxPayload <= 4000;
        } else if (arg == "--private-rate") {
            ok = parsePositive(value, o.privateRate, 10000.0);
        } else if (arg == "--large-kib") {
            ok = parseNumber(value, o.largeKiB) && o.largeKiB >= 1 && o.largeKiB <= 4096;
        } else if (arg == "--large-interval") {
            ok = parsePositive(value, o.largeIntervalS, 3600.0);
        } else if (arg == "--stall") {
            ok = parsePositive(value, o.stallS, 3600.0);
        } else if (arg == "--drain") {
            ok = parsePositive(value, o.drainS, 600.0);
        } else if (arg == "--seed") {
            ok = parseNumber(value, o.seed);
        } else if (arg == "--rss-margin-kib") {
            ok = parseNumber(value, o.rssMarginKiB) && o.rssMarginKiB >= 0;
        } else if (arg == "--rss-margin-pct") {
            ok = parseNumber(value, o.rssMarginPercent) && o.rssMarginPercent >= 0.0 &&
                 o.rssMarginPercent <= 1000.0;
        } else if (arg == "--fd-margin") {
            ok = parseNumber(value, o.fdMargin) && o.fdMargin >= 0;
        } else {
            parsed.error = "unknown option " + std::string(arg);
            return parsed;
        }
        if (!ok) {
            parsed.error = "bad value '" + std::string(value) + "' for " + std::string(arg);
            return parsed;
        }
    }
    return parsed;
}
