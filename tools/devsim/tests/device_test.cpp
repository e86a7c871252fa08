// The device model: what it answers, when, and what it takes for a
// deviation. The program's requests are written out here byte by byte,
// apart from the model, so a slip in its script shows up.
#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"

namespace devsim {
namespace {

const Bytes Handshake{0x02, 0x50, 0x52, 0x4F, 0x47, 0x52, 0x41, 0x4D};
const Bytes AckByte{0x06};

// The program's requests in the order it sends them.
std::vector<Bytes> ProgramRequests()
{
    std::vector<Bytes> requests{Handshake, {0x02, 0x00}, AckByte, {0x50}, AckByte};
    for (unsigned block = 0; block < 128; ++block) {
        requests.push_back({0x52, 0x00, static_cast<std::uint8_t>(block)});
        requests.push_back(AckByte);
    }
    requests.push_back({0x45});
    return requests;
}

// Positions in ProgramRequests() and in Converse()'s result; block k's
// request is at trace::BlockRequestIndex(k).
constexpr std::size_t Identify = 1, IdentifyAck = 2, Version = 3, VersionAck = 4, End = 261;

// Feeds one request; fails the test when anything is answered before its
// last byte. Returns the answer's chunks.
std::vector<ReplyChunk> Ask(Device &device, const Bytes &request)
{
    std::vector<ReplyChunk> reply;
    for (std::size_t i = 0; i < request.size(); ++i) {
        Device::Reaction reaction = device.Receive(request[i]);
        EXPECT_EQ(reaction.deviation, "");
        EXPECT_EQ(reaction.completed != nullptr, i + 1 == request.size()) << "byte " << i + 1;
        EXPECT_TRUE(i + 1 == request.size() || reaction.reply.empty()) << "answered early, byte " << i + 1;
        reply = reaction.reply;
    }
    return reply;
}

// The joined answers to a whole, correct dialogue.
std::vector<Bytes> Converse(const DeviceOptions &options)
{
    Device device(options);
    std::vector<Bytes> replies;
    // A loop, not std::transform: the device must hear the requests in order.
    for (const Bytes &request : ProgramRequests()) {
        // cppcheck-suppress useStlAlgorithm
        replies.push_back(JoinReply(Ask(device, request)));
    }
    EXPECT_TRUE(device.IsComplete());
    EXPECT_FALSE(device.HasDeviated()) << device.FirstDeviation();
    EXPECT_EQ(device.DescribeUnfinished(), "");
    return replies;
}

// Printable characters before a closing CR.
std::string TextOf(const Bytes &reply)
{
    EXPECT_TRUE(!reply.empty() && reply.back() == 0x0D);
    std::string text(reply.begin(), reply.end() - (reply.empty() ? 0 : 1));
    for (char c : text) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << int(static_cast<unsigned char>(c));
    }
    return text;
}

Bytes BlockOf(const Bytes &image, unsigned block)
{
    const auto start = image.begin() + static_cast<std::ptrdiff_t>(block) * 32;
    return Bytes(start, start + 32);
}

TEST(DeviceDialogue, AnswersEveryRequestOfAPlainDialogue)
{
    const std::vector<Bytes> replies = Converse(DeviceOptions());
    const Bytes image = BuiltInImage();
    EXPECT_EQ(replies[0], Bytes{0x06});
    const std::string identification = TextOf(replies[Identify]);
    EXPECT_TRUE(!identification.empty() && identification.size() <= 20) << identification;
    EXPECT_EQ(replies[IdentifyAck], Bytes{});
    EXPECT_FALSE(TextOf(replies[Version]).empty());
    EXPECT_EQ(replies[VersionAck], Bytes{0x06});
    for (unsigned block = 0; block < 128; ++block) {
        EXPECT_EQ(replies[trace::BlockRequestIndex(block)], BlockOf(image, block)) << "block " << block;
        EXPECT_EQ(replies[trace::BlockRequestIndex(block) + 1], Bytes{}) << "ack of block " << block;
    }
    EXPECT_EQ(replies[End], Bytes{0x06});
}

TEST(DeviceImage, BuiltInImageHoldsEveryByteValueAndOpensWithControlBytes)
{
    const Bytes image = BuiltInImage();
    ASSERT_EQ(image.size(), ImageSize);
    EXPECT_EQ(std::set<std::uint8_t>(image.begin(), image.end()).size(), 256u);
    const Bytes block0 = BlockOf(image, 0);
    for (std::uint8_t awkward : {0x00, 0xFF, 0x06, 0x11, 0x13, 0x0A, 0x0D}) {
        EXPECT_NE(std::find(block0.begin(), block0.end(), awkward), block0.end()) << int(awkward);
    }
}

TEST(DeviceImage, GivenImageIsServedBlockByBlock)
{
    DeviceOptions options;
    options.image.resize(ImageSize);
    for (std::size_t i = 0; i < ImageSize; ++i) {
        options.image[i] = static_cast<std::uint8_t>(255 - i % 251);
    }
    const std::vector<Bytes> replies = Converse(options);
    for (unsigned block : {0u, 1u, 0x55u, 127u}) {
        EXPECT_EQ(replies[trace::BlockRequestIndex(block)], BlockOf(options.image, block));
    }
}

TEST(DeviceOptionsTest, AnswerAcksAnswersTheAcknowledgementsLeftUnanswered)
{
    DeviceOptions options;
    options.answerAcks = true;
    const std::vector<Bytes> replies = Converse(options);
    EXPECT_EQ(replies[IdentifyAck], Bytes{0x06});
    EXPECT_EQ(replies[VersionAck], Bytes{0x06});
    for (unsigned block = 0; block < 128; ++block) {
        EXPECT_EQ(replies[trace::BlockRequestIndex(block) + 1], Bytes{0x06});
    }
}

TEST(DeviceOptionsTest, SilentDeviceAnswersNothingButStillChecks)
{
    DeviceOptions options;
    options.silent = true;
    for (const Bytes &reply : Converse(options)) {
        EXPECT_EQ(reply, Bytes{});
    }
    Device device(options);
    EXPECT_NE(device.Receive(0x03).deviation, "");
}

TEST(DeviceOptionsTest, LongTextIsLongerThanTwentyPrintableCharacters)
{
    DeviceOptions options;
    options.longText = true;
    EXPECT_GT(TextOf(Converse(options)[Identify]).size(), 20u);
}

TEST(DeviceOptionsTest, BigReplyExtendsBlockZeroThroughTheImage)
{
    DeviceOptions options;
    options.bigReply = 5000;
    const std::vector<Bytes> replies = Converse(options);
    const Bytes image = BuiltInImage();
    const Bytes &big = replies[trace::BlockRequestIndex(0)];
    ASSERT_EQ(big.size(), 5000u);
    for (std::size_t i = 0; i < big.size(); ++i) {
        ASSERT_EQ(big[i], image[i % ImageSize]) << "byte " << i;
    }
    EXPECT_EQ(replies[trace::BlockRequestIndex(1)], BlockOf(image, 1));
}

TEST(DeviceOptionsTest, SplitDelaySendsEachBlockInTwoTimedHalves)
{
    // Reply length, then the expected sizes of the halves.
    using Halves = std::tuple<unsigned, unsigned, unsigned>;
    for (const auto &[length, first, second] : {Halves{32, 16, 16}, Halves{33, 16, 17}, Halves{1, 0, 1}}) {
        SCOPED_TRACE("reply of " + std::to_string(length) + " bytes");
        DeviceOptions options;
        options.splitDelayMs = 800;
        options.bigReply = length;
        Device device(options);
        for (std::size_t i = 0; i < trace::BlockRequestIndex(0); ++i) {
            Ask(device, ProgramRequests()[i]);
        }

        const std::vector<ReplyChunk> reply = Ask(device, ProgramRequests()[trace::BlockRequestIndex(0)]);
        ASSERT_EQ(reply.size(), first > 0 ? 2u : 1u);
        EXPECT_EQ(reply.front().afterMs, first > 0 ? 0u : 800u);
        EXPECT_EQ(reply.front().bytes.size(), first > 0 ? first : second);
        EXPECT_EQ(reply.back().afterMs, 800u);
        EXPECT_EQ(reply.back().bytes.size(), second);
        EXPECT_EQ(JoinReply(reply), BlockReply(options, 0));
    }
}

TEST(DeviceOptionsTest, UnusableOptionsAreRefused)
{
    DeviceOptions shortImage;
    DeviceOptions emptyReply;
    DeviceOptions longSplit;
    shortImage.image = Bytes(ImageSize - 1);
    emptyReply.bigReply = 0;
    longSplit.splitDelayMs = MaxSplitDelayMs + 1;
    for (const DeviceOptions &options : {shortImage, emptyReply, longSplit}) {
        EXPECT_NE(CheckDeviceOptions(options), "");
        EXPECT_THROW(static_cast<void>(Device(options)), std::invalid_argument);
    }
}

// Where the program goes wrong: the correct bytes it sent first, counted
// over the whole dialogue, then the wrong one.
struct DeviationCase {
    const char *name;
    std::size_t correctBytes;
    std::uint8_t wrong;
    const char *expected; // what the message must say was expected
};

void PrintTo(const DeviationCase &c, std::ostream *out)
{
    *out << c.name;
}

class DeviceDeviation : public ::testing::TestWithParam<DeviationCase> {};

TEST_P(DeviceDeviation, IsReportedAtItsPositionAndSilencesTheDevice)
{
    const DeviationCase &c = GetParam();
    Bytes stream;
    for (const Bytes &request : ProgramRequests()) {
        stream.insert(stream.end(), request.begin(), request.end());
    }

    Device device{DeviceOptions()};
    for (std::size_t i = 0; i < c.correctBytes; ++i) {
        ASSERT_EQ(device.Receive(stream[i]).deviation, "");
    }
    const std::string message = device.Receive(c.wrong).deviation;
    EXPECT_TRUE(device.HasDeviated());
    char where[48];
    (void)std::snprintf(where, sizeof where, "received byte %zu was %02X", c.correctBytes + 1,
                        c.wrong); // 48 holds any count
    EXPECT_NE(message.find(where), std::string::npos) << message;
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;

    // Whatever comes next, right or wrong, gets no answer and no new report.
    for (std::size_t i = c.correctBytes; i < stream.size(); ++i) {
        const Device::Reaction later = device.Receive(stream[i]);
        EXPECT_TRUE(later.reply.empty() && later.deviation.empty()) << "byte " << i + 1;
    }
    EXPECT_EQ(device.DescribeUnfinished(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Positions, DeviceDeviation,
    ::testing::Values(DeviationCase{"FirstByte", 0, 0x00, "expected 02 (byte 1 of 8 of the handshake"},
                      DeviationCase{"InsideHandshake", 2, 0x53, "expected 52 (byte 3 of 8 of the handshake"},
                      DeviationCase{"IdentifyWithoutZero", 9, 0x06, "expected 00 (byte 2 of 2 of the identification"},
                      DeviationCase{"BlockSkipped", 15, 0x01, "expected 00 (byte 3 of 3 of the block 0x00 request"},
                      DeviationCase{"AckMissed", 16, 0x52,
                                    "expected 06 (byte 1 of 1 of the acknowledgement of block 0x00"},
                      DeviationCase{"BlockInsteadOfEnd", 525, 0x52, "expected 45 (byte 1 of 1 of the end request"},
                      DeviationCase{"ByteAfterEnd", 526, 0x06, "after the end request"}),
    [](const ::testing::TestParamInfo<DeviationCase> &info) { return std::string(info.param.name); });

TEST(DeviceProgress, UnfinishedDialogueIsDescribedOnlyOnceBegun)
{
    Device device{DeviceOptions()};
    EXPECT_EQ(device.DescribeUnfinished(), "");
    for (std::size_t i = 0; i < trace::BlockRequestIndex(0); ++i) {
        Ask(device, ProgramRequests()[i]);
    }
    device.Receive(0x52);
    EXPECT_EQ(device.ReceivedCount(), 14u);
    const std::string unfinished = device.DescribeUnfinished();
    EXPECT_NE(unfinished.find("after 14 of 526 bytes"), std::string::npos) << unfinished;
    EXPECT_NE(unfinished.find("byte 2 of the block 0x00 request"), std::string::npos) << unfinished;
}

} // namespace
} // namespace devsim
