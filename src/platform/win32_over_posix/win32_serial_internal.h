// What the shim's files share, behind the public face in win32_serial.h:
// the last error and its translation from errno, the handle that is a
// descriptor, the one open port, and the translation between a DCB and
// termios. One file per concern uses it: errors_and_handles.cpp,
// open_and_close.cpp (with exclusive_open.cpp, which looks for
// another program holding the device), line_settings.cpp,
// queues_and_io.cpp and time.cpp.
#ifndef COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_INTERNAL_H
#define COMTRACE_PLATFORM_WIN32_OVER_POSIX_WIN32_SERIAL_INTERNAL_H

#include "platform/win32_over_posix/win32_serial.h"

#include "holders/holders.h"

#include <cstddef>

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

// The longest path of a device or a lock file.
constexpr std::size_t DevicePathSize = 4096;

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

// The directories where UUCP lock files live.
extern const char *const LockDirectories[];
extern const std::size_t LockDirectoryCount;

// Why OpenPort refused a port another program has: an flock on the node
// that another open holds, or the first holder the holder rule found.
struct Refusal {
    bool byFlock;
    holders::Entry holder; // when not byFlock
};

// Opens the port as CreateFileA does, looking for lock files in the given
// directories.
HANDLE OpenPort(LPCSTR name, const char *const *lockDirectories, std::size_t directoryCount);
// The same, looking for holders in the places given (a root folder standing
// in for the system, for tests). When another program has the port it fails
// with ERROR_ACCESS_DENIED and, when refusal is not null, says why there.
HANDLE OpenPort(LPCSTR name, const holders::Places &places, Refusal *refusal);
// ERROR_SUCCESS when no other program has the device at path (open as fd)
// by the holder rule: no other process holds it open, as far as /proc
// shows (the process at a pty's master end is its device, not a second
// user), and no lock file "LCK..NAME" names a running process, NAME being
// the path's own name, its name behind links or that of the device bound
// over it. Otherwise ERROR_ACCESS_DENIED with the first holder in holder
// (when not null), or the error of looking at fd.
DWORD CheckNobodyElseHolds(int fd, const char *path, const holders::Places &places, holders::Entry *holder);

} // namespace win32_over_posix

#endif
