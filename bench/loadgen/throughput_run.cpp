#include "marker.h"
#include "measurement_window.h"
#include "runs.h"

#include <cstdio>
#include <string>
#include <vector>

int runThroughput(const Options& options, ClientSet& clients) {
    const int n = clients.size();
    MarkerLedger ledger(n);
    std::vector<std::uint64_t> sent(n, 0);
    // One past the highest own sequence number seen back; a lost own text is freed by any
    // later one, so a sender never waits for an echo that cannot come.
    std::vector<std::uint64_t> echoed(n, 0);
    std::uint64_t measuredDeliveries = 0;
    std::uint64_t measuredSends = 0;
    MeasurementWindow window(options, nowNs());

    const ClientSet::MarkerHandler onMarker = [&](int receiver, const Marker& marker,
                                                  std::uint64_t) {
        if (!ledger.record(receiver, marker)) {
            return;
        }
        if (receiver == static_cast<int>(marker.sender) && marker.seq + 1 > echoed[receiver]) {
            echoed[receiver] = marker.seq + 1;
        }
        if (window.measuring()) {
            ++measuredDeliveries;
        }
    };

    std::string error;
    for (;;) {
        const std::uint64_t now = nowNs();
        window.advance(now);
        if (!window.sending() && (ledger.complete(sent) || window.drainExpired(now))) {
            break;
        }
        if (window.sending()) {
            for (int c = 0; c < n; ++c) {
                while (!clients.hasBacklog(c) &&
                       sent[c] - echoed[c] < static_cast<std::uint64_t>(options.window)) {
                    const Marker marker{static_cast<std::uint32_t>(c), sent[c], nowNs()};
                    if (!clients.send(c, marker, error)) {
                        std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
                        return kExitConnection;
                    }
                    ++sent[c];
                    if (window.measuring()) {
                        ++measuredSends;
                    }
                }
            }
        }
        if (!clients.pump(window.millisecondsToNextEdge(now), onMarker, error)) {
            std::fprintf(stderr, "talkmere-loadgen: %s\n", error.c_str());
            return kExitConnection;
        }
    }

    const double seconds = window.measuredSeconds();
    const double deliveriesPerS = static_cast<double>(measuredDeliveries) / seconds;
    const double sendsPerS = static_cast<double>(measuredSends) / seconds;
    const std::uint64_t missing = ledger.missing(sent);
    std::uint64_t totalSent = 0;
    for (const std::uint64_t s : sent) {
        totalSent += s;
    }

    std::printf("throughput: %d clients -> %s:%u, %zu-byte texts, window %d\n", n,
                options.host.c_str(), static_cast<unsigned>(options.port), options.size,
                options.window);
    std::printf("  measured          %.3f s after %.1f s warm-up\n", seconds, options.warmupS);
    std::printf("  texts sent        %llu (%.0f/s)\n", ull(measuredSends), sendsPerS);
    std::printf("  deliveries        %llu (%.0f/s, %.1f MB/s)\n", ull(measuredDeliveries),
                deliveriesPerS, deliveriesPerS * static_cast<double>(options.size) / 1e6);
    const auto serverCpu = window.serverCpuSeconds();
    if (serverCpu) {
        std::printf("  server CPU        %.2f s (%.2f of one core), %.3f s per million "
                    "deliveries\n",
                    *serverCpu, *serverCpu / seconds,
                    *serverCpu / (static_cast<double>(measuredDeliveries) / 1e6));
    } else if (options.serverPid > 0) {
        std::printf("  server CPU        unavailable for pid %d\n", options.serverPid);
    }
    std::printf("  loadgen CPU       %.2f s (%.2f of one core)\n", window.ownCpuSeconds(),
                window.ownCpuSeconds() / seconds);
    std::printf("  whole run         %llu texts sent, %llu deliveries missing, %llu order "
                "violations\n",
                ull(totalSent), ull(missing), ull(ledger.orderViolations()));
    std::printf("  skipped           %llu damaged records, %llu foreign bytes, %llu foreign "
                "markers\n",
                ull(clients.damagedRecords()), ull(clients.foreignBytes()),
                ull(ledger.foreignMarkers()));

    std::printf("RESULT mode=throughput clients=%d size=%zu window=%d seconds=%.3f "
                "sent=%llu deliveries=%llu deliveries_per_s=%.0f",
                n, options.size, options.window, seconds, ull(measuredSends),
                ull(measuredDeliveries), deliveriesPerS);
    if (serverCpu) {
        std::printf(" server_cpu_s=%.3f server_cpu_s_per_M=%.3f", *serverCpu,
                    *serverCpu / (static_cast<double>(measuredDeliveries) / 1e6));
    }
    std::printf(" loadgen_cpu_s=%.3f missing=%llu order_violations=%llu damaged=%llu\n",
                window.ownCpuSeconds(), ull(missing), ull(ledger.orderViolations()),
                ull(clients.damagedRecords()));

    if (ledger.orderViolations() > 0) {
        return kExitOrderViolation;
    }
    return missing > 0 ? kExitLoss : kExitOk;
}
