#include "marker.h"
#include "measurement_window.h"
#include "runs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// A marker on its way to the other clients.
struct InFlight {
    std::uint64_t sentNs;
    int othersLeft;
    bool measured;
};

std::uint64_t keyOf(const Marker& marker) {
    return (static_cast<std::uint64_t>(marker.sender) << 48) | marker.seq;
}

// Nearest-rank percentile of sorted samples, in microseconds.
double percentileUs(const std::vector<std::uint64_t>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1]) / 1e3;
}

} // namespace

int runLatency(const Options& options, ClientSet& clients) {
    const int n = clients.size();
    MarkerLedger ledger(n);
    std::vector<std::uint64_t> sent(n, 0);
    std::unordered_map<std::uint64_t, InFlight> inFlight;
    std::vector<std::uint64_t> samplesNs;
    int nextSender = 0;
    std::string error;
    bool failed = false;
    MeasurementWindow window(options, nowNs());

    // Open loop: markers leave on the timer's schedule whether or not earlier ones have
    // arrived, so a slow server shows up as latency instead of a lower send rate.
    const auto onTicks = [&](std::uint64_t ticks) {
        for (; ticks > 0 && window.sending() && !failed; --ticks) {
            const int sender = nextSender;
            nextSender = (nextSender + 1) % n;
            const Marker marker{static_cast<std::uint32_t>(sender), sent[sender], nowNs()};
            inFlight.emplace(keyOf(marker), InFlight{marker.sentNs, n - 1, window.measuring()});
            ++sent[sender];
            failed = !clients.send(sender, marker, error);
        }
    };
    if (!clients.every(1'000'000'000ull / static_cast<std::uint64_t>(options.rate), onTicks,
                       error)) {
        std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
        return kExitConnection;
    }

    const ClientSet::MarkerHandler onMarker = [&](int receiver, const Marker& marker,
                                                  std::uint64_t arrivedNs) {
        if (!ledger.record(receiver, marker) || receiver == static_cast<int>(marker.sender)) {
            return;
        }
        const auto it = inFlight.find(keyOf(marker));
        if (it == inFlight.end() || --it->second.othersLeft > 0) {
            return;
        }
        if (it->second.measured) {
            samplesNs.push_back(arrivedNs - it->second.sentNs);
        }
        inFlight.erase(it);
    };

    for (;;) {
        const std::uint64_t now = nowNs();
        window.advance(now);
        // Done once every marker reached every client, its own sender's echo included.
        if (!window.sending() &&
            ((inFlight.empty() && ledger.complete(sent)) || window.drainExpired(now))) {
            break;
        }
        if (!clients.pump(window.millisecondsToNextEdge(now), onMarker, error) || failed) {
            std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
            return kExitConnection;
        }
    }

    std::sort(samplesNs.begin(), samplesNs.end());
    const double seconds = window.measuredSeconds();
    const double p50 = percentileUs(samplesNs, 0.50);
    const double p99 = percentileUs(samplesNs, 0.99);
    const double maxUs = samplesNs.empty() ? 0.0 : static_cast<double>(samplesNs.back()) / 1e3;
    const std::uint64_t missing = ledger.missing(sent);
    const std::size_t incomplete = inFlight.size();

    std::printf("latency: %d clients -> %s:%u, %zu-byte markers, %d markers/s round-robin\n", n,
                options.host.c_str(), static_cast<unsigned>(options.port), options.size,
                options.rate);
    std::printf("  measured          %.3f s after %.1f s warm-up\n", seconds, options.warmupS);
    std::printf("  fan-out latency   send until all %d other clients have it, %zu markers\n", n - 1,
                samplesNs.size());
    std::printf("  p50 %.1f us, p99 %.1f us, max %.1f us\n", p50, p99, maxUs);
    const auto serverCpu = window.serverCpuSeconds();
    if (serverCpu) {
        std::printf("  server CPU        %.2f s (%.2f of one core)\n", *serverCpu,
                    *serverCpu / seconds);
    }
    std::printf("  whole run         %zu markers never reached every client, %llu deliveries "
                "missing, %llu order violations\n",
                incomplete, ull(missing), ull(ledger.orderViolations()));

    std::printf("RESULT mode=latency clients=%d size=%zu rate=%d seconds=%.3f count=%zu "
                "p50_us=%.1f p99_us=%.1f max_us=%.1f",
                n, options.size, options.rate, seconds, samplesNs.size(), p50, p99, maxUs);
    if (serverCpu) {
        std::printf(" server_cpu_s=%.3f", *serverCpu);
    }
    std::printf(" incomplete=%zu missing=%llu order_violations=%llu damaged=%llu\n", incomplete,
                ull(missing), ull(ledger.orderViolations()), ull(clients.damagedRecords()));

    if (ledger.orderViolations() > 0) {
        return kExitOrderViolation;
    }
    return missing > 0 || incomplete > 0 ? kExitLoss : kExitOk;
}
