// The shim's line settings (line_settings.cpp): the translation between a
// DCB and termios without a pty (every speed it knows, every framing and
// flow control it can represent, every record it must refuse), then on
// real ptys the settings applied and read back, the flow control a port
// was left with, and the modem-line and break calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"
#include "pty_port.h"
#include "serial/fresh_port_settings.h"

namespace {

using win32_over_posix::DcbFromTermios;
using win32_over_posix::TermiosFromDcb;

// A line as a terminal leaves it: canonical, echoing, translating, with
// every flag set that binary mode must clear.
termios CookedLine()
{
    termios line{};
    line.c_iflag = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IGNPAR | IXON | IXOFF | INPCK |
                   IUCLC | IMAXBEL;
    line.c_oflag = OPOST | ONLCR;
    line.c_lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    line.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 5;
    line.c_cc[VSTART] = 'q';
    line.c_cc[VSTOP] = 's';
    EXPECT_EQ(cfsetispeed(&line, B38400), 0);
    EXPECT_EQ(cfsetospeed(&line, B38400), 0);
    return line;
}

DCB NineSixHundredEightNOne()
{
    DCB settings = FreshPortSettings<DCB>();
    settings.BaudRate = 9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    return settings;
}

bool SameLine(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc)) && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(DcbTermiosTranslation, EveryKnownSpeedIsSetBothWaysAndReadBack)
{
    const struct {
        DWORD baud;
        speed_t speed;
    } speeds[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto &s : speeds) {
        SCOPED_TRACE(s.baud);
        DCB settings = NineSixHundredEightNOne();
        settings.BaudRate = s.baud;
        termios line = CookedLine();
        ASSERT_TRUE(TermiosFromDcb(settings, line));
        EXPECT_EQ(cfgetospeed(&line), s.speed);
        EXPECT_EQ(cfgetispeed(&line), s.speed);
        DCB read = {};
        DcbFromTermios(line, read);
        EXPECT_EQ(read.BaudRate, s.baud);
    }
    // A speed outside the table, even one a Windows driver offers, is
    // refused and leaves the line as it was.
    for (DWORD baud : {0u, 1u, 49u, 14400u, 12345u, 28800u, 76800u, 128000u, 256000u, 500000u, 1000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(baud);
        DCB settings = NineSixHundredEightNOne();
        settings.BaudRate = baud;
        termios line = CookedLine();
        EXPECT_FALSE(TermiosFromDcb(settings, line));
        EXPECT_TRUE(SameLine(line, CookedLine()));
    }
}

// Every byte size, parity, stop bit count and flow control the shim can
// represent, from a cooked line: the termios flags it sets, binary mode,
// and the same record read back.
TEST(DcbTermiosTranslation, EveryRepresentableFramingAndFlowControlRoundTrips)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    int cases = 0;
    for (BYTE size = 5; size <= 8; ++size) {
        for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY}) {
            for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
                for (unsigned flow = 0; flow < 64; ++flow) {
                    DCB settings = NineSixHundredEightNOne();
                    settings.ByteSize = size;
                    settings.Parity = parity;
                    settings.StopBits = stop;
                    settings.fParity = flow & 1u;
                    settings.fOutX = (flow >> 1) & 1u;
                    settings.fInX = (flow >> 2) & 1u;
                    settings.fOutxCtsFlow = (flow >> 3) & 1u;
                    settings.fRtsControl = (flow >> 4) & 3u;
                    settings.EvtChar = 0x7E;
                    settings.XonLim = 100;
                    const bool rtsCts = settings.fOutxCtsFlow != 0 || settings.fRtsControl == RTS_CONTROL_HANDSHAKE;
                    SCOPED_TRACE(testing::Message() << int{size} << " bits, parity " << int{parity} << ", stop "
                                                    << int{stop} << ", flow " << flow);
                    termios line = CookedLine();
                    ASSERT_TRUE(TermiosFromDcb(settings, line));
                    ++cases;

                    EXPECT_EQ(line.c_cflag & CSIZE, sizes[size - 5]);
                    EXPECT_EQ((line.c_cflag & PARENB) != 0, parity != NOPARITY);
                    EXPECT_EQ((line.c_cflag & PARODD) != 0, parity == ODDPARITY);
                    EXPECT_EQ(line.c_cflag & CMSPAR, 0u);
                    EXPECT_EQ((line.c_cflag & CSTOPB) != 0, stop == TWOSTOPBITS);
                    EXPECT_EQ((line.c_cflag & CRTSCTS) != 0, rtsCts);
                    EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
                    EXPECT_EQ((line.c_iflag & IXON) != 0, settings.fOutX != 0);
                    EXPECT_EQ((line.c_iflag & IXOFF) != 0, settings.fInX != 0);
                    EXPECT_EQ((line.c_iflag & INPCK) != 0, settings.fParity != 0);
                    EXPECT_EQ(line.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                                              IGNPAR | IUCLC | IMAXBEL),
                              0u);
                    EXPECT_EQ(line.c_oflag & OPOST, 0u);
                    EXPECT_EQ(line.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
                    EXPECT_EQ(line.c_cc[VMIN], 1);
                    EXPECT_EQ(line.c_cc[VTIME], 0);
                    EXPECT_EQ(line.c_cc[VSTART], 0x11);
                    EXPECT_EQ(line.c_cc[VSTOP], 0x13);

                    // What termios holds comes back; the rest of the record stays.
                    DCB read = FreshPortSettings<DCB>();
                    read.fRtsControl = settings.fRtsControl;
                    read.EvtChar = 0x7E;
                    read.XonLim = 100;
                    DcbFromTermios(line, read);
                    DCB expected = settings;
                    expected.fOutxCtsFlow = rtsCts ? 1 : 0;
                    EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
                }
            }
        }
    }
    EXPECT_EQ(cases, 4 * 3 * 2 * 64);
}

TEST(DcbTermiosTranslation, RecordsTermiosCannotRepresentAreRefused)
{
    const struct {
        const char *name;
        void (*change)(DCB &);
        bool accepted;
    } cases[] = {
        {"4 data bits", [](DCB &s) { s.ByteSize = 4; }, false},
        {"9 data bits", [](DCB &s) { s.ByteSize = 9; }, false},
        {"0 data bits", [](DCB &s) { s.ByteSize = 0; }, false},
        {"mark parity", [](DCB &s) { s.Parity = 3; }, false},
        {"space parity", [](DCB &s) { s.Parity = 4; }, false},
        {"parity 5", [](DCB &s) { s.Parity = 5; }, false},
        {"one and a half stop bits", [](DCB &s) { s.StopBits = ONE5STOPBITS; }, false},
        {"stop bits 3", [](DCB &s) { s.StopBits = 3; }, false},
        {"XON equal to XOFF with output flow control",
         [](DCB &s) {
             s.fOutX = 1;
             s.XoffChar = s.XonChar;
         },
         false},
        {"XON equal to XOFF with input flow control",
         [](DCB &s) {
             s.fInX = 1;
             s.XoffChar = s.XonChar;
         },
         false},
        {"XON equal to XOFF without software flow control", [](DCB &s) { s.XoffChar = s.XonChar; }, true},
        {"DSR flow control, which termios cannot hold, is left out", [](DCB &s) { s.fOutxDsrFlow = 1; }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DCB settings = NineSixHundredEightNOne();
        c.change(settings);
        termios line = CookedLine();
        EXPECT_EQ(TermiosFromDcb(settings, line), c.accepted);
        if (!c.accepted) {
            EXPECT_TRUE(SameLine(line, CookedLine()));
        }
    }
}

} // namespace

namespace platform_tests {
namespace {

TEST_F(Pty, SettingsAreAppliedAndReadBack)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const struct {
        DWORD baud;
        BYTE size;
        BYTE parity;
        BYTE stop;
        bool cts;
    } cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, false},
        {19200, 8, NOPARITY, TWOSTOPBITS, false},
        {115200, 8, NOPARITY, ONESTOPBIT, true},
        {1200, 8, NOPARITY, TWOSTOPBITS, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.baud);
        DCB settings = {};
        ASSERT_TRUE(GetCommState(port, &settings));
        settings.BaudRate = c.baud;
        settings.ByteSize = c.size;
        settings.Parity = c.parity;
        settings.StopBits = c.stop;
        settings.fOutxCtsFlow = c.cts ? 1 : 0;
        settings.fParity = 1;
        settings.EvtChar = 0x7E;
        ASSERT_TRUE(SetCommState(port, &settings)) << GetLastError();
        DCB read = {};
        ASSERT_TRUE(GetCommState(port, &read));
        EXPECT_EQ(read.BaudRate, c.baud);
        EXPECT_EQ(read.ByteSize, c.size);
        EXPECT_EQ(read.Parity, c.parity);
        EXPECT_EQ(read.StopBits, c.stop);
        EXPECT_EQ(read.fOutxCtsFlow, c.cts ? 1u : 0u);
        EXPECT_EQ(read.fParity, 1u);
        EXPECT_EQ(read.fBinary, 1u);
        EXPECT_EQ(read.EvtChar, 0x7E);

        termios line{};
        ASSERT_EQ(tcgetattr(reinterpret_cast<std::intptr_t>(port), &line), 0);
        EXPECT_EQ(cfgetospeed(&line), cfgetispeed(&line));
        EXPECT_NE(line.c_cflag & CREAD, 0u);
        EXPECT_NE(line.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
    }
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Pty, SettingsThatCannotBeRepresentedAreRefused)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB settings = {};
    ASSERT_TRUE(GetCommState(port, &settings));
    const DCB good = settings;
    settings.BaudRate = 12345;
    EXPECT_FALSE(SetCommState(port, &settings));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    settings = good;
    settings.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port, &settings));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // One and a half stop bits would otherwise come out as two.
    settings = good;
    settings.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(SetCommState(port, &settings));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A pty carries eight bits without parity only; settings that do not
    // take effect are not reported as applied.
    settings = good;
    settings.ByteSize = 7;
    settings.Parity = EVENPARITY;
    EXPECT_FALSE(SetCommState(port, &settings));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(port));
}

// A port presents the software flow control it was left with, as a Windows
// port presents its last settings; the program's settings turn it off.
TEST_F(Pty, OpenPortShowsTheFlowControlItWasLeftWithUntilSettingsTurnItOff)
{
    const struct {
        tcflag_t left;
        DWORD outX;
        DWORD inX;
    } cases[] = {{0, 0, 0}, {IXON, 1, 0}, {IXOFF, 0, 1}, {IXON | IXOFF | IXANY, 1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.left);
        const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        termios line{};
        ASSERT_EQ(tcgetattr(slave, &line), 0);
        line.c_iflag = (line.c_iflag & ~static_cast<tcflag_t>(IXON | IXOFF | IXANY)) | c.left;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &line), 0);
        close(slave);

        const HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB settings = {};
        ASSERT_TRUE(GetCommState(port, &settings));
        EXPECT_EQ(settings.fOutX, c.outX);
        EXPECT_EQ(settings.fInX, c.inX);
        EXPECT_EQ(settings.XonChar, 0x11);
        EXPECT_EQ(settings.XoffChar, 0x13);
        Configure(port);
        ASSERT_EQ(tcgetattr(reinterpret_cast<std::intptr_t>(port), &line), 0);
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u);
        EXPECT_TRUE(CloseHandle(port));
    }
}

TEST_F(Pty, ModemLineAndBreakCallsBehaveAsAPtyAllows)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // A pty has no modem lines; clearing a break is accepted and does nothing.
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Setting DTR and RTS through the settings does not make them fail there.
    Configure(port);
    EXPECT_TRUE(CloseHandle(port));
}

} // namespace
} // namespace platform_tests
