// Raises the process's descriptor limit for tests that hold many sockets or need
// descriptor numbers above 1024.
#pragma once

#include <sys/resource.h>

namespace kxtest {

// Raises the soft limit to at least want (up to the hard limit); true when it is there.
inline bool raise_fd_limit(rlim_t want) {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
    if (r.rlim_cur >= want) return true;
    r.rlim_cur = want < r.rlim_max ? want : r.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur >= want;
}

}  // namespace kxtest
