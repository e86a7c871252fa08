#include "fake_console.h"

#include <cstdint>

namespace fakeconsole {

namespace {

State TheConsole;
HANDLE const TheInput = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x1C0));
HANDLE const TheStop = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x2C0));

INPUT_RECORD Key(unsigned unit, WORD virtualKey, bool down)
{
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
    record.Event.KeyEvent.uChar.UnicodeChar = static_cast<WCHAR>(unit);
    return record;
}

// Lets the user's next step happen; false when there is none.
bool NextStep()
{
    if (TheConsole.steps.empty()) {
        return false;
    }
    const Step step = TheConsole.steps.front();
    TheConsole.steps.pop_front();
    if (!step.isControl) {
        TheConsole.buffer.insert(TheConsole.buffer.end(), step.records.begin(), step.records.end());
        return true;
    }
    if (TheConsole.handler == nullptr || !TheConsole.handler(step.control)) {
        TheConsole.endedByDefaultHandler = true;
    }
    TheConsole.modeAfterControl.push_back(TheConsole.mode);
    return true;
}

} // namespace

State &Console()
{
    return TheConsole;
}

void Reset(DWORD mode)
{
    TheConsole = State{};
    TheConsole.mode = mode;
}

HANDLE Input()
{
    return TheInput;
}

HANDLE StopEvent()
{
    return TheStop;
}

INPUT_RECORD KeyDown(unsigned unit, WORD virtualKey)
{
    return Key(unit, virtualKey, true);
}

INPUT_RECORD KeyUp(unsigned unit, WORD virtualKey)
{
    return Key(unit, virtualKey, false);
}

} // namespace fakeconsole

using fakeconsole::TheConsole;

BOOL GetConsoleMode(HANDLE console, LPDWORD mode)
{
    *mode = TheConsole.mode;
    return console == fakeconsole::TheInput ? TRUE : FALSE;
}

BOOL SetConsoleMode(HANDLE console, DWORD mode)
{
    if (console != fakeconsole::TheInput) {
        return FALSE;
    }
    TheConsole.mode = mode;
    return TRUE;
}

BOOL ReadConsoleInputW(HANDLE console, INPUT_RECORD *events, DWORD length, LPDWORD read)
{
    if (console != fakeconsole::TheInput || length == 0) {
        return FALSE;
    }
    if (TheConsole.buffer.empty() && !fakeconsole::NextStep()) {
        TheConsole.waitedWithoutEnd = true; // a real read would block for ever
        return FALSE;
    }
    if (TheConsole.buffer.empty()) {
        return FALSE; // a control event came instead; the process is gone
    }
    events[0] = TheConsole.buffer.front();
    TheConsole.buffer.pop_front();
    TheConsole.taken.push_back(events[0]);
    *read = 1;
    return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE console)
{
    if (console != fakeconsole::TheInput) {
        return FALSE;
    }
    TheConsole.discarded.insert(TheConsole.discarded.end(), TheConsole.buffer.begin(), TheConsole.buffer.end());
    TheConsole.buffer.clear();
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    TheConsole.handler = add ? handler : nullptr;
    return TRUE;
}

BOOL SetEvent(HANDLE event)
{
    TheConsole.stopSet = TheConsole.stopSet || event == fakeconsole::TheStop;
    return event == fakeconsole::TheStop ? TRUE : FALSE;
}

// The input is signalled while records wait in it; a wait with a time limit
// lets only records already on their way arrive.
DWORD WaitForSingleObject(HANDLE object, DWORD /*milliseconds*/)
{
    if (object != fakeconsole::TheInput) {
        return WAIT_FAILED;
    }
    if (TheConsole.buffer.empty() && !TheConsole.steps.empty() && !TheConsole.steps.front().isControl) {
        (void)fakeconsole::NextStep();
    }
    return TheConsole.buffer.empty() ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL /*waitAll*/, DWORD /*milliseconds*/)
{
    for (;;) {
        for (DWORD i = 0; i < count; ++i) {
            if ((objects[i] == fakeconsole::TheInput && !TheConsole.buffer.empty()) ||
                (objects[i] == fakeconsole::TheStop && TheConsole.stopSet)) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (TheConsole.endedByDefaultHandler) {
            return WAIT_FAILED; // the process is gone
        }
        if (!fakeconsole::NextStep()) {
            TheConsole.waitedWithoutEnd = true;
            return WAIT_FAILED;
        }
    }
}
