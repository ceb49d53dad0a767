#include "process_stats.h"

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

std::optional<double> processCpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    // The command name (field 2) may hold spaces and parentheses: start after the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    // Fields 3..13 come first; utime and stime are fields 14 and 15.
    std::string skipped;
    for (int field = 3; field <= 13; ++field) {
        fields >> skipped;
    }
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (!(fields >> utime >> stime)) {
        return std::nullopt;
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return static_cast<double>(utime + stime) / static_cast<double>(ticks > 0 ? ticks : 100);
}

double ownCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

ProcessSample sampleProcess(int pid) {
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    bool haveRss = false;
    while (!haveRss && std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            sample.rssKiB = std::stoll(line.substr(6));
            haveRss = true;
        }
    }
    DIR* fds = haveRss ? ::opendir((base + "/fd").c_str()) : nullptr;
    if (fds == nullptr) {
        return sample;
    }
    while (const dirent* entry = ::readdir(fds)) {
        sample.descriptors += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(fds);
    sample.valid = true;
    return sample;
}

} // namespace bench
