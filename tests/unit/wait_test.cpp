// The paced waits against a Sleep that ends late or short and a performance
// counter that may be missing or stand still, all on the fake's clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "port/wait.h"
#include "program.h"

namespace {

constexpr std::int64_t TickUs = 15625; // Windows' default timer tick

std::uint64_t ClockUs()
{
    return fake::Port().now * 1000 + fake::Port().nowUs;
}

std::vector<std::uint64_t> SleepRequests()
{
    const std::vector<fake::Call> sleeps = fake::CallsTo("Sleep");
    std::vector<std::uint64_t> requests(sleeps.size());
    std::transform(sleeps.begin(), sleeps.end(), requests.begin(),
                   [](const fake::Call &call) { return call.args.at(0); });
    return requests;
}

TEST(Wait, TopsUpAShortSleepAndNeverEndsEarlyWhileTheCounterCanTell)
{
    const struct {
        const char *name;
        std::int64_t frequency;
        bool counterStopped;
        std::deque<std::int64_t> sleepErrorsUs;
        std::vector<std::uint64_t> requests;
        std::uint64_t elapsedUs;
    } cases[] = {
        {"exact", 10000000, false, {}, {50}, 50000},
        {"short by a tick", 10000000, false, {-TickUs}, {50, 16}, 50375},
        {"short by a tick twice", 10000000, false, {-TickUs, -TickUs}, {50, 16, 16}, 50750},
        {"short by less than a millisecond", 10000000, false, {-400}, {50, 1}, 50600},
        {"long by a tick, which nothing can undo", 10000000, false, {TickUs}, {50}, 65625},
        {"short, on a counter of an odd frequency", 3579545, false, {-TickUs}, {50, 16}, 50375},
        {"short, on a counter that counts nanoseconds", 1000000000, false, {-TickUs}, {50, 16}, 50375},
        // Nothing to measure with: one plain Sleep, however it ends.
        {"counter not available", 0, false, {-TickUs}, {50}, 50000 - TickUs},
        {"counter standing still", 10000000, true, {-TickUs}, {50}, 50000 - TickUs},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::Port().counterFrequency = c.frequency;
        fake::Port().counterStopped = c.counterStopped;
        fake::Port().sleepErrorsUs = c.sleepErrorsUs;
        WaitMs(50);
        EXPECT_EQ(SleepRequests(), c.requests);
        EXPECT_EQ(ClockUs(), c.elapsedUs);
    }
}

TEST(Wait, ACounterSlowerThanItClaimsCannotStretchAWaitBeyondTwiceItsLength)
{
    for (const std::int64_t ratePercent : {50, 10, 1}) {
        SCOPED_TRACE(ratePercent);
        fake::Reset();
        fake::Port().counterRatePercent = ratePercent;
        WaitMs(50);
        EXPECT_GE(ClockUs(), 50000u);
        EXPECT_LE(ClockUs(), 100000u);
    }
}

TEST(Wait, HoldsTheFineTimerFromTheFirstWaitToTheLastAndNotDuringTheKeyWait)
{
    fake::Reset();
    (void)RunProgram();
    const std::vector<fake::Call> &calls = fake::Port().calls;
    std::vector<std::string> names(calls.size());
    std::transform(calls.begin(), calls.end(), names.begin(), [](const fake::Call &call) { return call.name; });
    const auto begin = std::find(names.begin(), names.end(), "timeBeginPeriod");
    const auto end = std::find(names.begin(), names.end(), "timeEndPeriod");
    const auto firstSleep = std::find(names.begin(), names.end(), "Sleep");
    const auto lastSleep = std::find(names.rbegin(), names.rend(), "Sleep").base();
    const auto keyWait = std::find(names.begin(), names.end(), "WaitForKey");
    ASSERT_TRUE(begin != names.end() && end != names.end() && keyWait != names.end());
    EXPECT_LT(begin, firstSleep);
    EXPECT_LE(lastSleep, end);
    EXPECT_LT(end, keyWait);
    EXPECT_EQ(fake::CallsTo("timeBeginPeriod").at(0).args.at(0), 1u);
    EXPECT_EQ(fake::Port().finePeriodsHeld, 0);
}

} // namespace
