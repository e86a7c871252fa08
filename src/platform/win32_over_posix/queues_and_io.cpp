// The queues and the I/O: purges, queue counts, reads and writes, and their
// outcome in the overlap record. Reads and writes complete at once:
// ReadFile takes only what is already waiting and WriteFile hands its bytes
// to the driver, so the overlap record only carries their outcome, an open
// port is always signalled and nothing is ever left to cancel.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// How long WriteFile waits for room in a full output queue before it gives up.
constexpr int WriteRoomTimeoutMs = 1000;

} // namespace

using namespace win32_over_posix;

BOOL PurgeComm(HANDLE port, DWORD flags)
{
    const int fd = DescriptorOf(port);
    if ((flags & ~static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    int result = 0;
    if (input && output) {
        result = tcflush(fd, TCIOFLUSH);
    } else if (input) {
        result = tcflush(fd, TCIFLUSH);
    } else if (output) {
        result = tcflush(fd, TCOFLUSH);
    } else {
        termios settings{};
        return GetTermios(fd, settings); // nothing to purge, but the port must be one
    }
    if (result != 0) {
        return FailWithErrno();
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status)
{
    const int fd = DescriptorOf(port);
    int waiting = 0;
    if (IoctlRetrying(fd, FIONREAD, &waiting) != 0) {
        return FailWithErrno();
    }
    int queued = 0;
    if (IoctlRetrying(fd, TIOCOUTQ, &queued) != 0) {
        queued = 0; // not every driver counts its output queue
    }
    if (errors != nullptr) {
        *errors = 0; // line errors are not reported
    }
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
        status->cbOutQue = queued > 0 ? static_cast<DWORD>(queued) : 0;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    const int fd = DescriptorOf(port);
    auto *bytes = static_cast<unsigned char *>(buffer);
    DWORD taken = 0;
    int error = 0;
    bool ended = false;
    while (taken < count) {
        const ssize_t got = read(fd, bytes + taken, count - taken);
        if (got > 0) {
            taken += static_cast<DWORD>(got);
        } else if (got == 0) {
            ended = true; // the device hung up
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    // Nothing more waiting is not a failure: the read takes what is there.
    // Nor is a failure after some bytes came: those bytes are the read's
    // outcome, and a lasting fault shows again on the next read.
    DWORD status = ERROR_SUCCESS;
    if (taken == 0 && ended && count > 0) {
        status = ERROR_HANDLE_EOF;
    } else if (taken == 0 && error != 0 && error != EAGAIN) {
        status = Win32ErrorFor(error);
    }
    if (done != nullptr) {
        *done = taken;
    }
    if (overlapped != nullptr) {
        overlapped->Internal = status;
        overlapped->InternalHigh = taken;
    }
    if (status != ERROR_SUCCESS) {
        return FailWith(status);
    }
    return TRUE;
}

BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    const int fd = DescriptorOf(port);
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    DWORD written = 0;
    DWORD status = ERROR_SUCCESS;
    while (written < count) {
        const ssize_t put = write(fd, bytes + written, count - written);
        if (put > 0) {
            written += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno == EAGAIN) {
            // The output queue is full: wait for room, not for transmission.
            pollfd room{fd, POLLOUT, 0};
            const int ready = poll(&room, 1, WriteRoomTimeoutMs);
            if (ready > 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            status = ready == 0 ? ERROR_TIMEOUT : Win32ErrorFor(errno);
            break;
        }
        status = put == 0 ? ERROR_WRITE_FAULT : Win32ErrorFor(errno);
        break;
    }
    if (done != nullptr) {
        *done = written;
    }
    if (overlapped != nullptr) {
        overlapped->Internal = status;
        overlapped->InternalHigh = written;
    }
    if (status != ERROR_SUCCESS) {
        return FailWith(status);
    }
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE /*port*/, LPOVERLAPPED overlapped, LPDWORD done, BOOL /*wait*/)
{
    if (overlapped == nullptr || done == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *done = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        return FailWith(static_cast<DWORD>(overlapped->Internal));
    }
    return TRUE;
}

BOOL CancelIoEx(HANDLE /*port*/, LPOVERLAPPED /*overlapped*/)
{
    return FailWith(ERROR_NOT_FOUND); // nothing is ever left pending here
}

// The record is not changed, but Win32 declares it without const.
// cppcheck-suppress constParameter
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts)
{
    const int fd = DescriptorOf(port);
    termios line{};
    if (!GetTermios(fd, line)) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    // Nothing to keep: reads here never wait and writes hand their bytes
    // over, whatever the time-outs say.
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD /*milliseconds*/)
{
    // Every operation has completed by the time its call returns, so an open
    // port is always signalled.
    if (fcntl(DescriptorOf(object), F_GETFD) < 0) {
        FailWithErrno();
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}
