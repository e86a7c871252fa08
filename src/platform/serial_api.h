// The Win32 serial-port interface the program is written against: on
// Windows <windows.h> itself, elsewhere the subset that the POSIX shim
// provides. Every call reports success as a nonzero BOOL; on failure
// GetLastError() gives the Win32 code that the same failure gives on Windows.
#ifndef COMTRACE_PLATFORM_SERIAL_API_H
#define COMTRACE_PLATFORM_SERIAL_API_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// timeBeginPeriod and timeEndPeriod (winmm), left out by WIN32_LEAN_AND_MEAN.
#include <mmsystem.h>
#else
#include "platform/win32_over_posix/win32_serial.h"
#endif

#endif
