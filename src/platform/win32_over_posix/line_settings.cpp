// The line settings: a DCB translated to termios and back, applied and
// checked, the modem lines, and the break.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include "serial/fresh_port_settings.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <sys/ioctl.h>
#include <unistd.h>

// fresh_port_settings.h spells these as the numbers Win32 gives them.
static_assert(DTR_CONTROL_ENABLE == 1 && RTS_CONTROL_ENABLE == 1, "fresh port settings out of step");

namespace win32_over_posix {

namespace {

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

bool TermiosFromDcb(const DCB &settings, termios &line)
{
    speed_t speed = B0;
    if (!SpeedFor(settings.BaudRate, speed) || settings.ByteSize < 5 || settings.ByteSize > 8 ||
        settings.Parity > EVENPARITY || (settings.StopBits != ONESTOPBIT && settings.StopBits != TWOSTOPBITS) ||
        (settings.fOutX != 0 || settings.fInX != 0 ? settings.XonChar == settings.XoffChar : false)) {
        return false;
    }
    termios result = line;
    // Binary mode: every byte passes unaltered both ways, with no line
    // editing, echo, signal characters or CR/NL translation.
    result.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                                             IGNPAR | IXON | IXOFF | INPCK);
#ifdef IUCLC
    result.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    result.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    result.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    result.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    result.c_cc[VMIN] = 1;
    result.c_cc[VTIME] = 0;

    if (settings.fOutX != 0) {
        result.c_iflag |= IXON;
    }
    if (settings.fInX != 0) {
        result.c_iflag |= IXOFF;
    }
    if (settings.fParity != 0) {
        result.c_iflag |= INPCK;
    }
    result.c_cc[VSTART] = static_cast<cc_t>(settings.XonChar);
    result.c_cc[VSTOP] = static_cast<cc_t>(settings.XoffChar);

    // The receiver is always on and does not wait for carrier.
    result.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    result.c_cflag &= ~static_cast<tcflag_t>(CMSPAR); // else odd and even would be mark and space
#endif
    result.c_cflag |= CREAD | CLOCAL;
    static const tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    result.c_cflag |= Sizes[settings.ByteSize - 5];
    switch (settings.Parity) {
    case ODDPARITY:
        result.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        result.c_cflag |= PARENB;
        break;
    default:
        break;
    }
    if (settings.StopBits == TWOSTOPBITS) {
        result.c_cflag |= CSTOPB;
    }
    if (settings.fOutxCtsFlow != 0 || settings.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        result.c_cflag |= CRTSCTS;
    }
    if (cfsetispeed(&result, speed) != 0 || cfsetospeed(&result, speed) != 0) {
        return false;
    }
    line = result;
    return true;
}

void DcbFromTermios(const termios &line, DCB &settings)
{
    settings.DCBlength = sizeof(DCB);
    settings.BaudRate = BaudFor(cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
    case CS5:
        settings.ByteSize = 5;
        break;
    case CS6:
        settings.ByteSize = 6;
        break;
    case CS7:
        settings.ByteSize = 7;
        break;
    default:
        settings.ByteSize = 8;
        break;
    }
    settings.Parity = NOPARITY;
    if ((line.c_cflag & PARENB) != 0) {
        settings.Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    settings.StopBits = (line.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    settings.fBinary = 1;
    settings.fParity = (line.c_iflag & INPCK) != 0 ? 1 : 0;
    settings.fOutxCtsFlow = (line.c_cflag & CRTSCTS) != 0 ? 1 : 0;
    settings.fOutX = (line.c_iflag & IXON) != 0 ? 1 : 0;
    settings.fInX = (line.c_iflag & IXOFF) != 0 ? 1 : 0;
    settings.XonChar = static_cast<char>(line.c_cc[VSTART]);
    settings.XoffChar = static_cast<char>(line.c_cc[VSTOP]);
}

} // namespace win32_over_posix

using namespace win32_over_posix;

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
    *settings = fd == OpenPortFd ? OpenPortSettings : FreshPortSettings<DCB>();
    DcbFromTermios(line, *settings);
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
    if (!TermiosFromDcb(*settings, line)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (!SetTermios(fd, line)) {
        return FALSE;
    }
    // tcsetattr succeeds when any part took effect; check the line settings did.
    termios applied{};
    if (!GetTermios(fd, applied)) {
        return FALSE;
    }
    if (cfgetospeed(&applied) != cfgetospeed(&line) || (applied.c_cflag & CSIZE) != (line.c_cflag & CSIZE) ||
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
    SetLastError(ERROR_SUCCESS);
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

BOOL ClearCommBreak(HANDLE port)
{
    const int fd = DescriptorOf(port);
    if (IoctlRetrying(fd, TIOCCBRK, nullptr) == 0) {
        return TRUE;
    }
    const int error = errno;
    // USB adapters without break support refuse the request (usb-serial with
    // ENOTTY, cdc-acm with EOPNOTSUPP, or on older kernels with EPIPE, the
    // device having stalled the control request); no break can be in effect
    // on them. A descriptor that is no terminal at all also answers ENOTTY,
    // and is no port.
    if ((error == ENOTTY || error == EOPNOTSUPP || error == EPIPE) && isatty(fd) == 1) {
        return TRUE;
    }
    return FailWith(Win32ErrorFor(error));
}
