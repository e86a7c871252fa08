// The console on Windows: standard output for the trace, the console input
// buffer for the final key press.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/console.h"

#include <atomic>
#include <cstdio>

// Older SDKs lack the name; clearing a bit an older console never sets is
// harmless.
#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif

namespace {

// The console writer. Requests and turns are counted under the lock: the
// writer serves every request made before a turn begins, and an awaiting
// caller waits until a turn begun after its request has ended.
CRITICAL_SECTION WriterLock;
CONDITION_VARIABLE WriterWoken = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE WriterTurnEnded = CONDITION_VARIABLE_INIT;
unsigned long WriterRequests = 0;
unsigned long WriterRequestsServed = 0;
bool WriterStopping = false;
void (*WriterDrain)() = nullptr;
HANDLE WriterThread = nullptr;

DWORD WINAPI RunConsoleWriter(LPVOID /*unused*/)
{
    EnterCriticalSection(&WriterLock);
    for (;;) {
        while (WriterRequestsServed == WriterRequests && !WriterStopping) {
            (void)SleepConditionVariableCS(&WriterWoken, &WriterLock, INFINITE);
        }
        if (WriterRequestsServed == WriterRequests) {
            break; // stopping, and nothing asked for
        }
        const unsigned long serving = WriterRequests;
        LeaveCriticalSection(&WriterLock);
        WriterDrain();
        EnterCriticalSection(&WriterLock);
        WriterRequestsServed = serving;
        WakeAllConditionVariable(&WriterTurnEnded);
    }
    LeaveCriticalSection(&WriterLock);
    return 0;
}

// The input mode to put back, also from a control handler, which the system
// runs on a thread of its own.
HANDLE KeyInput = INVALID_HANDLE_VALUE;
DWORD SavedMode = 0;
std::atomic<bool> ModeSaved{false};

bool IsConsole(HANDLE handle, DWORD &mode)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Ctrl+Break, a closed window, logoff or shutdown end the process during the
// wait; the console it leaves behind must not stay in raw mode.
BOOL WINAPI RestoreModeOnControl(DWORD /*controlType*/)
{
    if (ModeSaved.load()) {
        (void)SetConsoleMode(KeyInput, SavedMode);
    }
    return FALSE; // the default handler still ends the process
}

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

} // namespace

bool PrepareConsole()
{
    // A write to a closed pipe fails on Windows without ending the process,
    // so only the flushing needs deciding here.
    DWORD mode = 0;
    return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE), mode);
}

void WriteConsoleText(const char *text, std::size_t length)
{
    // The C runtime's stdout stays in text mode: a redirected trace gets the
    // platform's CR LF line ends. Lost output is not the device's concern.
    (void)std::fwrite(text, 1, length, stdout);
    (void)std::fflush(stdout);
}

bool StartConsoleWriter(void (*drain)())
{
    InitializeCriticalSection(&WriterLock);
    WriterDrain = drain;
    WriterStopping = false;
    WriterThread = CreateThread(nullptr, 0, RunConsoleWriter, nullptr, 0, nullptr);
    if (WriterThread == nullptr) {
        DeleteCriticalSection(&WriterLock);
        return false;
    }
    return true;
}

void WakeConsoleWriter()
{
    EnterCriticalSection(&WriterLock);
    ++WriterRequests;
    WakeConditionVariable(&WriterWoken);
    LeaveCriticalSection(&WriterLock);
}

void AwaitConsoleWriter()
{
    EnterCriticalSection(&WriterLock);
    const unsigned long request = ++WriterRequests;
    WakeConditionVariable(&WriterWoken);
    while (WriterRequestsServed < request) {
        (void)SleepConditionVariableCS(&WriterTurnEnded, &WriterLock, INFINITE);
    }
    LeaveCriticalSection(&WriterLock);
}

void StopConsoleWriter()
{
    if (WriterThread == nullptr) {
        return;
    }
    AwaitConsoleWriter();
    EnterCriticalSection(&WriterLock);
    WriterStopping = true;
    WakeConditionVariable(&WriterWoken);
    LeaveCriticalSection(&WriterLock);
    // It ends once woken: nothing is left to write.
    (void)WaitForSingleObject(WriterThread, INFINITE);
    (void)CloseHandle(WriterThread);
    WriterThread = nullptr;
    DeleteCriticalSection(&WriterLock);
}

void WaitForKey()
{
    (void)std::fflush(stdout);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!IsConsole(input, mode)) {
        return; // redirected or detached: nobody to press a key
    }
    KeyInput = input;
    SavedMode = mode;
    ModeSaved.store(true);
    const bool handlerAdded = SetConsoleCtrlHandler(RestoreModeOnControl, TRUE) != 0;

    // Without processed input Ctrl+C is an ordinary key; without virtual
    // terminal input a cursor key stays one event instead of an escape
    // sequence whose tail would be left for the shell.
    const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                                                 ENABLE_VIRTUAL_TERMINAL_INPUT);
    // Should the mode not take, the events can still be read: wait all the same.
    (void)SetConsoleMode(input, raw);
    for (;;) {
        INPUT_RECORD event = {};
        DWORD got = 0;
        if (!ReadConsoleInputW(input, &event, 1, &got)) {
            break; // an input that cannot be read ends the wait
        }
        if (got == 1 && IsKeyPress(event)) {
            break;
        }
    }

    // Should either fail there is nothing left to try: the run is over.
    (void)SetConsoleMode(input, mode);
    ModeSaved.store(false);
    if (handlerAdded) {
        (void)SetConsoleCtrlHandler(RestoreModeOnControl, FALSE);
    }
}
