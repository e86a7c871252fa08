#include "port/wait.h"

#include <cstdint>

namespace {

constexpr UINT FineResolutionMs = 1;
constexpr std::int64_t MsPerSecond = 1000;

bool FineResolutionHeld = false;

// Whole milliseconds that cover the given counter ticks, rounded up so that
// a top-up never ends short of the deadline either.
DWORD MsCovering(std::int64_t ticks, std::int64_t frequency)
{
    return static_cast<DWORD>((ticks * MsPerSecond + frequency - 1) / frequency);
}

} // namespace

void BeginFineWaits()
{
    FineResolutionHeld = timeBeginPeriod(FineResolutionMs) == TIMERR_NOERROR;
}

void EndFineWaits()
{
    // Every granted request must be matched, or the system keeps the faster
    // timer (and its cost in power) after the program has moved on.
    if (FineResolutionHeld) {
        (void)timeEndPeriod(FineResolutionMs);
        FineResolutionHeld = false;
    }
}

void WaitMs(DWORD durationMs)
{
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&start)) {
        Sleep(durationMs);
        return;
    }
    const std::int64_t ticks =
        (static_cast<std::int64_t>(durationMs) * frequency.QuadPart + MsPerSecond - 1) / MsPerSecond;
    std::int64_t previous = start.QuadPart;
    DWORD request = durationMs;
    // What the top-ups may add in all: a counter that disagrees with Sleep by
    // that much (slow, or stopped) is not to be trusted with the wait.
    DWORD topUpBudgetMs = durationMs;
    for (;;) {
        Sleep(request);
        LARGE_INTEGER now = {};
        if (!QueryPerformanceCounter(&now) || now.QuadPart <= previous) {
            return;
        }
        previous = now.QuadPart;
        const std::int64_t elapsed = now.QuadPart - start.QuadPart;
        if (elapsed >= ticks) {
            return;
        }
        request = MsCovering(ticks - elapsed, frequency.QuadPart);
        if (request > topUpBudgetMs) {
            return;
        }
        topUpBudgetMs -= request;
    }
}
