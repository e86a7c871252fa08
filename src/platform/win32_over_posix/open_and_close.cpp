// Opening and closing the one port: "COMn" names, a descriptor that is never
// a standard one, and the port kept to this program alone: refused while
// another has it, locked against later openers while open.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include "serial/fresh_port_settings.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace win32_over_posix {

int OpenPortFd = -1;
DCB OpenPortSettings{};

namespace {

// The longest "COMn" number mapped to /dev/ttyS<n-1>.
constexpr long MaxComNumber = 256;
// The lowest descriptor a port may have: 0, 1 and 2 are standard input,
// output and error even while closed, and a port there would receive the
// trace.
constexpr int LowestPortDescriptor = 3;

// "COM1" is /dev/ttyS0; any other name is a path.
void DevicePathFor(LPCSTR name, char *path, std::size_t size)
{
    const char *com = name;
    if ((com[0] == 'C' || com[0] == 'c') && (com[1] == 'O' || com[1] == 'o') && (com[2] == 'M' || com[2] == 'm') &&
        com[3] >= '1' && com[3] <= '9') {
        char *end = nullptr;
        const long number = std::strtol(com + 3, &end, 10);
        if (*end == '\0' && number >= 1 && number <= MaxComNumber) {
            (void)std::snprintf(path, size, "/dev/ttyS%ld", number - 1);
            return;
        }
    }
    (void)std::snprintf(path, size, "%s", name);
}

// Closes a descriptor that is not to become the port and fails with the code.
HANDLE GiveUp(int fd, DWORD code)
{
    (void)close(fd); // the open already failed; its reason is the one to report
    FailWith(code);
    return INVALID_HANDLE_VALUE;
}

// The lock keeps out only those who take it too. Keeps later openers out
// first, so that none slips in while the look runs, then looks for any
// program that had the port before: ERROR_SUCCESS when there is none. A
// file that is no terminal has no later openers to refuse. Another
// program may have made the port exclusive already: then it stays so when
// this open gives up.
DWORD KeepOthersOut(int fd, const char *path, const holders::Places &places, Refusal *refusal)
{
    int wasExclusive = 0;
    if (IoctlRetrying(fd, TIOCGEXCL, &wasExclusive) != 0) {
        wasExclusive = 0;
    }
    if (IoctlRetrying(fd, TIOCEXCL, nullptr) != 0 && errno != ENOTTY) {
        return Win32ErrorFor(errno);
    }
    const DWORD held = CheckNobodyElseHolds(fd, path, places, refusal != nullptr ? &refusal->holder : nullptr);
    if (held != ERROR_SUCCESS) {
        if (wasExclusive == 0) {
            (void)IoctlRetrying(fd, TIOCNXCL, nullptr); // fails only on no terminal, where it was never set
        }
        if (refusal != nullptr) {
            refusal->byFlock = false;
        }
    }
    return held;
}

} // namespace

HANDLE OpenPort(LPCSTR name, const char *const *lockDirectories, std::size_t directoryCount)
{
    return OpenPort(name, holders::Places{"", lockDirectories, directoryCount}, nullptr);
}

HANDLE OpenPort(LPCSTR name, const holders::Places &places, Refusal *refusal)
{
    if (name == nullptr) {
        FailWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[DevicePathSize];
    DevicePathFor(name, path, sizeof path);
    char full[DevicePathSize];
    const int fullLength = std::snprintf(full, sizeof full, "%s%s", places.root, path);
    if (fullLength < 0 || static_cast<std::size_t>(fullLength) >= sizeof full) {
        FailWith(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    // Never the controlling terminal: a device that hangs up must not send
    // the program SIGHUP.
    int fd = -1;
    do {
        fd = open(full, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    // open() gives the lowest free descriptor, which is a standard one when
    // the program was started with it closed.
    if (fd < LowestPortDescriptor) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, LowestPortDescriptor);
        const int error = errno;
        if (moved < 0) {
            return GiveUp(fd, Win32ErrorFor(error));
        }
        (void)close(fd); // the port lives on as the copy
        fd = moved;
    }
    // A COM port belongs to one program at a time.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK && refusal != nullptr) {
            refusal->byFlock = true;
        }
        return GiveUp(fd, error == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32ErrorFor(error));
    }
    if (OpenPortFd >= 0) {
        return GiveUp(fd, ERROR_TOO_MANY_OPEN_FILES);
    }
    const DWORD held = KeepOthersOut(fd, path, places, refusal);
    if (held != ERROR_SUCCESS) {
        return GiveUp(fd, held);
    }

    OpenPortFd = fd;
    OpenPortSettings = FreshPortSettings<DCB>();
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        OpenPortSettings.XonChar = static_cast<char>(settings.c_cc[VSTART]);
        OpenPortSettings.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
        OpenPortSettings.EofChar = static_cast<char>(settings.c_cc[VEOF]);
    }
    SetLastError(ERROR_SUCCESS);
    return HandleOf(fd);
}

} // namespace win32_over_posix

using namespace win32_over_posix;

HANDLE CreateFileA(LPCSTR name, DWORD /*access*/, DWORD /*shareMode*/, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD /*creation*/, DWORD /*flags*/, HANDLE /*templateFile*/)
{
    return OpenPort(name, holders::Places{"", LockDirectories, LockDirectoryCount}, nullptr);
}

BOOL CloseHandle(HANDLE port)
{
    const int fd = DescriptorOf(port);
    if (fd == OpenPortFd) {
        OpenPortFd = -1;
        // Let later openers in again, should anyone still have the port
        // open; a port that has gone has nobody left to let in.
        (void)IoctlRetrying(fd, TIOCNXCL, nullptr);
    }
    // The lock goes with the descriptor. close() is not retried on EINTR:
    // on Linux the descriptor is released whatever it returns.
    if (close(fd) != 0 && errno != EINTR) {
        return FailWithErrno();
    }
    return TRUE;
}
