// The line settings a Win32 driver presents for a port that nobody has
// configured yet. Bring-up writes them when the port's own settings cannot
// be read, and the POSIX layer presents them for what termios cannot hold,
// so both start from the same record.
#ifndef COMTRACE_PLATFORM_FRESH_PORT_SETTINGS_H
#define COMTRACE_PLATFORM_FRESH_PORT_SETTINGS_H

#include "platform/serial_api.h"

// Binary, DTR and RTS on, no flow control of any kind, the usual XON/XOFF
// characters (distinct, so a driver accepts the record) and queue limits.
inline DCB FreshPortSettings()
{
    DCB settings = {};
    settings.DCBlength = sizeof(DCB);
    settings.fBinary = 1;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.XonLim = 2048;
    settings.XoffLim = 512;
    settings.XonChar = 0x11;
    settings.XoffChar = 0x13;
    return settings;
}

#endif
