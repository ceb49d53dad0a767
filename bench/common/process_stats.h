#pragma once

#include <cstdint>
#include <optional>

namespace bench {

// CPU time (user + system) of another process, from /proc/PID/stat; nullopt if unreadable.
std::optional<double> processCpuSeconds(int pid);

// CPU time (user + system) of this process.
double ownCpuSeconds();

// A process's footprint as the kernel reports it.
struct ProcessSample {
    bool valid = false;
    std::int64_t rssKiB = 0; // VmRSS from /proc/PID/status
    int descriptors = 0;     // entries of /proc/PID/fd
};

ProcessSample sampleProcess(int pid);

} // namespace bench
