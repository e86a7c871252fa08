// The Win32 serial-port subset over termios and ioctl.
//
// A HANDLE is the file descriptor itself, so INVALID_HANDLE_VALUE (all bits
// set) is descriptor -1 and every call on it fails with EBADF, reported as
// ERROR_INVALID_HANDLE just as Windows does. Reads and writes complete at
// once: ReadFile takes only what is already waiting and WriteFile hands its
// bytes to the driver, so the overlap record only carries their outcome.
#include "platform/serial_api.h"

#include "platform/fresh_port_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

// How long WriteFile waits for room in a full output queue before it gives up.
constexpr int WriteRoomTimeoutMs = 1000;
// The longest "COMn" number mapped to /dev/ttyS<n-1>.
constexpr long MaxComNumber = 256;
constexpr std::size_t DevicePathSize = 4096;
// The lowest descriptor a port may have: 0, 1 and 2 are standard input,
// output and error even while closed, and a port there would receive the
// trace.
constexpr int LowestPortDescriptor = 3;

// The one open port, and what a Win32 driver remembers of its settings but
// termios cannot hold.
int OpenPortFd = -1;
DCB OpenPortSettings{};

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

struct SpeedEntry {
    DWORD baud;
    speed_t speed;
};

const SpeedEntry Speeds[] = {
    {50, B50},         {75, B75},       {110, B110},     {134, B134},     {150, B150},       {200, B200},
    {300, B300},       {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedFor(DWORD baud, speed_t &speed)
{
    const SpeedEntry *entry =
        std::find_if(std::begin(Speeds), std::end(Speeds), [baud](const SpeedEntry &e) { return e.baud == baud; });
    if (entry == std::end(Speeds)) {
        return false;
    }
    speed = entry->speed;
    return true;
}

DWORD BaudFor(speed_t speed)
{
    const SpeedEntry *entry =
        std::find_if(std::begin(Speeds), std::end(Speeds), [speed](const SpeedEntry &e) { return e.speed == speed; });
    return entry != std::end(Speeds) ? entry->baud : 0;
}

// Raises or lowers one modem line. Devices without modem lines (a pty)
// refuse; callers decide whether that matters.
int SetModemLine(int fd, int line, bool raise)
{
    return IoctlRetrying(fd, raise ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace

DWORD GetLastError()
{
    return LastError;
}

void SetLastError(DWORD code)
{
    LastError = code;
}

HANDLE CreateFileA(LPCSTR name, DWORD /*access*/, DWORD /*shareMode*/, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD /*creation*/, DWORD /*flags*/, HANDLE /*templateFile*/)
{
    if (name == nullptr) {
        FailWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[DevicePathSize];
    DevicePathFor(name, path, sizeof path);

    // Never the controlling terminal: a device that hangs up must not send
    // the program SIGHUP.
    int fd = -1;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
        (void)close(fd);
        if (moved < 0) {
            FailWith(Win32ErrorFor(error));
            return INVALID_HANDLE_VALUE;
        }
        fd = moved;
    }
    // A COM port belongs to one program at a time.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        (void)close(fd);
        FailWith(error == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32ErrorFor(error));
        return INVALID_HANDLE_VALUE;
    }
    if (OpenPortFd >= 0) {
        (void)close(fd);
        FailWith(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }

    OpenPortFd = fd;
    OpenPortSettings = FreshPortSettings();
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        OpenPortSettings.XonChar = static_cast<char>(settings.c_cc[VSTART]);
        OpenPortSettings.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
        OpenPortSettings.EofChar = static_cast<char>(settings.c_cc[VEOF]);
    }
    LastError = ERROR_SUCCESS;
    return HandleOf(fd);
}

BOOL CloseHandle(HANDLE port)
{
    const int fd = DescriptorOf(port);
    if (fd == OpenPortFd) {
        OpenPortFd = -1;
    }
    // The lock goes with the descriptor. close() is not retried on EINTR:
    // on Linux the descriptor is released whatever it returns.
    if (close(fd) != 0 && errno != EINTR) {
        return FailWithErrno();
    }
    return TRUE;
}

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

BOOL ClearCommBreak(HANDLE port)
{
    const int fd = DescriptorOf(port);
    if (IoctlRetrying(fd, TIOCCBRK, nullptr) == 0) {
        return TRUE;
    }
    const int error = errno;
    // USB adapters without break support refuse the request (usb-serial with
    // ENOTTY, cdc-acm with EOPNOTSUPP); no break can be in effect on them. A
    // descriptor that is no terminal at all also answers ENOTTY, and is no port.
    if ((error == ENOTTY || error == EOPNOTSUPP) && isatty(fd) == 1) {
        return TRUE;
    }
    LastError = Win32ErrorFor(error);
    return FALSE;
}

BOOL GetCommState(HANDLE port, LPDCB settings)
{
    const int fd = DescriptorOf(port);
    termios line{};
    if (!GetTermios(fd, line)) {
        return FALSE;
    }
    if (settings == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    *settings = fd == OpenPortFd ? OpenPortSettings : FreshPortSettings();

    settings->DCBlength = sizeof(DCB);
    settings->BaudRate = BaudFor(cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
    case CS5:
        settings->ByteSize = 5;
        break;
    case CS6:
        settings->ByteSize = 6;
        break;
    case CS7:
        settings->ByteSize = 7;
        break;
    default:
        settings->ByteSize = 8;
        break;
    }
    settings->Parity = NOPARITY;
    if ((line.c_cflag & PARENB) != 0) {
        settings->Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    settings->StopBits = (line.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    settings->fBinary = 1;
    settings->fParity = (line.c_iflag & INPCK) != 0 ? 1 : 0;
    settings->fOutxCtsFlow = (line.c_cflag & CRTSCTS) != 0 ? 1 : 0;
    settings->fOutX = (line.c_iflag & IXON) != 0 ? 1 : 0;
    settings->fInX = (line.c_iflag & IXOFF) != 0 ? 1 : 0;
    settings->XonChar = static_cast<char>(line.c_cc[VSTART]);
    settings->XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    return TRUE;
}

BOOL SetCommState(HANDLE port, LPDCB settings)
{
    const int fd = DescriptorOf(port);
    termios line{};
    if (!GetTermios(fd, line)) {
        return FALSE;
    }
    if (settings == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    speed_t speed = B0;
    if (!SpeedFor(settings->BaudRate, speed) || settings->ByteSize < 5 || settings->ByteSize > 8 ||
        settings->Parity > EVENPARITY || (settings->StopBits != ONESTOPBIT && settings->StopBits != TWOSTOPBITS) ||
        (settings->fOutX != 0 || settings->fInX != 0 ? settings->XonChar == settings->XoffChar : false)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    // Binary mode: every byte passes unaltered both ways, with no line
    // editing, echo, signal characters or CR/NL translation.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IGNPAR |
                                           IXON | IXOFF | INPCK);
#ifdef IUCLC
    line.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    line.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;

    if (settings->fOutX != 0) {
        line.c_iflag |= IXON;
    }
    if (settings->fInX != 0) {
        line.c_iflag |= IXOFF;
    }
    if (settings->fParity != 0) {
        line.c_iflag |= INPCK;
    }
    line.c_cc[VSTART] = static_cast<cc_t>(settings->XonChar);
    line.c_cc[VSTOP] = static_cast<cc_t>(settings->XoffChar);

    // The receiver is always on and does not wait for carrier.
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    line.c_cflag &= ~static_cast<tcflag_t>(CMSPAR); // else odd and even would be mark and space
#endif
    line.c_cflag |= CREAD | CLOCAL;
    static const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    line.c_cflag |= Sizes[settings->ByteSize - 5];
    switch (settings->Parity) {
    case ODDPARITY:
        line.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        line.c_cflag |= PARENB;
        break;
    default:
        break;
    }
    if (settings->StopBits == TWOSTOPBITS) {
        line.c_cflag |= CSTOPB;
    }
    if (settings->fOutxCtsFlow != 0 || settings->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        line.c_cflag |= CRTSCTS;
    }
    if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) {
        return FailWithErrno();
    }
    if (!SetTermios(fd, line)) {
        return FALSE;
    }
    // tcsetattr succeeds when any part took effect; check the line settings did.
    termios applied{};
    if (!GetTermios(fd, applied)) {
        return FALSE;
    }
    if (cfgetospeed(&applied) != speed || (applied.c_cflag & CSIZE) != (line.c_cflag & CSIZE) ||
        (applied.c_cflag & (PARENB | PARODD | CSTOPB)) != (line.c_cflag & (PARENB | PARODD | CSTOPB))) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }

    // The lines follow the new settings as the port applies them; a device
    // without modem lines (a pty) refuses, which changes nothing else.
    (void)SetModemLine(fd, TIOCM_DTR, settings->fDtrControl != DTR_CONTROL_DISABLE);
    if (settings->fRtsControl != RTS_CONTROL_HANDSHAKE) {
        (void)SetModemLine(fd, TIOCM_RTS, settings->fRtsControl != RTS_CONTROL_DISABLE);
    }

    if (fd == OpenPortFd) {
        OpenPortSettings = *settings;
        OpenPortSettings.DCBlength = sizeof(DCB);
    }
    LastError = ERROR_SUCCESS;
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

BOOL EscapeCommFunction(HANDLE port, DWORD function)
{
    const int fd = DescriptorOf(port);
    int result = 0;
    switch (function) {
    case SETDTR:
        result = SetModemLine(fd, TIOCM_DTR, true);
        break;
    case SETRTS:
        result = SetModemLine(fd, TIOCM_RTS, true);
        break;
    default:
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (result != 0) {
        return FailWithErrno();
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

void Sleep(DWORD milliseconds)
{
#ifdef __linux__
    // The default timer slack adds up to 50 us to every wait; the pacing of
    // the dialogue wants each wait as close to its nominal time as possible.
    // The program has one thread, so a plain flag suffices.
    static bool SlackSet = false;
    if (!SlackSet) {
        SlackSet = true;
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // without it the waits are only a little longer
    }
#endif
    timespec deadline{};
    (void)clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline survives signals without drifting.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
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

BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency)
{
    frequency->QuadPart = 1000000000LL; // the counter counts nanoseconds
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count)
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return FailWithErrno();
    }
    count->QuadPart = static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
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

MMRESULT timeBeginPeriod(UINT /*period*/)
{
    return TIMERR_NOERROR; // Sleep already waits on the monotonic clock to the microsecond
}

MMRESULT timeEndPeriod(UINT /*period*/)
{
    return TIMERR_NOERROR;
}
