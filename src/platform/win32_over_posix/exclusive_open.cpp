// Whether another program already has the port, by the holder rule the
// shim shares with portdoctor (holders/holders.h): a process that holds the
// same device open, as far as /proc shows this user, or a UUCP lock file
// that names a running process. Linux only lets a tty be kept from later
// openers (TIOCEXCL); a program that had it first is found by looking.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include <cerrno>

#include <sys/stat.h>

namespace win32_over_posix {

const char *const LockDirectories[] = {"/var/lock", "/run/lock"};
const std::size_t LockDirectoryCount = sizeof LockDirectories / sizeof LockDirectories[0];

DWORD CheckNobodyElseHolds(int fd, const char *path, const holders::Places &places, holders::Entry *holder)
{
    struct stat port {};
    if (fstat(fd, &port) != 0) {
        return Win32ErrorFor(errno);
    }
    // One open at a time, and too large for the stack of a small thread.
    static holders::Findings findings;
    holders::FindHolders(path, S_ISCHR(port.st_mode), port.st_rdev, places, findings);
    const holders::Entry *first = holders::FirstHolder(findings);
    if (first == nullptr) {
        return ERROR_SUCCESS;
    }
    if (holder != nullptr) {
        *holder = *first;
    }
    return ERROR_ACCESS_DENIED;
}

} // namespace win32_over_posix
