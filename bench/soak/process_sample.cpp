#include "process_sample.h"

#include <dirent.h>
#include <fstream>
#include <signal.h>
#include <string>

ProcessSample sampleProcess(int pid) {
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    bool haveRss = false;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            sample.rssKiB = std::stoll(line.substr(6));
            haveRss = true;
            break;
        }
    }
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (fds == nullptr || !haveRss) {
        if (fds != nullptr) {
            ::closedir(fds);
        }
        return sample;
    }
    while (const dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] != '.') {
            ++sample.descriptors;
        }
    }
    ::closedir(fds);
    sample.valid = true;
    return sample;
}

bool processAlive(int pid) {
    return ::kill(pid, 0) == 0;
}
