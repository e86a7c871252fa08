// The line settings a Win32 driver presents for a port that nobody has
// configured yet. Bring-up writes them when the port's own settings cannot
// be read, and the POSIX shim presents them for what termios cannot hold,
// so both start from the same record.
//
// The header includes nothing, so that the shim beneath the serial
// interface and bring-up above it can both use it: the record is whichever
// DCB the includer has (<windows.h>'s or the shim's), and the values are the
// numbers Win32 defines for the constants named beside them.
#ifndef COMTRACE_SERIAL_FRESH_PORT_SETTINGS_H
#define COMTRACE_SERIAL_FRESH_PORT_SETTINGS_H

// Binary, DTR and RTS on, no flow control of any kind, the usual XON/XOFF
// characters (distinct, so a driver accepts the record) and queue limits.
template <typename Dcb> Dcb FreshPortSettings()
{
    Dcb settings = {};
    settings.DCBlength = sizeof(Dcb);
    settings.fBinary = 1;
    settings.fDtrControl = 1; // DTR_CONTROL_ENABLE
    settings.fRtsControl = 1; // RTS_CONTROL_ENABLE
    settings.XonLim = 2048;
    settings.XoffLim = 512;
    settings.XonChar = 0x11;
    settings.XoffChar = 0x13;
    return settings;
}

#endif
