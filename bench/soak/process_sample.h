#pragma once

#include <cstdint>

// The server's footprint as the kernel reports it.
struct ProcessSample {
    bool valid = false;
    std::int64_t rssKiB = 0; // VmRSS from /proc/PID/status
    int descriptors = 0;     // entries of /proc/PID/fd
};

ProcessSample sampleProcess(int pid);
bool processAlive(int pid);
