// Time: Sleep on the monotonic clock, the performance counter, and the timer
// resolution calls, which have nothing to change here.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include <cerrno>
#include <ctime>

#ifdef __linux__
#include <sys/prctl.h>
#endif

void Sleep(DWORD milliseconds)
{
#ifdef __linux__
    // The default timer slack adds up to 50 us to every wait; the pacing of
    // the dialogue wants each wait as close to its nominal time as possible.
    // The program has one thread, so a plain flag suffices.
    static bool SlackSet = false;
    if (!SlackSet) {
        SlackSet = true;
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // without it the waits are only a little longer
    }
#endif
    timespec deadline{};
    (void)clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline survives signals without drifting.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency)
{
    frequency->QuadPart = 1000000000LL; // the counter counts nanoseconds
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count)
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return win32_over_posix::FailWithErrno();
    }
    count->QuadPart = static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    return TRUE;
}

MMRESULT timeBeginPeriod(UINT /*period*/)
{
    return TIMERR_NOERROR; // Sleep already waits on the monotonic clock to the microsecond
}

MMRESULT timeEndPeriod(UINT /*period*/)
{
    return TIMERR_NOERROR;
}
