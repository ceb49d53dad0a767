#include "soak_report.h"

#include <cstdio>
#include <string>

namespace {

unsigned long long ull(std::uint64_t value) {
    return value;
}

const char* passFail(bool ok) {
    return ok ? "ok" : "FAIL";
}

} // namespace

int reportSoak(const Options& options, std::uint64_t seed, double ranSeconds, const SoakCounters& c,
               const DeliveryVerdict& v) {
    const bool serverUp = c.serverAnswered && !c.serverProcessGone;
    const bool deliveriesOk = v.clean() && c.faults.empty();
    bool rssOk = true;
    bool fdOk = true;
    std::int64_t rssLimit = 0;
    const bool sampled = options.serverPid != 0 && c.baseline.valid && c.end.valid;
    if (sampled) {
        rssLimit = c.baseline.rssKiB + options.rssMarginKiB +
                   static_cast<std::int64_t>(static_cast<double>(c.baseline.rssKiB) *
                                             options.rssMarginPercent / 100.0);
        rssOk = c.end.rssKiB <= rssLimit;
        fdOk = c.end.descriptors <= c.baseline.descriptors + options.fdMargin;
    }
    int status = kExitPass;
    if (!serverUp) {
        status = kExitServerDown;
    } else if (!deliveriesOk) {
        status = kExitDeliveryFault;
    } else if (!rssOk || !fdOk) {
        status = kExitGrowth;
    }

    std::printf("talkmere-soak: %s:%u for %.1f s (asked %.2f min), seed %llu\n",
                options.host.c_str(), options.port, ranSeconds, options.minutes, ull(seed));
    std::printf("server up at the end: %s (fresh client greeted in slot %d and its broadcast "
                "relayed to every reader)%s\n",
                passFail(serverUp), c.probeSlot, c.serverProcessGone ? "; PROCESS GONE" : "");
    std::printf("broadcasts: %llu written (%llu bytes); %llu deliveries checked byte for byte "
                "(%llu bytes)\n",
                ull(v.written), ull(v.writtenBytes), ull(v.delivered), ull(v.deliveredBytes));
    std::printf("  missing %llu, out of order %llu: %s; split by transport %llu (+%llu "
                "without header)\n",
                ull(v.missing), ull(v.outOfOrder), passFail(v.missing == 0 && v.outOfOrder == 0),
                ull(v.splitByTransport), ull(v.splitUnattributed));
    std::printf("private: %llu sent, %llu delivered to their slot, %llu joined by transport, "
                "%llu split, missing %llu, out of order %llu: %s\n",
                ull(v.privateSent), ull(v.privateDelivered), ull(v.privateJoined),
                ull(v.privateSplit), ull(v.privateMissing), ull(v.privateOutOfOrder),
                passFail(v.privateMissing == 0 && v.privateOutOfOrder == 0));
    std::printf("large texts: %llu sent (%llu KiB); other bytes received (large texts, "
                "notices): %llu\n",
                ull(c.largeTexts), ull(c.largeBytes / 1024), ull(c.foreignBytes));
    std::printf("chaos: %llu stalls (%llu dropped by the server, %llu outlasted, %llu bytes "
                "read after stalling); %llu resets; %llu half-closes (%llu closed by the "
                "server)\n",
                ull(c.stalls), ull(c.stallsDropped), ull(c.stallsOutlasted),
                ull(c.stalledBytesDrained), ull(c.resets), ull(c.halfCloses),
                ull(c.halfClosesEnded));
    std::printf("limit: %llu connections, %llu greeted; over-limit %llu refused, %llu accepted "
                "(a slot was free); chaos reconnects refused %llu; slowest refusal %.3f s; "
                "most clients certainly held at once %d (limit %d)\n",
                ull(c.connections), ull(c.greeted), ull(c.refusedExtra), ull(c.acceptedExtra),
                ull(c.refusedChaos), c.slowestRefusalS, c.maxLiveClients, options.maxClients);
    std::printf("departures: %llu of %llu orderly departures announced to the readers\n",
                ull(c.departuresSeen), ull(c.departuresExpected));
    if (c.sendsSkipped > 0) {
        std::printf("note: %llu reader texts skipped because the server read slowly\n",
                    ull(c.sendsSkipped));
    }
    if (options.serverPid != 0) {
        if (sampled) {
            std::printf("server process %d: VmRSS %lld KiB after %.0f s, %lld KiB at the end "
                        "(limit %lld, max %lld): %s; descriptors %d -> %d (max %d, margin %d): "
                        "%s\n",
                        options.serverPid, static_cast<long long>(c.baseline.rssKiB), c.baselineAtS,
                        static_cast<long long>(c.end.rssKiB), static_cast<long long>(rssLimit),
                        static_cast<long long>(c.rssMaxKiB), passFail(rssOk),
                        c.baseline.descriptors, c.end.descriptors, c.descriptorsMax,
                        options.fdMargin, passFail(fdOk));
            std::printf("VmRSS at the start of each minute (KiB):");
            for (const std::int64_t kib : c.rssByMinuteKiB) {
                std::printf(" %lld", static_cast<long long>(kib));
            }
            std::printf("\n");
        } else {
            std::printf("server process %d: could not be sampled at the baseline and the end\n",
                        options.serverPid);
        }
    }
    for (const std::string& problem : v.problems) {
        std::printf("problem: %s\n", problem.c_str());
    }
    for (const std::string& fault : c.faults) {
        std::printf("fault: %s\n", fault.c_str());
    }
    if (c.faultsNotListed > 0) {
        std::printf("fault: ... and %llu more\n", ull(c.faultsNotListed));
    }

    std::printf(
        "RESULT status=%s exit=%d seconds=%.1f seed=%llu written=%llu delivered=%llu "
        "delivered_bytes=%llu missing=%llu out_of_order=%llu split=%llu split_unattributed=%llu "
        "private_sent=%llu private_delivered=%llu private_joined=%llu private_missing=%llu "
        "large_texts=%llu stalls=%llu stall_drops=%llu resets=%llu half_closes=%llu "
        "over_limit_refused=%llu over_limit_accepted=%llu chaos_refused=%llu max_live=%d "
        "faults=%llu server_up=%d rss_base_kib=%lld rss_end_kib=%lld rss_max_kib=%lld "
        "fd_base=%d fd_end=%d fd_max=%d\n",
        status == kExitPass ? "pass" : "fail", status, ranSeconds, ull(seed), ull(v.written),
        ull(v.delivered), ull(v.deliveredBytes), ull(v.missing), ull(v.outOfOrder),
        ull(v.splitByTransport), ull(v.splitUnattributed), ull(v.privateSent),
        ull(v.privateDelivered), ull(v.privateJoined), ull(v.privateMissing), ull(c.largeTexts),
        ull(c.stalls), ull(c.stallsDropped), ull(c.resets), ull(c.halfCloses), ull(c.refusedExtra),
        ull(c.acceptedExtra), ull(c.refusedChaos), c.maxLiveClients,
        ull(c.faults.size() + c.faultsNotListed), serverUp ? 1 : 0,
        static_cast<long long>(c.baseline.rssKiB), static_cast<long long>(c.end.rssKiB),
        static_cast<long long>(c.rssMaxKiB), c.baseline.descriptors, c.end.descriptors,
        c.descriptorsMax);
    return status;
}
