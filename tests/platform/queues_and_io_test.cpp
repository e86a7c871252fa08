// The shim's queues, reads and writes (queues_and_io.cpp) against real
// ptys: every byte through unaltered, the queue counts and the purge, and
// a device that hangs up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"
#include "pty_port.h"

namespace platform_tests {
namespace {

TEST_F(Pty, EveryByteValuePassesUnalteredBothWays)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port);
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    (void)DeviceReads(1); // the purge's packet-mode notice, if any

    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    }
    // Twice, so that XON/XOFF, CR, LF, ^C and ^D appear in every position.
    all.insert(all.end(), all.rbegin(), all.rend());

    OVERLAPPED overlap = {};
    ASSERT_TRUE(WriteFile(port, all.data(), static_cast<DWORD>(all.size()), nullptr, &overlap));
    DWORD sent = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &overlap, &sent, TRUE));
    EXPECT_EQ(sent, all.size());
    EXPECT_EQ(DeviceReads(all.size()), all);

    DeviceWrites(all);
    ASSERT_EQ(WaitForQueue(port, static_cast<DWORD>(all.size())), all.size());
    std::vector<unsigned char> got(all.size());
    overlap = {};
    ASSERT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), nullptr, &overlap));
    DWORD received = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &overlap, &received, FALSE));
    EXPECT_EQ(received, all.size());
    EXPECT_EQ(got, all);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Pty, QueueCountsAndPurgeOfTheInputQueue)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port);
    DeviceWrites({1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(WaitForQueue(port, 7), 7u);

    // Reading fewer than are waiting leaves the rest queued.
    unsigned char two[2] = {};
    OVERLAPPED overlap = {};
    ASSERT_TRUE(ReadFile(port, two, 2, nullptr, &overlap));
    EXPECT_EQ(two[1], 2);
    EXPECT_EQ(WaitForQueue(port, 5), 5u);

    // An output-only purge leaves the input alone; an input purge empties it.
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(WaitForQueue(port, 5), 5u);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    DWORD errors = 0;
    COMSTAT status = {};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_EQ(errors, 0u);

    // With nothing waiting a read takes nothing and does not block.
    overlap = {};
    unsigned char byte = 0;
    EXPECT_TRUE(ReadFile(port, &byte, 1, nullptr, &overlap));
    DWORD got = 99;
    EXPECT_TRUE(GetOverlappedResult(port, &overlap, &got, FALSE));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(PurgeComm(port, 0x100));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Pty, AHungUpDeviceFailsQueriesAndWritesAndReadsNothing)
{
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port);
    close(master);
    master = -1;
    DWORD errors = 0;
    COMSTAT status = {};
    EXPECT_FALSE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    unsigned char byte = 0x45;
    OVERLAPPED overlap = {};
    EXPECT_FALSE(WriteFile(port, &byte, 1, nullptr, &overlap));
    overlap = {};
    EXPECT_FALSE(ReadFile(port, &byte, 1, nullptr, &overlap));
    DWORD got = 99;
    EXPECT_FALSE(GetOverlappedResult(port, &overlap, &got, FALSE));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

} // namespace
} // namespace platform_tests
