#include "port/bringup.h"

#include <algorithm>
#include <iterator>

#include "output/trace.h"
#include "port/port_io.h"
#include "port/wait.h"
#include "serial/fresh_port_settings.h"

const char PortName[] = "COM1";

namespace {

constexpr DWORD SettleMs = 1000;

// Reads take only bytes already waiting and return at once with them;
// writes have no total time-out, so none is cut short. A port keeps the
// time-outs the last program that used it set, so they are set here.
const COMMTIMEOUTS PortTimeouts = {MAXDWORD, 0, 0, 0, 0};

void ApplyLineSettings(DCB &settings)
{
    settings.BaudRate = 9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = 1;
    settings.fOutxCtsFlow = 0;
    settings.fOutxDsrFlow = 0;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = 0;
    settings.fNull = 0;
    settings.fRtsControl = RTS_CONTROL_DISABLE;
    settings.fAbortOnError = 0;
    // A port keeps the settings the last program that used it left, and
    // software flow control would swallow the XON and XOFF bytes of binary
    // replies and hold the output after an XOFF.
    settings.fOutX = 0;
    settings.fInX = 0;
}

struct ErrorText {
    DWORD code;
    const char *text;
};

const ErrorText KnownErrors[] = {
    {ERROR_FILE_NOT_FOUND, "(The system cannot find the file specified)\n"},
    {ERROR_ACCESS_DENIED, "(Access is denied)\n"},
    {ERROR_WRITE_FAULT, "(The system cannot write to the specified device)\n"},
    {ERROR_INVALID_PARAMETER, "(The parameter is incorrect)\n"},
    {ERROR_NOACCESS, "(Invalid access to memory location)\n"},
};

} // namespace

void ReportLastError(DWORD code)
{
    Trace("(-) GetLastError() return %i ", static_cast<int>(code));
    const ErrorText *known = std::find_if(std::begin(KnownErrors), std::end(KnownErrors),
                                          [code](const ErrorText &entry) { return entry.code == code; });
    Trace("%s", known != std::end(KnownErrors) ? known->text : "\n");
}

HANDLE BringUpPort()
{
    const HANDLE port = CreateFileA(PortName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    PortHandle = port;
    if (port == INVALID_HANDLE_VALUE) {
        Trace("(-) %s initialization failed\n", PortName);
    } else {
        Trace("(+) %s initialized\n", PortName);
    }

    if (PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        Trace("(+) Discarded all characters from the output and input buffer\n");
    } else {
        Trace("(-) PurgeComm() failed\n");
    }

    if (ClearCommBreak(port)) {
        Trace("(+) Restored character transmission and placed the transmission line in a nonbreak state\n");
    } else {
        // Taken before anything is printed: a console write may set its own.
        const DWORD error = GetLastError();
        Trace("(-) ClearCommBreak() failed\n");
        ReportLastError(error);
    }

    DCB settings = FreshPortSettings<DCB>();
    if (GetCommState(port, &settings)) {
        Trace("(+) Retrieved the current control settings for %s\n", PortName);
    } else {
        // A failed read may have left anything in the record.
        settings = FreshPortSettings<DCB>();
        Trace("(-) GetCommState() failed\n");
    }
    ApplyLineSettings(settings);
    if (SetCommState(port, &settings)) {
        Trace("(+) Reinitialized all hardware and control settings \n");
    } else {
        Trace("(-) SetCommState() failed\n");
    }
    // Prints nothing: the step is not one of the trace's. A port that
    // refuses keeps its own time-outs, and only a short write time-out among
    // them would show, as bytes missing on the line.
    COMMTIMEOUTS timeouts = PortTimeouts;
    (void)SetCommTimeouts(port, &timeouts);

    if (PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR)) {
        Trace("(+) PurgeComm\n");
    } else {
        Trace("(-) PurgeComm() failed\n");
    }

    // Clearing errors and raising the lines report nothing: a port without
    // modem lines works all the same.
    DWORD errors = 0;
    COMSTAT status = {};
    (void)ClearCommError(port, &errors, &status);
    (void)ClearCommError(port, &errors, &status);
    (void)EscapeCommFunction(port, SETDTR);
    (void)EscapeCommFunction(port, SETRTS);

    WaitMs(SettleMs);
    return port;
}

void ClosePort(HANDLE port)
{
    FinishPendingWrite();
    // On Windows the invalid handle's value is also the current process's
    // pseudo-handle, which CloseHandle "closes" successfully: a port that
    // never opened must not be reported released.
    BOOL closed = FALSE;
    if (port == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        closed = CloseHandle(port);
    }
    if (closed) {
        Trace("(+) CloseHandle ok \n");
    } else {
        Trace("(-) CloseHandle() failed\n");
    }
}
