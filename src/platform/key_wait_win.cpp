#include "platform/key_wait_win.h"

#include <atomic>

// Older SDKs lack the name; clearing a bit an older console never sets is
// harmless.
#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif

namespace {

// The low half of a surrogate pair follows its high half at once; how long
// to wait for it, and how many other events (the high half's release) may
// come between them.
constexpr DWORD SurrogateGapMs = 50;
constexpr int MaxEventsBeforeLowHalf = 4;

// The input mode to put back, also from the control handler, and the event
// that ends the wait.
HANDLE KeyInput = INVALID_HANDLE_VALUE;
DWORD SavedMode = 0;
std::atomic<bool> ModeSaved{false};
HANDLE StopWait = nullptr;

bool IsFunctionOrCursorKey(WORD key)
{
    return (key >= VK_F1 && key <= VK_F24) || (key >= VK_PRIOR && key <= VK_DOWN) || key == VK_INSERT ||
           key == VK_DELETE;
}

// A press that yields a character, or a function or cursor key. Releases,
// modifiers alone (they yield no character) and mouse, focus, size and menu
// events do not count.
bool IsKeyPress(const INPUT_RECORD &event)
{
    if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown) {
        return false;
    }
    return event.Event.KeyEvent.uChar.UnicodeChar != 0 || IsFunctionOrCursorKey(event.Event.KeyEvent.wVirtualKeyCode);
}

bool IsHighSurrogate(const INPUT_RECORD &event)
{
    const auto unit = static_cast<WORD>(event.Event.KeyEvent.uChar.UnicodeChar);
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogatePress(const INPUT_RECORD &event)
{
    const auto unit = static_cast<WORD>(event.Event.KeyEvent.uChar.UnicodeChar);
    return IsKeyPress(event) && unit >= 0xDC00 && unit <= 0xDFFF;
}

// Reads up to the press of a surrogate pair's low half, so that a
// character outside the Basic Multilingual Plane counts as one key.
void TakeLowSurrogate(HANDLE input)
{
    for (int i = 0; i < MaxEventsBeforeLowHalf; ++i) {
        INPUT_RECORD event = {};
        DWORD got = 0;
        if (WaitForSingleObject(input, SurrogateGapMs) != WAIT_OBJECT_0 || !ReadConsoleInputW(input, &event, 1, &got) ||
            (got == 1 && IsLowSurrogatePress(event))) {
            return;
        }
    }
}

} // namespace

BOOL WINAPI OnControlDuringKeyWait(DWORD controlType)
{
    // Without a stop event nothing would end the wait: the break is left to
    // the default handler, as when no wait is running.
    if ((controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT) && StopWait != nullptr) {
        (void)SetEvent(StopWait); // the wait puts the mode back as after a key
        return TRUE;
    }
    if (ModeSaved.load()) {
        (void)SetConsoleMode(KeyInput, SavedMode);
    }
    return FALSE; // the default handler still ends the process
}

void WaitForKeyOnConsole(HANDLE input, DWORD mode, HANDLE stop)
{
    KeyInput = input;
    SavedMode = mode;
    StopWait = stop;
    ModeSaved.store(true);
    const bool handlerAdded = SetConsoleCtrlHandler(OnControlDuringKeyWait, TRUE) != 0;

    // Without processed input Ctrl+C is an ordinary key; without virtual
    // terminal input a cursor key stays one event instead of an escape
    // sequence whose tail would be left for the shell.
    const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                                                 ENABLE_VIRTUAL_TERMINAL_INPUT);
    // Should the mode not take, the events can still be read: wait all the same.
    (void)SetConsoleMode(input, raw);
    // Keys pressed during the run would end the wait at once, and a window
    // opened for the run would close with the trace in it. Should the
    // discarding fail, the wait goes on all the same.
    (void)FlushConsoleInputBuffer(input);
    const HANDLE waitables[] = {input, stop};
    const DWORD waitableCount = stop != nullptr ? 2 : 1;
    for (;;) {
        if (WaitForMultipleObjects(waitableCount, waitables, FALSE, INFINITE) != WAIT_OBJECT_0) {
            break; // Ctrl+C or Ctrl+Break, or a wait that failed
        }
        INPUT_RECORD event = {};
        DWORD got = 0;
        if (!ReadConsoleInputW(input, &event, 1, &got)) {
            break; // an input that cannot be read ends the wait
        }
        if (got == 1 && IsKeyPress(event)) {
            if (IsHighSurrogate(event)) {
                TakeLowSurrogate(input);
            }
            break;
        }
    }

    // What came with the key is not left for the shell. Should any of this
    // fail there is nothing left to try: the run is over.
    (void)FlushConsoleInputBuffer(input);
    (void)SetConsoleMode(input, mode);
    ModeSaved.store(false);
    if (handlerAdded) {
        (void)SetConsoleCtrlHandler(OnControlDuringKeyWait, FALSE);
    }
}
