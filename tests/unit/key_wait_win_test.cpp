// The Windows key wait's logic against a fake console input: what was
// pressed during the run is discarded, one key pressed afterwards ends the
// wait and is taken whole, Ctrl+C and Ctrl+Break as control events end it
// too, and the console mode is put back whatever ended it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_console.h"
#include "platform/key_wait_win.h"

namespace {

using fakeconsole::KeyDown;
using fakeconsole::KeyUp;
using fakeconsole::Step;

constexpr DWORD CookedMode = 0x01F7; // line input, echo, processed input and more
constexpr unsigned VirtualKeyZ = 0x5A;

Step Records(std::vector<INPUT_RECORD> records)
{
    return Step{std::move(records), false, 0};
}

Step Control(DWORD control)
{
    return Step{{}, true, control};
}

// The characters of the key presses among the records, "(vk)" for keys
// without one.
std::string Presses(const std::vector<INPUT_RECORD> &records)
{
    std::string presses;
    for (const INPUT_RECORD &record : records) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            const unsigned unit = static_cast<unsigned>(record.Event.KeyEvent.uChar.UnicodeChar);
            presses += unit != 0 ? (unit < 0x80 ? std::string(1, static_cast<char>(unit)) : "U+" + std::to_string(unit))
                                 : "(vk)";
            presses += ' ';
        }
    }
    return presses;
}

TEST(WindowsKeyWait, EndsOnAKeyPressedAfterTheTraceOrOnCtrlBreakAndPutsTheModeBack)
{
    const struct {
        const char *name;
        std::vector<INPUT_RECORD> pending; // pressed during the run
        std::vector<Step> steps;           // the user's doing during the wait
        const char *taken;                 // key presses the wait read
        std::size_t stepsLeft;             // for the shell afterwards
    } cases[] = {
        {"keys pressed during the run are discarded",
         {KeyDown('x'), KeyUp('x'), KeyDown('\r')},
         {Records({KeyDown('k'), KeyUp('k')}), Records({KeyDown('z')})},
         "k ",
         1},
        {"a release or a modifier alone does not count",
         {},
         {Records({KeyUp('q')}), Records({KeyDown(0, VK_SHIFT)}), Records({KeyDown(0, VK_F1)}),
          Records({KeyDown('z')})},
         "(vk) (vk) ",
         1},
        {"a surrogate pair is taken whole",
         {},
         {Records({KeyDown(0xD83D)}), Records({KeyUp(0xD83D), KeyDown(0xDE42)}), Records({KeyDown('z')})},
         "U+55357 U+56898 ",
         1},
        {"Ctrl+Break ends the wait", {}, {Control(CTRL_BREAK_EVENT), Records({KeyDown('z')})}, "", 1},
        {"Ctrl+C as a control event ends the wait", {}, {Control(CTRL_C_EVENT), Records({KeyDown('z')})}, "", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fakeconsole::Reset(CookedMode);
        auto &console = fakeconsole::Console();
        console.buffer.assign(c.pending.begin(), c.pending.end());
        console.steps.assign(c.steps.begin(), c.steps.end());
        WaitForKeyOnConsole(fakeconsole::Input(), CookedMode, fakeconsole::StopEvent());
        EXPECT_EQ(Presses(console.taken), c.taken);
        EXPECT_EQ(console.steps.size(), c.stepsLeft);
        EXPECT_TRUE(console.buffer.empty()) << "left for the shell";
        EXPECT_EQ(Presses(console.discarded), Presses(c.pending));
        // The program goes on to exit 0: nothing ended it.
        EXPECT_FALSE(console.endedByDefaultHandler);
        EXPECT_FALSE(console.waitedWithoutEnd);
        EXPECT_EQ(console.mode, CookedMode);
        EXPECT_EQ(console.handler, nullptr);
    }
}

TEST(WindowsKeyWait, ControlEventsTheWaitCannotTakePutTheModeBackAndEndTheProcessAsBefore)
{
    const struct {
        DWORD control;
        HANDLE stop;
    } cases[] = {
        {CTRL_CLOSE_EVENT, fakeconsole::StopEvent()},
        {CTRL_LOGOFF_EVENT, fakeconsole::StopEvent()},
        {CTRL_SHUTDOWN_EVENT, fakeconsole::StopEvent()},
        // No stop event could be made: a break handled would end nothing.
        {CTRL_BREAK_EVENT, nullptr},
        {CTRL_C_EVENT, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.control << (c.stop == nullptr ? " without a stop event" : ""));
        fakeconsole::Reset(CookedMode);
        fakeconsole::Console().steps = {Control(c.control)};
        WaitForKeyOnConsole(fakeconsole::Input(), CookedMode, c.stop);
        EXPECT_TRUE(fakeconsole::Console().endedByDefaultHandler);
        EXPECT_EQ(fakeconsole::Console().modeAfterControl, std::vector<DWORD>{CookedMode});
    }
}

TEST(WindowsKeyWait, WaitsOnTheKeyAloneWithoutAStopEvent)
{
    fakeconsole::Reset(CookedMode);
    fakeconsole::Console().steps = {Records({KeyDown('k')})};
    WaitForKeyOnConsole(fakeconsole::Input(), CookedMode, nullptr);
    EXPECT_EQ(Presses(fakeconsole::Console().taken), "k ");
    EXPECT_EQ(fakeconsole::Console().mode, CookedMode);
}

} // namespace
