// The floor the pacing benchmark holds comtrace to: the least a program can
// do to give the device the dialogue's bytes at their times. It opens the
// port, settles as the program does, writes the dialogue's bytes one at a
// time with the dialogue's waits, and prints nothing, so that its processor
// time and its pacing errors are what the machine itself costs in that run.
//
// usage: pacing_floor PORT
//
// PORT must be a pty (under devsim, /dev/ttyS0 is one): the floor refuses any
// other device, so that it never opens or writes to a real serial line.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "trace/dialogue.h"

namespace {

// Unix98 pty slaves have majors 136 to 143.
constexpr unsigned PtySlaveFirstMajor = 136;
constexpr unsigned PtySlaveLastMajor = 143;
constexpr long NsPerMs = 1000000;
constexpr long NsPerSecond = 1000000000;

bool IsPtySlave(const struct stat &status)
{
    return S_ISCHR(status.st_mode) && major(status.st_rdev) >= PtySlaveFirstMajor &&
           major(status.st_rdev) <= PtySlaveLastMajor;
}

// Sleeps until durationMs after now, as the program's waits do: on the
// monotonic clock, to an absolute deadline that a signal cannot stretch.
void WaitMs(std::uint64_t durationMs)
{
    timespec deadline{};
    (void)clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(durationMs) * NsPerMs;
    deadline.tv_sec += static_cast<time_t>(deadline.tv_nsec / NsPerSecond);
    deadline.tv_nsec %= NsPerSecond;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Writes one byte; false when the port took none.
bool WriteByte(int fd, std::uint8_t byte)
{
    for (;;) {
        const ssize_t written = write(fd, &byte, 1);
        if (written == 1) {
            return true;
        }
        if (written < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Opens the pty at path and makes its line raw, as the program sets it, so
// that every byte reaches the device as it is and nothing the device sends
// is echoed back to it. -1, with the reason on standard error, when path is
// no pty or cannot be set up; anything else is never opened.
int OpenRawPty(const char *path)
{
    struct stat named {};
    if (stat(path, &named) != 0 || !IsPtySlave(named)) {
        (void)std::fprintf(stderr, "pacing_floor: %s is no pty; run it under devsim\n", path);
        return -1;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        (void)std::fprintf(stderr, "pacing_floor: cannot open the pty %s\n", path);
        return -1;
    }
    struct stat opened {};
    termios line{};
    const bool same = fstat(fd, &opened) == 0 && opened.st_rdev == named.st_rdev;
    if (same && tcgetattr(fd, &line) == 0) {
        cfmakeraw(&line);
        if (cfsetspeed(&line, B9600) == 0 && tcsetattr(fd, TCSANOW, &line) == 0) {
            return fd;
        }
    }
    (void)close(fd); // it is given up on; its own failure would tell nothing more
    (void)std::fprintf(stderr, "pacing_floor: cannot make the pty %s raw\n", path);
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: pacing_floor PORT\n");
        return 2;
    }
    const int fd = OpenRawPty(argv[1]);
    if (fd < 0) {
        return 2;
    }
    // The program asks for the same: the default slack of 50 us would show as
    // pacing error that is not the program's.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    WaitMs(trace::SettleMs);
    bool delivered = true;
    for (const trace::Request &request : trace::Requests()) {
        for (std::size_t i = 0; i < request.bytes.size(); ++i) {
            delivered = WriteByte(fd, request.bytes[i]) && delivered;
            if (i + 1 < request.bytes.size()) {
                if (request.paced) {
                    WaitMs(trace::PacedByteGapMs);
                }
            } else {
                WaitMs(trace::RequestGapMs);
            }
        }
    }
    (void)close(fd); // nothing was asked of it but the bytes, all written
    if (!delivered) {
        (void)std::fprintf(stderr, "pacing_floor: a write to %s failed\n", argv[1]);
        return 1;
    }
    return 0;
}
