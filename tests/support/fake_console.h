// A fake of the Windows console input for the key wait's logic: an input
// buffer, what the user does next (records arriving, or a control event the
// system hands to the registered handler), the console mode and the
// records the program took.
#ifndef COMTRACE_TESTS_SUPPORT_FAKE_CONSOLE_H
#define COMTRACE_TESTS_SUPPORT_FAKE_CONSOLE_H

#include <deque>
#include <vector>

#include "platform/console_input_api.h"

namespace fakeconsole {

// One thing the user does while the program waits: records arrive in the
// buffer, or (with control set) a control event is raised.
struct Step {
    std::vector<INPUT_RECORD> records;
    bool isControl = false;
    DWORD control = 0;
};

struct State {
    std::deque<INPUT_RECORD> buffer;
    std::deque<Step> steps;
    DWORD mode = 0;
    PHANDLER_ROUTINE handler = nullptr;
    bool stopSet = false;
    // Records read by the program, and records it discarded.
    std::vector<INPUT_RECORD> taken;
    std::vector<INPUT_RECORD> discarded;
    // The console mode once each control event had been handled, and
    // whether a handler left it to the default one, which ends the process.
    std::vector<DWORD> modeAfterControl;
    bool endedByDefaultHandler = false;
    // Set when the program would have waited for ever.
    bool waitedWithoutEnd = false;
};

State &Console();
void Reset(DWORD mode);

HANDLE Input();
HANDLE StopEvent();

INPUT_RECORD KeyDown(unsigned unit, WORD virtualKey = 0);
INPUT_RECORD KeyUp(unsigned unit, WORD virtualKey = 0);

} // namespace fakeconsole

#endif
