// The Win32 serial-port subset, provided over POSIX termios and ioctl.
//
// The same names, types, constants and semantics as <windows.h>, for the
// calls comtrace makes and nothing more: one port open at a time, "COMn"
// names only as /dev/ttyS<n-1> (any other name is a path), 5 to 8 data bits
// with none, odd or even parity and one or two stop bits (termios has no
// one and a half), SETDTR and SETRTS alone among the escape functions.
// A port presents the line settings it was left with, software
// flow control included, as a Windows port does. Time-outs are accepted but
// not applied: reads take what is waiting and writes hand their bytes over,
// which is what the program asks of them. The timer resolution calls change
// nothing: Sleep is exact here. Left out: every other kernel32 call, the
// \\.\COMn form of port names, CreateFileA's access, sharing and creation
// arguments (a port is always opened for reading and writing, exclusively),
// mark and space parity, setting a break, the XON/XOFF and line-lowering
// escapes, line-error reporting (the error word of ClearCommError is always
// 0), events, and waits on anything but an open port.
#ifndef COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_H
#define COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_H

#include <cstdint>

typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::uintptr_t ULONG_PTR;
typedef void *HANDLE;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// EscapeCommFunction codes.
#define SETRTS 3u
#define SETDTR 5u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_NOT_FOUND 1168u
#define ERROR_TIMEOUT 1460u
#define WAIT_TIMEOUT 258u

// The records keep their Win32 tag names, which are reserved identifiers in
// standard C++ but are what <windows.h> declares.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

// Internal holds the status of the operation (0 when it succeeded, else a
// Win32 error code) and InternalHigh the bytes it transferred.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// Opens a serial port ("COMn" is /dev/ttyS<n-1>; any other name is a path),
// never on a standard descriptor, and only when no other program has it:
// none holds the device open (as far as /proc shows; the process at a
// pty's master end is its device), none has its flock, and no UUCP lock
// file in /var/lock or /run/lock names a live process. Later openers are
// then refused (TIOCEXCL), root excepted. INVALID_HANDLE_VALUE on failure
// (error 5 when the port is held, 4 while another one is open).
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flags, HANDLE templateFile);
// Empties the input and/or output queue named by PURGE_* flags.
BOOL PurgeComm(HANDLE port, DWORD flags);
// Takes the line out of the break state; succeeds on a port that cannot
// send a break at all.
BOOL ClearCommBreak(HANDLE port);
// Fills the record with the port's current line settings.
BOOL GetCommState(HANDLE port, LPDCB settings);
// Applies the record's line settings; FALSE (87) when they cannot be represented.
BOOL SetCommState(HANDLE port, LPDCB settings);
// Fills the queue counts and reports no line errors; either pointer may be null.
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
// Raises DTR or RTS; FALSE (87) for any other function.
BOOL EscapeCommFunction(HANDLE port, DWORD function);
// Reads at most count bytes that are already waiting; never blocks. A read
// that took bytes succeeds, whatever happened after them.
BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
// Hands every byte to the port without waiting for transmission.
BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
// Gives the outcome of an operation started with this overlap record.
BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait);
// Cancels an operation still pending on the record; FALSE (1168) when none is.
BOOL CancelIoEx(HANDLE port, LPOVERLAPPED overlapped);
// Releases the port, its lock and its hold on later openers.
BOOL CloseHandle(HANDLE port);
// The calling thread's last error code.
DWORD GetLastError();
void SetLastError(DWORD code);
// Suspends the thread for at least the given time, on the monotonic clock.
void Sleep(DWORD milliseconds);

// Time-outs, timing and waiting on the port.

#define MAXDWORD 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu
#define TIMERR_NOERROR 0u

typedef unsigned int UINT;
typedef UINT MMRESULT;

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef union _LARGE_INTEGER {
    std::int64_t QuadPart;
} LARGE_INTEGER;
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// Keeps the port's time-outs; FALSE (6) on a handle that is not an open port.
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
// The monotonic clock in nanoseconds: a frequency of 10^9 counts per second.
BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER *count);
// An open port is always signalled (nothing is ever left pending);
// WAIT_FAILED (6) for anything else.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
// Accepted and ignored.
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);

#endif
