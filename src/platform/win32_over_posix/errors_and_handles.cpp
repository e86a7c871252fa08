// The last error, its translation from errno, and the handle that is a
// descriptor. INVALID_HANDLE_VALUE (all bits set) is descriptor -1, so every
// call on it fails with EBADF, reported as ERROR_INVALID_HANDLE just as
// Windows does.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include <cerrno>

#include <sys/ioctl.h>

namespace win32_over_posix {

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

} // namespace

DWORD Win32ErrorFor(int error)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EFAULT:
        return ERROR_NOACCESS;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION;
    case EIO:
        return ERROR_GEN_FAILURE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
    case EAGAIN:
        return ERROR_TIMEOUT;
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL FailWithErrno()
{
    LastError = Win32ErrorFor(errno);
    return FALSE;
}

BOOL FailWith(DWORD code)
{
    LastError = code;
    return FALSE;
}

int DescriptorOf(HANDLE port)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(port));
}

HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

int IoctlRetrying(int fd, unsigned long request, void *argument)
{
    int result = 0;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

BOOL GetTermios(int fd, termios &settings)
{
    if (tcgetattr(fd, &settings) != 0) {
        return FailWithErrno();
    }
    return TRUE;
}

BOOL SetTermios(int fd, const termios &settings)
{
    int result = 0;
    do {
        result = tcsetattr(fd, TCSANOW, &settings);
    } while (result < 0 && errno == EINTR);
    if (result != 0) {
        return FailWithErrno();
    }
    return TRUE;
}

} // namespace win32_over_posix

DWORD GetLastError()
{
    return win32_over_posix::LastError;
}

void SetLastError(DWORD code)
{
    win32_over_posix::LastError = code;
}
