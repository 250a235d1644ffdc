// What the benchmarks read about a running process from /proc: its CPU time, its resident
// memory and its open descriptors.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace kxbench {

// CPU time (user + system) of a running process, all its threads, in seconds: the scheduler's
// nanosecond run times from /proc/<pid>/task/*/schedstat, or utime + stime (clock ticks) from
// /proc/<pid>/stat when those are missing. -1 when unreadable.
inline double cpu_of(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR *tasks = opendir((base + "/task").c_str())) {
        double sum = 0;
        bool any = false;
        while (dirent *e = readdir(tasks)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(base + "/task/" + e->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (in >> ns) {
                sum += static_cast<double>(ns) * 1e-9;
                any = true;
            }
        }
        closedir(tasks);
        if (any) return sum;
    }
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = strtoull(f.c_str(), nullptr, 10);
        if (i == 15) stime = strtoull(f.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of a process in KiB (VmRSS), -1 when unreadable.
inline long rss_of(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return -1;
}

// Open descriptors of a process, -1 when unreadable.
inline long fd_count(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    long n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the listing's own descriptor
}

}  // namespace kxbench
