// The poll(2) side of a thread that runs an sd-bus connection itself.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ctime>

namespace orvex {

// Poll time-out in milliseconds for sd-bus's absolute CLOCK_MONOTONIC time
// in microseconds; UINT64_MAX (nothing pending) waits without end.
inline int BusPollTimeout(uint64_t deadlineUs) {
    if (deadlineUs == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (deadlineUs <= nowUs) return 0;
    return static_cast<int>(std::min<uint64_t>((deadlineUs - nowUs + 999) / 1000, INT_MAX));
}

}  // namespace orvex
