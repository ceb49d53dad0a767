#pragma once

#include "client_set.h"
#include "options.h"

// Each run drives the connected clients, prints a human report and one "RESULT key=value"
// line, and returns the process exit status.
int runThroughput(const Options& options, ClientSet& clients);
int runLatency(const Options& options, ClientSet& clients);

// For printing counters with %llu.
inline unsigned long long ull(std::uint64_t value) {
    return value;
}

// Exit statuses shared by both runs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitConnection = 2;
inline constexpr int kExitOrderViolation = 3;
inline constexpr int kExitLoss = 4;
