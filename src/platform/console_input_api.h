// The Win32 console-input interface the Windows key wait is written
// against: on Windows <windows.h> itself; elsewhere only declarations of the
// subset it uses, which the fake console in tests/support provides, so that
// the key wait's logic is tested on any system.
#ifndef COMTRACE_PLATFORM_CONSOLE_INPUT_API_H
#define COMTRACE_PLATFORM_CONSOLE_INPUT_API_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/serial_api.h"

#define WINAPI
typedef WORD WCHAR; // UTF-16 code units, as on Windows
typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD controlType);

#define INFINITE 0xFFFFFFFFu
#define KEY_EVENT 0x0001u
#define MOUSE_EVENT 0x0002u
#define ENABLE_PROCESSED_INPUT 0x0001u
#define ENABLE_LINE_INPUT 0x0002u
#define ENABLE_ECHO_INPUT 0x0004u
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u
#define VK_PRIOR 0x21u
#define VK_DOWN 0x28u
#define VK_INSERT 0x2Du
#define VK_DELETE 0x2Eu
#define VK_SHIFT 0x10u
#define VK_F1 0x70u
#define VK_F24 0x87u

struct KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        char AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
};

struct INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
    } Event;
};

BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);
BOOL ReadConsoleInputW(HANDLE console, INPUT_RECORD *events, DWORD length, LPDWORD read);
BOOL FlushConsoleInputBuffer(HANDLE console);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
BOOL SetEvent(HANDLE event);
// WaitForSingleObject comes with the serial interface.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL waitAll, DWORD milliseconds);
#endif

#endif
