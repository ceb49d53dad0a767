#pragma once

#include <optional>

// CPU time (user + system) of another process, from /proc/PID/stat; nullopt if unreadable.
std::optional<double> processCpuSeconds(int pid);

// CPU time (user + system) of this process.
double ownCpuSeconds();
