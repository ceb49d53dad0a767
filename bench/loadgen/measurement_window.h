#pragma once

#include "options.h"

#include <cstdint>
#include <optional>

// The phases of one run: warm-up, measured interval, then a bounded drain for texts still in
// flight. CPU time is sampled at the two edges of the measured interval.
class MeasurementWindow {
public:
    MeasurementWindow(const Options& options, std::uint64_t startNs);

    // Moves to the next phase when its time has come; call on every turn of the loop.
    void advance(std::uint64_t now);

    bool measuring() const { return phase_ == Phase::Measuring; }
    bool sending() const { return phase_ == Phase::WarmingUp || phase_ == Phase::Measuring; }
    bool drainExpired(std::uint64_t now) const {
        return phase_ == Phase::Draining && now >= drainUntil_;
    }

    // How long the loop may sleep before the next phase change.
    int millisecondsToNextEdge(std::uint64_t now) const;

    double measuredSeconds() const { return static_cast<double>(endedNs_ - startedNs_) / 1e9; }
    std::optional<double> serverCpuSeconds() const;
    double ownCpuSeconds() const { return end_.own - start_.own; }

private:
    enum class Phase { WarmingUp, Measuring, Draining };
    struct CpuSample {
        std::optional<double> server;
        double own = 0.0;
    };
    CpuSample sampleCpu() const;

    int serverPid_;
    std::uint64_t measureFrom_;
    std::uint64_t measureUntil_;
    std::uint64_t drainNs_;
    std::uint64_t drainUntil_ = 0;
    Phase phase_ = Phase::WarmingUp;
    std::uint64_t startedNs_ = 0;
    std::uint64_t endedNs_ = 0;
    CpuSample start_;
    CpuSample end_;
};
