#pragma once

#include "delivery_ledger.h"
#include "options.h"
#include "soak_counters.h"

#include <cstdint>

inline constexpr int kExitPass = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitServerDown = 2;
inline constexpr int kExitDeliveryFault = 3;
inline constexpr int kExitGrowth = 4;

// Prints the human summary and the final "RESULT key=value ..." line; returns the exit status.
int reportSoak(const Options& options, std::uint64_t seed, double ranSeconds,
               const SoakCounters& counters, const DeliveryVerdict& verdict);
