// What the shim's files share, behind the public face in win32_serial.h:
// the last error and its translation from errno, the handle that is a
// descriptor, the one open port, and the translation between a DCB and
// termios. One file per concern uses it: errors_and_handles.cpp,
// open_and_close.cpp (with exclusive_open.cpp), line_settings.cpp,
// queues_and_io.cpp and time.cpp.
#ifndef COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_INTERNAL_H
#define COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_INTERNAL_H

#include "platform/win32_over_posix/win32_serial.h"

#include <termios.h>

namespace win32_over_posix {

// The Win32 error code for an errno value; ERROR_GEN_FAILURE for any other.
DWORD Win32ErrorFor(int error);
// Sets the last error from errno, or to the code; both return FALSE.
BOOL FailWithErrno();
BOOL FailWith(DWORD code);

// A HANDLE is the file descriptor itself: INVALID_HANDLE_VALUE is -1.
int DescriptorOf(HANDLE port);
HANDLE HandleOf(int fd);

// ioctl() retried on EINTR; its result.
int IoctlRetrying(int fd, unsigned long request, void *argument);
// tcgetattr() and tcsetattr(TCSANOW); FALSE with the last error set.
BOOL GetTermios(int fd, termios &settings);
BOOL SetTermios(int fd, const termios &settings);

// The one open port (-1 when none is), and what a Win32 driver remembers of
// its settings but termios cannot hold.
extern int OpenPortFd;
extern DCB OpenPortSettings;

// Turns the line into what the record describes, leaving alone what the
// record does not cover: binary mode (every byte passes unaltered both
// ways), the receiver on and not waiting for carrier, the speed, byte size,
// parity, stop bits, flow control and XON/XOFF characters. False, with the
// line unchanged, when termios cannot represent the record.
bool TermiosFromDcb(const DCB &settings, termios &line);
// Fills the record's fields that termios holds from the line; leaves the
// others (DTR and RTS control, queue limits, event characters) as they are.
void DcbFromTermios(const termios &line, DCB &settings);

} // namespace win32_over_posix

#endif
