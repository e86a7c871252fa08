// The one clock devsim times things on: microseconds on CLOCK_MONOTONIC,
// which no change of the wall clock moves. The event log stamps its lines
// with it and every wait is measured on it.
#ifndef COMTRACE_DEVSIM_MONOTONIC_CLOCK_H
#define COMTRACE_DEVSIM_MONOTONIC_CLOCK_H

#include <cstdint>
#include <ctime>

namespace devsim {

// Microseconds on CLOCK_MONOTONIC since an arbitrary start.
inline std::int64_t MonotonicUs()
{
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace devsim

#endif
