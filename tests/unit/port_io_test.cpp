// Reads and writes that do not complete at once: the record they share is
// never reused while one is pending, their bytes are used only once they
// have completed, and nothing waits without limit.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "port/bringup.h"
#include "port/exchange.h"
#include "port/port_io.h"

namespace {

class Overlapped : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        PortHandle = fake::OpenHandle();
    }

    static std::string Violations()
    {
        std::string all;
        for (const fake::Violation &violation : fake::Port().violations) {
            all += std::to_string(violation.at) + " ms: " + violation.what + "\n";
        }
        return all;
    }
};

TEST_F(Overlapped, PendingReadIsCompletedBeforeItsBytesAreUsed)
{
    const struct {
        const char *name;
        fake::Completion completion;
        std::uint64_t elapsed;
        const char *trace;
    } cases[] = {
        {"completes at once", {fake::Completion::After, 0}, 0, "3\n[06] [48] [49] \nGET OK! \n"},
        {"completes late, within the bound", {fake::Completion::After, 30}, 30, "3\n[06] [48] [49] \nGET OK! \n"},
        {"completes exactly at the bound",
         {fake::Completion::After, ReadCompletionBoundMs},
         ReadCompletionBoundMs,
         "3\n[06] [48] [49] \nGET OK! \n"},
        {"ends aborted within the bound, keeping what it took",
         {fake::Completion::Aborted, 30, 2},
         30,
         "2\n[06] [48] \nGET OK! \n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::Arrive(0, {0x06, 'H', 'I'});
        fake::Port().readCompletions.push_back(c.completion);
        CollectReply(true);
        DumpReply();
        ReportAck();
        EXPECT_EQ(fake::Output(), c.trace);
        EXPECT_EQ(fake::Port().now, c.elapsed);
        EXPECT_TRUE(fake::CallsTo("CancelIoEx").empty());
        EXPECT_EQ(Violations(), "");
    }
}

TEST_F(Overlapped, ReadThatNeverCompletesIsCancelledAndKeepsWhatItDelivered)
{
    for (std::uint32_t delivered : {0u, 2u}) {
        SCOPED_TRACE(delivered);
        fake::Reset();
        fake::Arrive(0, {'A', 'B', 'C', 'D', 'E'});
        fake::Port().readCompletions.push_back({fake::Completion::Never, 0});
        fake::Port().deliveredOnCancel = delivered;
        CollectReply(true);
        EXPECT_EQ(ReplyCount, delivered);
        EXPECT_EQ(fake::CallsTo("CancelIoEx").size(), 1u);
        EXPECT_EQ(fake::Port().now, ReadCompletionBoundMs);
        EXPECT_EQ(Violations(), "");
        // The next collection may use the record again.
        CollectReply(false);
        EXPECT_EQ(Violations(), "");
    }
}

TEST_F(Overlapped, OperationWhoseCancelNeverCompletesGivesUpThePortButNotTheRelease)
{
    for (bool isRead : {true, false}) {
        SCOPED_TRACE(isRead ? "read" : "write");
        fake::Reset();
        PortHandle = fake::OpenHandle();
        fake::Port().cancelIgnored = true;
        fake::Arrive(0, {'A', 'B'});
        const unsigned char bytes[] = {0x45};
        if (isRead) {
            fake::Port().readCompletions.push_back({fake::Completion::Never, 0});
            CollectReply(true);
        } else {
            fake::Port().writeCompletions.push_back({fake::Completion::Never, 0});
            SendCommand("send [x45]\n", bytes, 1);
            CollectReply(true);
        }
        EXPECT_EQ(ReplyCount, 0u);
        const std::size_t callsWhenGivenUp = fake::Port().calls.size();
        SendCommand("send [x45]\n", bytes, 1);
        fake::Arrive(fake::Port().now, {0x06});
        CollectReply(true);
        EXPECT_EQ(ReplyCount, 0u);
        for (auto call = fake::Port().calls.begin() + static_cast<std::ptrdiff_t>(callsWhenGivenUp);
             call != fake::Port().calls.end(); ++call) {
            EXPECT_TRUE(call->name == "Sleep" || call->name == "ClearCommError") << call->name << " after giving up";
        }
        ClosePort(fake::OpenHandle());
        EXPECT_EQ(fake::CallsTo("CloseHandle").size(), 1u);
        EXPECT_EQ(Violations(), "");
        EXPECT_EQ(fake::Output(),
                  std::string(isRead ? "" : "send [x45]\n") + "0\nsend [x45]\n0\n(+) CloseHandle ok \n");
    }
}

TEST_F(Overlapped, ReadTooLateIsCancelled)
{
    fake::Arrive(0, {'x'});
    fake::Port().readCompletions.push_back({fake::Completion::After, ReadCompletionBoundMs + 1});
    CollectReply(false);
    EXPECT_EQ(ReplyCount, 0u);
    EXPECT_EQ(fake::CallsTo("CancelIoEx").size(), 1u);
    EXPECT_EQ(Violations(), "");
}

TEST_F(Overlapped, PendingWriteKeepsThePacingAndIsFinishedBeforeTheNextOperation)
{
    const unsigned char bytes[] = {0x52, 0x00, 0x05};
    const char *const labels[] = {"send [x52] ", "[x00] ", "[x05] "};
    fake::Port().writeCompletions = {
        {fake::Completion::After, 2}, {fake::Completion::After, 2}, {fake::Completion::After, 2}};
    SendPaced(bytes, labels, 3);
    CollectReply(true);
    const auto &writes = fake::Port().writes;
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].at, 50u);
    EXPECT_EQ(writes[2].at, 100u);
    EXPECT_EQ(fake::Port().now, 600u);
    EXPECT_TRUE(fake::CallsTo("CancelIoEx").empty());
    EXPECT_EQ(Violations(), "");
}

TEST_F(Overlapped, StalledWriteIsCancelledAfterItsBoundInsteadOfHanging)
{
    const unsigned char bytes[] = {0x06};
    fake::Port().writeCompletions = {{fake::Completion::Never, 0}, {fake::Completion::Never, 0}};
    SendCommand("send [x06]\n", bytes, 1);
    SendCommand("send [x06]\n", bytes, 1);
    EXPECT_EQ(fake::CallsTo("CancelIoEx").size(), 1u);
    EXPECT_EQ(fake::Port().writes.at(1).at, 500u + WriteCompletionBoundMs);
    ClosePort(PortHandle);
    EXPECT_EQ(fake::CallsTo("CancelIoEx").size(), 2u);
    EXPECT_EQ(Violations(), "");
    EXPECT_EQ(fake::Output(), "send [x06]\nsend [x06]\n(+) CloseHandle ok \n");
}

TEST_F(Overlapped, WriteStillPendingAtCloseIsFinishedFirst)
{
    const unsigned char bytes[] = {0x45};
    fake::Port().writeCompletions.push_back({fake::Completion::After, 600});
    SendCommand("send [x45]\n", bytes, 1);
    ClosePort(PortHandle);
    EXPECT_EQ(fake::Port().now, 600u);
    EXPECT_TRUE(fake::CallsTo("CancelIoEx").empty());
    EXPECT_EQ(Violations(), "");
}

TEST_F(Overlapped, PendingWriteSendsTheCallersBytesEvenIfTheyChangeAfterwards)
{
    unsigned char bytes[] = {'R'};
    fake::Port().writeCompletions.push_back({fake::Completion::After, 300});
    SendCommand("send [x52]\n", bytes, 1);
    // Nothing may read this: the pending write must have taken its own copy.
    // cppcheck-suppress unreadVariable
    bytes[0] = 'X';
    EXPECT_EQ(fake::Port().writes.at(0).bytes, fake::Bytes{'R'});
    FinishPendingWrite();
    EXPECT_EQ(Violations(), "");
}

} // namespace
