// Time and temporary paths for the tests that run real processes: the
// monotonic clock in milliseconds, a sleep that signals do not cut short,
// and file names that no other test process uses at the same time.
#ifndef COMTRACE_TESTS_SUPPORT_SCRATCH_H
#define COMTRACE_TESTS_SUPPORT_SCRATCH_H

#include <string>

namespace support {

// Milliseconds on CLOCK_MONOTONIC since an arbitrary start.
long long NowMs();

// Sleeps for millis milliseconds, resuming after a signal.
void SleepMs(long millis);

// "<dir>/comtrace-<kind>-<pid>-<name>", where dir is $TMPDIR or /tmp.
// Nothing is created.
std::string TempPath(const std::string &kind, const std::string &name);

} // namespace support

#endif
