// The console on Windows: standard output for the trace, the console input
// buffer for the final key press.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/console.h"
#include "platform/key_wait_win.h"

#include <cstdio>

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

bool IsConsole(HANDLE handle, DWORD &mode)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
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
    // Set by Ctrl+C or Ctrl+Break; without it those end the process as
    // before, and a key still ends the wait.
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForKeyOnConsole(input, mode, stop);
    if (stop != nullptr) {
        (void)CloseHandle(stop);
    }
}
