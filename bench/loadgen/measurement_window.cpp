#include "measurement_window.h"

#include "../common/process_stats.h"

#include <algorithm>

namespace {

std::uint64_t toNs(double seconds) {
    return static_cast<std::uint64_t>(seconds * 1e9);
}

} // namespace

MeasurementWindow::MeasurementWindow(const Options& options, std::uint64_t startNs)
    : serverPid_(options.serverPid), measureFrom_(startNs + toNs(options.warmupS)),
      measureUntil_(measureFrom_ + toNs(options.durationS)), drainNs_(toNs(options.drainS)) {}

MeasurementWindow::CpuSample MeasurementWindow::sampleCpu() const {
    CpuSample sample;
    if (serverPid_ > 0) {
        sample.server = bench::processCpuSeconds(serverPid_);
    }
    sample.own = bench::ownCpuSeconds();
    return sample;
}

void MeasurementWindow::advance(std::uint64_t now) {
    if (phase_ == Phase::WarmingUp && now >= measureFrom_) {
        phase_ = Phase::Measuring;
        start_ = sampleCpu();
        startedNs_ = now;
    }
    if (phase_ == Phase::Measuring && now >= measureUntil_) {
        phase_ = Phase::Draining;
        end_ = sampleCpu();
        endedNs_ = now;
        drainUntil_ = now + drainNs_;
    }
}

int MeasurementWindow::millisecondsToNextEdge(std::uint64_t now) const {
    const std::uint64_t edge = phase_ == Phase::WarmingUp   ? measureFrom_
                               : phase_ == Phase::Measuring ? measureUntil_
                                                            : drainUntil_;
    if (edge <= now) {
        return 0;
    }
    return static_cast<int>(std::min<std::uint64_t>((edge - now + 999'999) / 1'000'000, 1000));
}

std::optional<double> MeasurementWindow::serverCpuSeconds() const {
    if (!start_.server || !end_.server) {
        return std::nullopt;
    }
    return *end_.server - *start_.server;
}
