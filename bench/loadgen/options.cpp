#include "options.h"

#include "marker.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace {

template <typename T> bool parseInteger(std::string_view text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool parseSeconds(std::string_view text, double& out) {
    // from_chars for double is available in GCC 12; reject NaN, infinities and negatives.
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && std::isfinite(out) && out >= 0.0;
}

} // namespace

std::string usageText() {
    return "usage: talkmere-loadgen [options]\n"
           "  --host HOST          server address (default 127.0.0.1)\n"
           "  --port PORT          server port (default 100)\n"
           "  --clients N          connected clients, 1..1000 (default 10)\n"
           "  --mode MODE          throughput | latency (default throughput)\n"
           "  --size BYTES         bytes per text, at least 40 (default 64)\n"
           "  --window W           throughput: texts a sender may have in flight (default 8)\n"
           "  --rate R             latency: markers per second over all senders (default 2000)\n"
           "  --duration S         measured seconds (default 10)\n"
           "  --warmup S           unmeasured seconds before measuring (default 1)\n"
           "  --server-pid PID     sample this process's CPU time over the measured interval\n"
           "  --connect-timeout S  limit for connecting and greeting (default 3)\n"
           "  --drain S            limit for collecting texts still in flight at the end "
           "(default 2)\n"
           "  --quickack           clients acknowledge every arrival at once, never delayed\n"
           "Exit status: 0 ok, 1 usage, 2 connection failure, 3 order violations, 4 lost texts.\n";
}

const char* modeName(Mode mode) {
    return mode == Mode::Throughput ? "throughput" : "latency";
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
        if (arg == "--quickack") {
            o.quickAck = true;
            continue;
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
            ok = parseInteger(value, o.port) && o.port != 0;
        } else if (arg == "--clients") {
            ok = parseInteger(value, o.clients) && o.clients >= 1 && o.clients <= 1000;
        } else if (arg == "--mode") {
            if (value == "throughput") {
                o.mode = Mode::Throughput;
            } else if (value == "latency") {
                o.mode = Mode::Latency;
            } else {
                ok = false;
            }
        } else if (arg == "--size") {
            ok = parseInteger(value, o.size) && o.size >= kMinMarkerSize && o.size <= 65536;
        } else if (arg == "--window") {
            ok = parseInteger(value, o.window) && o.window >= 1 && o.window <= 100000;
        } else if (arg == "--rate") {
            ok = parseInteger(value, o.rate) && o.rate >= 1 && o.rate <= 1000000;
        } else if (arg == "--duration") {
            ok = parseSeconds(value, o.durationS) && o.durationS > 0.0 && o.durationS <= 3600.0;
        } else if (arg == "--warmup") {
            ok = parseSeconds(value, o.warmupS) && o.warmupS <= 600.0;
        } else if (arg == "--server-pid") {
            ok = parseInteger(value, o.serverPid) && o.serverPid > 0;
        } else if (arg == "--connect-timeout") {
            ok = parseSeconds(value, o.connectTimeoutS) && o.connectTimeoutS > 0.0 &&
                 o.connectTimeoutS <= 600.0;
        } else if (arg == "--drain") {
            ok = parseSeconds(value, o.drainS) && o.drainS <= 600.0;
        } else {
            parsed.error = "unknown option " + std::string(arg);
            return parsed;
        }
        if (!ok) {
            parsed.error = "bad value '" + std::string(value) + "' for " + std::string(arg);
            return parsed;
        }
    }
    if (o.mode == Mode::Latency && o.clients < 2) {
        parsed.error = "latency mode needs at least 2 clients (fan-out to the others)";
    }
    return parsed;
}
