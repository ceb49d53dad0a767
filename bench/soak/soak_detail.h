#pragma once

// Small helpers shared by the soak run's loop and its client roles.
#include "soak_run.h"

#include <chrono>

namespace soak_detail {

inline constexpr std::size_t kReadChunk = 64 * 1024;
inline constexpr std::size_t kReaderBacklogLimit = 256 * 1024;
inline constexpr int kStallReceiveBuffer = 16 * 1024;
inline constexpr double kHalfCloseLimitS = 10.0;
inline constexpr double kStallDrainS = 5.0;
inline constexpr double kSampleEveryS = 5.0;

inline double secondsSince(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

inline Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

const char* roleName(Role role);

} // namespace soak_detail
