// The program's frame around the serial port: bring-up and release of COM1.
//
// Each step prints a "(+) " line on success or a "(-) " line on failure and
// the run carries on whatever happened; nothing here ends the program.
#ifndef COMTRACE_PORT_BRINGUP_H
#define COMTRACE_PORT_BRINGUP_H

#include "platform/serial_api.h"

// The port name; nothing changes it.
extern const char PortName[];

// Opens, purges, clears a break, applies 9600 8N1 without hardware or
// software flow control, sets time-outs under which reads and writes never
// wait, raises DTR and RTS and waits 1000 ms for the device to settle.
// Sets PortHandle and returns it: the port, or INVALID_HANDLE_VALUE when it
// could not be opened.
HANDLE BringUpPort();

// Closes the port once any pending write has been finished; prints the
// outcome. A port that never opened is not handed to the system and fails
// with ERROR_INVALID_HANDLE.
void ClosePort(HANDLE port);

// Prints an error code, taken from GetLastError by the caller before it
// printed anything, and, for the codes it knows, the system's description.
void ReportLastError(DWORD code);

#endif
