// The exchange primitives on the fake platform: sending with its pacing,
// collecting what the device sent, and the three ways of showing a reply.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "port/bringup.h"
#include "port/exchange.h"
#include "port/port_io.h"

namespace {

class Exchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        PortHandle = fake::OpenHandle();
    }
    void TearDown() override { FinishPendingWrite(); }

    // Makes the bytes wait in the input queue and collects them.
    static void Collect(const fake::Bytes &bytes, bool showCount = false)
    {
        fake::Arrive(fake::Port().now, bytes);
        CollectReply(showCount);
    }
};

TEST_F(Exchange, DumpsEachByteAsTwoUppercaseHexDigits)
{
    const struct {
        fake::Bytes bytes;
        const char *line;
    } cases[] = {
        {{}, "\n"},
        {{0x00, 0x0A, 0x10, 0xFF}, "[00] [0A] [10] [FF] \n"},
        {{0x06}, "[06] \n"},
        {{0x0F, 0x1F, 0x7F, 0x80, 0xAB}, "[0F] [1F] [7F] [80] [AB] \n"},
    };
    for (const auto &c : cases) {
        fake::Port().messages.clear();
        Collect(c.bytes);
        DumpReply();
        EXPECT_EQ(fake::Output(), c.line);
    }
}

TEST_F(Exchange, ReportsAckOnlyWhenTheFirstByteTakenIsAck)
{
    const struct {
        fake::Bytes bytes;
        const char *verdict;
    } cases[] = {
        {{}, "no answer \n"},     {{0x06}, "GET OK! \n"},         {{0x06, 0x41, 0x00}, "GET OK! \n"},
        {{0x15}, "no answer \n"}, {{0x41, 0x06}, "no answer \n"},
    };
    for (const auto &c : cases) {
        fake::Port().messages.clear();
        Collect(c.bytes);
        ReportAck();
        EXPECT_EQ(fake::Output(), c.verdict);
    }
}

TEST_F(Exchange, CapturesTheLeadingPrintableRunUpToTwentyCharacters)
{
    const struct {
        fake::Bytes bytes;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{0x06}, ""},
        {{'A', 'B', 0x0D}, "AB"},
        {{'A', 'B'}, "AB"},
        {{' ', '~', 0x7F, 'x'}, " ~\x7Fx"},
        {{'a', 0x80, 'b'}, "a"},
        {{'a', 0x1F, 'b'}, "a"},
        {{'a', 0x00, 'b'}, "a"},
        {fake::Bytes(25, 'Z'), std::string(20, 'Z')},
        {fake::Bytes(20, 'Y'), std::string(20, 'Y')},
    };
    for (const auto &c : cases) {
        fake::Port().messages.clear();
        Collect(c.bytes);
        CaptureText();
        EXPECT_EQ(std::string(ReplyText), c.text);
        EXPECT_EQ(fake::Output(), c.text + "\n");
    }
}

TEST_F(Exchange, ALongTextAfterAShortOneLeavesNothingBehind)
{
    Collect(fake::Bytes(30, 'L'));
    CaptureText();
    Collect({'s', 'h', 0x0D});
    CaptureText();
    EXPECT_EQ(fake::Output(), std::string(20, 'L') + "\nsh\n");
}

TEST_F(Exchange, CollectionTakesAtMostTheBufferAndLeavesTheRestQueuedInOrder)
{
    fake::Bytes sent(5000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i * 7);
    }
    fake::Arrive(0, sent);
    CollectReply(true);
    ASSERT_EQ(ReplyCount, ReceiveBufferSize);
    EXPECT_EQ(fake::Bytes(ReceiveBuffer, ReceiveBuffer + ReplyCount), fake::Bytes(sent.begin(), sent.begin() + 4096));
    EXPECT_EQ(fake::CallsTo("ReadFile").at(0).args.at(0), 4096u);
    CollectReply(true);
    ASSERT_EQ(ReplyCount, 904u);
    EXPECT_EQ(fake::Bytes(ReceiveBuffer, ReceiveBuffer + ReplyCount), fake::Bytes(sent.begin() + 4096, sent.end()));
    EXPECT_EQ(fake::Output(), "4096\n904\n");
}

TEST_F(Exchange, AShortReadCountsDumpsAndJudgesOnlyTheBytesDelivered)
{
    fake::Arrive(0, {0x06, 'O', 'K', 0x0D, 0x55});
    fake::Port().readLimits.push_back(2);
    CollectReply(true);
    EXPECT_EQ(ReplyCount, 2u);
    DumpReply();
    ReportAck();
    EXPECT_EQ(fake::Output(), "2\n[06] [4F] \nGET OK! \n");
    fake::Port().messages.clear();
    CollectReply(true);
    DumpReply();
    CaptureText();
    EXPECT_EQ(fake::Output(), "3\n[4B] [0D] [55] \nK\n");
}

TEST_F(Exchange, AFailedQueueQueryTakesNothingAndReadsNothing)
{
    Collect({'s', 't', 'a', 'l', 'e'});
    fake::Port().results["ClearCommError"].push_back(ERROR_GEN_FAILURE);
    fake::Port().messages.clear();
    CollectReply(true);
    DumpReply();
    CaptureText();
    EXPECT_EQ(ReplyCount, 0u);
    EXPECT_EQ(fake::CallsTo("ReadFile").size(), 1u); // only the first collection read
    EXPECT_EQ(fake::Output(), "0\n\n\n");
}

TEST_F(Exchange, AFailedReadTakesNothing)
{
    fake::Arrive(0, {0x06});
    fake::Port().results["ReadFile"].push_back(ERROR_GEN_FAILURE);
    CollectReply(true);
    ReportAck();
    EXPECT_EQ(ReplyCount, 0u);
    EXPECT_EQ(fake::Output(), "0\nno answer \n");
}

TEST_F(Exchange, CountLineOnlyWhenAsked)
{
    Collect({1, 2, 3}, false);
    EXPECT_EQ(fake::Output(), "");
    Collect({1, 2, 3}, true);
    EXPECT_EQ(fake::Output(), "3\n");
}

TEST_F(Exchange, PacedSendLabelsWritesAndWaitsEachByte)
{
    const unsigned char bytes[] = {0x52, 0x00, 0x7F};
    const char *const labels[] = {"send [x52] ", "[x00] ", "[x7F] "};
    SendPaced(bytes, labels, 3);
    const auto &writes = fake::Port().writes;
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, fake::Bytes{0x52});
    EXPECT_EQ(writes[1].bytes, fake::Bytes{0x00});
    EXPECT_EQ(writes[2].bytes, fake::Bytes{0x7F});
    EXPECT_EQ(writes[0].at, 0u);
    EXPECT_EQ(writes[1].at, 50u);
    EXPECT_EQ(writes[2].at, 100u);
    EXPECT_EQ(fake::Port().now, 600u);
    // Each label is printed before its byte goes out.
    const auto &messages = fake::Port().messages;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].text, "[x7F] ");
    EXPECT_EQ(messages[2].at, 100u);
}

TEST_F(Exchange, CommandSendsAllBytesInOneWriteThenWaits)
{
    const unsigned char bytes[] = {0x02, 0x00};
    SendCommand("send [ x02]\n", bytes, 2);
    ASSERT_EQ(fake::Port().writes.size(), 1u);
    EXPECT_EQ(fake::Port().writes[0].bytes, (fake::Bytes{0x02, 0x00}));
    EXPECT_EQ(fake::Port().now, 500u);
    EXPECT_EQ(fake::Output(), "send [ x02]\n");
}

TEST_F(Exchange, FailedWritesChangeNeitherTraceNorPacing)
{
    fake::Port().results["WriteFile"].assign(2, ERROR_GEN_FAILURE);
    const unsigned char bytes[] = {0x45};
    SendCommand("send [x45]\n", bytes, 1);
    SendCommand("send [x45]\n", bytes, 1);
    EXPECT_EQ(fake::Output(), "send [x45]\nsend [x45]\n");
    EXPECT_EQ(fake::Port().now, 1000u);
}

} // namespace
