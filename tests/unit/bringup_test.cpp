// Bring-up and release of the port, and the program's frame, on the fake platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "port/bringup.h"
#include "program.h"
#include "trace/writer.h"
#include "trace_compare.h"

namespace {

class BringUp : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(BringUp, HealthyPortPrintsEverySuccessLineInOrder)
{
    const HANDLE port = BringUpPort();
    EXPECT_EQ(port, fake::OpenHandle());
    EXPECT_EQ(fake::Output(), trace::BringUpText(true))
        << support::FirstDifference(trace::BringUpText(true), fake::Output());
    ClosePort(port);
    EXPECT_EQ(fake::Output(), trace::BringUpText(true) + trace::ReleaseText(true));
}

TEST_F(BringUp, OpensComOneForOverlappedReadAndWrite)
{
    (void)BringUpPort();
    const auto opens = fake::CallsTo("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(fake::Port().openedName, "COM1");
    const std::vector<std::uint64_t> expected = {
        GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0};
    EXPECT_EQ(std::vector<std::uint64_t>(opens[0].args.begin() + 1, opens[0].args.end()), expected);
}

TEST_F(BringUp, CallsEveryStepInOrderAndSettlesForOneSecond)
{
    (void)BringUpPort();
    std::vector<std::string> sequence;
    for (const fake::Call &call : fake::Port().calls) {
        std::string step = call.name;
        for (std::uint64_t arg : call.args) {
            if (call.name != "CreateFileA") {
                step += " " + std::to_string(arg);
            }
        }
        sequence.push_back(step);
    }
    const std::vector<std::string> expected = {"CreateFileA",          "PurgeComm 15",         "ClearCommBreak",
                                               "GetCommState",         "SetCommState",         "SetCommTimeouts",
                                               "PurgeComm 5",          "ClearCommError",       "ClearCommError",
                                               "EscapeCommFunction 5", "EscapeCommFunction 3", "Sleep 1000"};
    EXPECT_EQ(sequence, expected);
    // Nothing is printed during the settle time, and bring-up ends with it.
    EXPECT_EQ(fake::Port().now, 1000u);
    EXPECT_EQ(fake::Port().messages.back().at, 0u);
}

TEST_F(BringUp, AbsentPortPrintsEveryFailureAndTheErrorCode)
{
    fake::Port().portPresent = false;
    const HANDLE port = BringUpPort();
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake::Output(), trace::BringUpText(false))
        << support::FirstDifference(trace::BringUpText(false), fake::Output());
    ClosePort(port);
    EXPECT_EQ(fake::Output(), trace::BringUpText(false) + trace::ReleaseText(false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Every step still ran, including the settle wait.
    EXPECT_EQ(fake::Port().now, 1000u);
}

TEST_F(BringUp, EachFailedStepPrintsItsOwnLineAndTheRunGoesOn)
{
    struct Case {
        const char *call;
        std::string expectedLine;
    };
    const Case cases[] = {
        {"PurgeComm", "(-) PurgeComm() failed\n"},
        {"ClearCommBreak", "(-) ClearCommBreak() failed\n(-) GetLastError() return 29 "
                           "(The system cannot write to the specified device)\n"},
        {"GetCommState", "(-) GetCommState() failed\n"},
        {"SetCommState", "(-) SetCommState() failed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        fake::Reset();
        fake::Port().results[c.call].push_back(ERROR_WRITE_FAULT);
        (void)BringUpPort();
        const std::string output = fake::Output();
        EXPECT_NE(output.find(c.expectedLine), std::string::npos) << output;
        // Only one line failed; the rest of bring-up still succeeded.
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), c.call == std::string("ClearCommBreak") ? 7 : 6);
        EXPECT_NE(output.find("(+) PurgeComm\n"), std::string::npos);
        EXPECT_EQ(fake::Port().now, 1000u);
    }
}

TEST_F(BringUp, SecondPurgeFailurePrintsTheSameTextAsTheFirst)
{
    fake::Port().results["PurgeComm"] = {0, ERROR_GEN_FAILURE};
    (void)BringUpPort();
    const std::string output = fake::Output();
    EXPECT_EQ(output.substr(output.rfind("(-)")), "(-) PurgeComm() failed\n");
    EXPECT_NE(output.find("(+) Discarded all characters"), std::string::npos);
}

TEST_F(BringUp, ReportsTheFailedCallsErrorEvenWhenTheConsoleWriteSetsAnother)
{
    fake::Port().results["ClearCommBreak"].push_back(ERROR_ACCESS_DENIED);
    fake::Port().consoleWriteError = ERROR_INVALID_HANDLE;
    (void)BringUpPort();
    EXPECT_NE(fake::Output().find("(-) ClearCommBreak() failed\n(-) GetLastError() return 5 (Access is denied)\n"),
              std::string::npos)
        << fake::Output();
}

TEST_F(BringUp, ReportsTheLastErrorWithItsDescription)
{
    const struct {
        DWORD code;
        const char *line;
    } cases[] = {
        {2, "(-) GetLastError() return 2 (The system cannot find the file specified)\n"},
        {5, "(-) GetLastError() return 5 (Access is denied)\n"},
        {29, "(-) GetLastError() return 29 (The system cannot write to the specified device)\n"},
        {87, "(-) GetLastError() return 87 (The parameter is incorrect)\n"},
        {998, "(-) GetLastError() return 998 (Invalid access to memory location)\n"},
        {6, "(-) GetLastError() return 6 \n"},
        {1167, "(-) GetLastError() return 1167 \n"},
        {0xFFFFFFFFu, "(-) GetLastError() return -1 \n"},
    };
    for (const auto &c : cases) {
        fake::Reset();
        ReportLastError(c.code);
        EXPECT_EQ(fake::Output(), c.line);
    }
}

TEST_F(BringUp, WritesTheLineSettingsWithoutFlowControlAndKeepsEveryOtherFieldAsRead)
{
    const DCB before = fake::Port().portSettings;
    (void)BringUpPort();
    ASSERT_EQ(fake::Port().writtenSettings.size(), 1u);
    const DCB &written = fake::Port().writtenSettings[0];
    EXPECT_EQ(written.BaudRate, 9600u);
    EXPECT_EQ(written.ByteSize, 8);
    EXPECT_EQ(written.Parity, NOPARITY);
    EXPECT_EQ(written.StopBits, ONESTOPBIT);
    EXPECT_EQ(written.fBinary, 1u);
    EXPECT_EQ(written.fOutxCtsFlow, 0u);
    EXPECT_EQ(written.fOutxDsrFlow, 0u);
    EXPECT_EQ(written.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(written.fDsrSensitivity, 0u);
    EXPECT_EQ(written.fNull, 0u);
    EXPECT_EQ(written.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(written.fAbortOnError, 0u);
    // The port inherited XON/XOFF both ways; neither survives.
    ASSERT_TRUE(before.fOutX != 0 && before.fInX != 0);
    EXPECT_EQ(written.fOutX, 0u);
    EXPECT_EQ(written.fInX, 0u);

    EXPECT_EQ(written.DCBlength, before.DCBlength);
    EXPECT_EQ(written.fParity, before.fParity);
    EXPECT_EQ(written.fTXContinueOnXoff, before.fTXContinueOnXoff);
    EXPECT_EQ(written.fErrorChar, before.fErrorChar);
    EXPECT_EQ(written.XonLim, before.XonLim);
    EXPECT_EQ(written.XoffLim, before.XoffLim);
    EXPECT_EQ(written.XonChar, before.XonChar);
    EXPECT_EQ(written.XoffChar, before.XoffChar);
    EXPECT_EQ(written.ErrorChar, before.ErrorChar);
    EXPECT_EQ(written.EofChar, before.EofChar);
    EXPECT_EQ(written.EvtChar, before.EvtChar);

    // Reads return at once with what is waiting; writes are never cut short.
    ASSERT_EQ(fake::Port().writtenTimeouts.size(), 1u);
    const COMMTIMEOUTS &timeouts = fake::Port().writtenTimeouts[0];
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST_F(BringUp, WritesASoundRecordWhenTheSettingsCouldNotBeRead)
{
    fake::Port().results["GetCommState"].push_back(ERROR_GEN_FAILURE);
    (void)BringUpPort();
    ASSERT_EQ(fake::Port().writtenSettings.size(), 1u);
    const DCB &written = fake::Port().writtenSettings[0];
    // None of what the failed call left behind survives.
    EXPECT_EQ(written.DCBlength, sizeof(DCB));
    EXPECT_EQ(written.BaudRate, 9600u);
    EXPECT_EQ(written.ByteSize, 8);
    EXPECT_EQ(written.fOutX, 0u);
    EXPECT_EQ(written.fInX, 0u);
    EXPECT_EQ(written.fParity, 0u);
    EXPECT_EQ(written.fErrorChar, 0u);
    EXPECT_NE(written.XonChar, written.XoffChar);
    EXPECT_EQ(written.XonChar, 0x11);
    EXPECT_EQ(written.XoffChar, 0x13);
    EXPECT_GT(written.XonLim, 0);
    EXPECT_EQ(written.ErrorChar, 0);
    EXPECT_EQ(written.EvtChar, 0);
}

TEST_F(BringUp, ProgramExitsWithZeroAndWaitsForAKeyWhateverFails)
{
    const char *failing[] = {"",
                             "CreateFileA",
                             "PurgeComm",
                             "ClearCommBreak",
                             "GetCommState",
                             "SetCommState",
                             "ClearCommError",
                             "EscapeCommFunction",
                             "WriteFile",
                             "ReadFile",
                             "CloseHandle"};
    for (const char *call : failing) {
        SCOPED_TRACE(call);
        fake::Reset();
        if (*call != '\0') {
            fake::Port().results[call].assign(600, ERROR_ACCESS_DENIED);
        }
        EXPECT_EQ(RunProgram(), 0);
        EXPECT_TRUE(fake::Port().consolePrepared);
        EXPECT_EQ(fake::Port().keyWaits, 1);
        // A port that never opened is not closed.
        EXPECT_EQ(fake::CallsTo("CloseHandle").size(), call == std::string("CreateFileA") ? 0u : 1u);
        // The key wait comes after the release line.
        EXPECT_EQ(fake::Port().calls.back().name, "WaitForKey");
        const std::string output = fake::Output();
        const std::string released = trace::ReleaseText(true);
        const std::string failed = trace::ReleaseText(false);
        EXPECT_TRUE(output.size() > failed.size() && (output.substr(output.size() - released.size()) == released ||
                                                      output.substr(output.size() - failed.size()) == failed));
    }
}

} // namespace
