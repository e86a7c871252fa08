// The fixture the tests of the POSIX shim share: a pty pair whose slave
// plays the serial port and whose master plays the device, with the
// program's own line settings and the device's side of the line.
#ifndef COMTRACE_TESTS_PLATFORM_PTY_PORT_H
#define COMTRACE_TESTS_PLATFORM_PTY_PORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/serial_api.h"

// Not in an unnamed namespace: the tests in every module's file share the
// one fixture class, as gtest requires of one suite.
namespace platform_tests {

// A pty pair whose slave is left in the kernel's default terminal settings,
// as a port is that nobody has configured yet.
class Pty : public ::testing::Test {
protected:
    int master = -1;
    std::string slavePath;

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        const int flags = fcntl(master, F_GETFL);
        ASSERT_EQ(fcntl(master, F_SETFL, flags | O_NONBLOCK), 0);
    }

    void TearDown() override
    {
        if (master >= 0) {
            close(master);
        }
    }

    HANDLE Open() const
    {
        return CreateFileA(slavePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    // Configures the port the way the program does.
    static void Configure(HANDLE port)
    {
        DCB settings = {};
        ASSERT_TRUE(GetCommState(port, &settings));
        settings.BaudRate = 9600;
        settings.ByteSize = 8;
        settings.Parity = NOPARITY;
        settings.StopBits = ONESTOPBIT;
        settings.fBinary = 1;
        settings.fOutxCtsFlow = 0;
        settings.fOutxDsrFlow = 0;
        settings.fDtrControl = DTR_CONTROL_ENABLE;
        settings.fRtsControl = RTS_CONTROL_DISABLE;
        settings.fOutX = 0;
        settings.fInX = 0;
        ASSERT_TRUE(SetCommState(port, &settings)) << GetLastError();
    }

    // Reads from the master until count bytes came or a second passed.
    std::vector<unsigned char> DeviceReads(std::size_t count) const
    {
        std::vector<unsigned char> got;
        while (got.size() < count) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 1000) <= 0) {
                break;
            }
            unsigned char chunk[512];
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    void DeviceWrites(const std::vector<unsigned char> &bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd room{master, POLLOUT, 0};
                ASSERT_GT(poll(&room, 1, 1000), 0);
            }
        }
    }

    // Waits until the port reports at least count bytes waiting.
    static DWORD WaitForQueue(HANDLE port, DWORD count)
    {
        COMSTAT status = {};
        for (int i = 0; i < 200; ++i) {
            DWORD errors = 0;
            if (ClearCommError(port, &errors, &status) && status.cbInQue >= count) {
                break;
            }
            Sleep(5);
        }
        return status.cbInQue;
    }
};

} // namespace platform_tests

#endif
