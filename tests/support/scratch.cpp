#include "scratch.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

namespace support {

long long NowMs()
{
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(long millis)
{
    timespec wait{millis / 1000, (millis % 1000) * 1000000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

std::string TempPath(const std::string &kind, const std::string &name)
{
    // Only read, and only by the test process's own thread.
    const char *dir = std::getenv("TMPDIR"); // NOLINT(concurrency-mt-unsafe)
    const std::string base = dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
    return base + "/comtrace-" + kind + "-" + std::to_string(getpid()) + "-" + name;
}

} // namespace support
