#include "measurement_window.h"

#include "cpu_time.h"

#include <algorithm>

namespace {

std::uint64_t toNs(double seconds) {
    return static_cast<std::uint64_t>(seconds * 1e9);
}

} // namespace

MeasurementWindow::MeasurementWindow(const Options& options, std::uint64_t startNs)
    : serverPid_(options.serverPid), measureFrom_(startNs + toNs(options.warmupS)),
      measureUntil_(measureFrom_ + toNs(options.durationS)), drainNs_(toNs(options.drainS)) {}

void MeasurementWindow::advance(std::uint64_t now) {
    if (phase_ == Phase::WarmingUp && now >= measureFrom_) {
        phase_ = Phase::Measuring;
        if (serverPid_ > 0) {
            serverCpuStart_ = processCpuSeconds(serverPid_);
        }
        ownCpuStart_ = ::ownCpuSeconds();
        startedNs_ = now;
    }
    if (phase_ == Phase::Measuring && now >= measureUntil_) {
        phase_ = Phase::Draining;
        if (serverPid_ > 0) {
            serverCpuEnd_ = processCpuSeconds(serverPid_);
        }
        ownCpuEnd_ = ::ownCpuSeconds();
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
    if (!serverCpuStart_ || !serverCpuEnd_) {
        return std::nullopt;
    }
    return *serverCpuEnd_ - *serverCpuStart_;
}
