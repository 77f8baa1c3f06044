#include "platform/linux/OpenFileLimit.h"

#include <sys/resource.h>

#include <string>

#include "platform/Log.h"

namespace orvex {

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const std::string to = limit.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_max);
    diag_verbose("open-file limit raised from " + std::to_string(before) + " to " + to);
}

}  // namespace orvex
