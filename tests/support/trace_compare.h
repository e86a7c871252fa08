// Comparing a run's whole trace with the one it should print (which the
// trace library's writer builds: trace/writer.h).
#ifndef COMTRACE_TESTS_SUPPORT_TRACE_COMPARE_H
#define COMTRACE_TESTS_SUPPORT_TRACE_COMPARE_H

#include <string>

namespace support {

// The first line where two traces differ, both versions shown; empty when equal.
std::string FirstDifference(const std::string &expected, const std::string &actual);

} // namespace support

#endif
