// The console on Windows: standard output for the trace, the console input
// buffer for the final key press.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/console.h"
#include "platform/key_wait_win.h"

#include <algorithm>
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

// How much of the trace is turned into CR LF text at a time, and room for
// the one line that says the trace could not be written.
constexpr std::size_t TextPieceSize = 4096;
constexpr std::size_t TraceFailureLineSize = 256;
// A pipe in no-wait mode takes nothing while its reader lags; the writer
// looks again this often.
constexpr DWORD FullPipeRetryMs = 10;

// Why standard output failed for good, as GetLastError gave it.
DWORD OutputError = 0;

// Writes size bytes to handle, continuing after partial writes; returns how
// many were written, fewer than size only when a write failed, whose error
// is then in OutputError.
DWORD WriteWhole(HANDLE handle, const char *bytes, DWORD size)
{
    DWORD done = 0;
    while (done < size) {
        DWORD wrote = 0;
        if (!WriteFile(handle, bytes + done, size - done, &wrote, nullptr)) {
            OutputError = GetLastError();
            break;
        }
        if (wrote == 0) {
            Sleep(FullPipeRetryMs);
        }
        done += wrote;
    }
    return done;
}

// How many bytes of the trace text the first `written` bytes of its CR LF
// form hold.
std::size_t TextBytesIn(const char *text, DWORD written)
{
    std::size_t count = 0;
    for (DWORD outputBytes = 0;;) {
        const DWORD size = text[count] == '\n' ? 2 : 1;
        if (outputBytes + size > written) {
            return count;
        }
        outputBytes += size;
        ++count;
    }
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

std::size_t WriteConsoleText(const char *text, std::size_t length)
{
    // WriteFile itself, whose every result is looked at: the C runtime's
    // fwrite throws away what a failed write held and goes on with the next
    // message. Line ends become CR LF, as the runtime's text mode made them.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < length) {
        char piece[2 * TextPieceSize];
        std::size_t pieceSize = 0;
        std::size_t taken = 0;
        while (done + taken < length && taken < TextPieceSize) {
            if (text[done + taken] == '\n') {
                piece[pieceSize++] = '\r';
            }
            piece[pieceSize++] = text[done + taken++];
        }
        const DWORD wrote = WriteWhole(output, piece, static_cast<DWORD>(pieceSize));
        if (wrote < pieceSize) {
            return done + TextBytesIn(text + done, wrote);
        }
        done += taken;
    }
    return done;
}

void ReportConsoleFailure(std::size_t writtenCount)
{
    char line[TraceFailureLineSize];
    const int length =
        std::snprintf(line, sizeof line,
                      "comtrace: the trace stops after %llu bytes: writing standard output failed "
                      "(error %lu); the dialogue runs to its end\r\n",
                      static_cast<unsigned long long>(writtenCount), static_cast<unsigned long>(OutputError));
    if (length > 0) {
        const DWORD size = static_cast<DWORD>(std::min(static_cast<std::size_t>(length), sizeof line - 1));
        // A standard error that fails too: nothing else to tell.
        (void)WriteWhole(GetStdHandle(STD_ERROR_HANDLE), line, size);
    }
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
