// Runs a command and records the processor time it and its children took,
// to the microsecond, with its peak memory: the pacing benchmark's measure.
// (/usr/bin/time prints hundredths of a second, too coarse beside a floor of
// a few tens of milliseconds.)
//
// usage: cpu_time OUT COMMAND [ARGS...]
//
// Writes "user_us system_us peak_rss_kib" on one line to OUT and exits with
// the command's status (128+N when a signal N ended it; 127 when it could not
// be run; 2 when OUT cannot be written).
#include <cerrno>
#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr long long UsPerSecond = 1000000;
constexpr int CannotRun = 127;
constexpr int SignalStatusBase = 128;

long long MicrosecondsOf(const timeval &time)
{
    return static_cast<long long>(time.tv_sec) * UsPerSecond + time.tv_usec;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        (void)std::fprintf(stderr, "usage: cpu_time OUT COMMAND [ARGS...]\n");
        return 2;
    }
    FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        (void)std::fprintf(stderr, "cpu_time: cannot write %s\n", argv[1]);
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) {
        (void)std::fprintf(stderr, "cpu_time: cannot start %s\n", argv[2]);
        return CannotRun;
    }
    if (child == 0) {
        (void)std::fclose(out);
        execvp(argv[2], &argv[2]);
        (void)std::fprintf(stderr, "cpu_time: cannot run %s\n", argv[2]);
        _exit(CannotRun);
    }
    int status = 0;
    rusage usage{};
    pid_t ended = -1;
    do {
        ended = wait4(child, &status, 0, &usage);
    } while (ended < 0 && errno == EINTR);
    if (ended != child) {
        (void)std::fprintf(stderr, "cpu_time: lost %s\n", argv[2]);
        return CannotRun;
    }
    const bool recorded = std::fprintf(out, "%lld %lld %ld\n", MicrosecondsOf(usage.ru_utime),
                                       MicrosecondsOf(usage.ru_stime), usage.ru_maxrss) > 0;
    if (std::fclose(out) != 0 || !recorded) {
        (void)std::fprintf(stderr, "cpu_time: cannot write %s\n", argv[1]);
        return 2;
    }
    if (WIFSIGNALED(status)) {
        return SignalStatusBase + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
