// Replaying a trace: the round trip and loading a recording. The program
// itself (comtrace's logic on the fake platform's virtual clock) records a
// trace against each of devsim's own devices, then runs against the replay
// of that trace; both runs must print the same trace.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "devsim/options.h"
#include "fake_platform.h"
#include "program.h"
#include "trace/reader.h"
#include "trace/writer.h"
#include "trace_compare.h"

namespace devsim {
namespace {

// The program's trace against a devsim device on the virtual clock: each
// answer arrives as long after the request as the device says.
std::string RunProgramAgainst(const DeviceOptions &options)
{
    fake::Reset();
    fake::Port().recordCalls = false;
    fake::Port().traceAsText = true;
    Device device(options);
    fake::Port().device = [&device](const fake::Bytes &written) {
        for (std::uint8_t byte : written) {
            const Device::Reaction reaction = device.Receive(byte);
            EXPECT_EQ(reaction.deviation, "");
            for (const ReplyChunk &chunk : reaction.reply) {
                fake::Arrive(fake::Port().now + chunk.afterMs, chunk.bytes);
            }
        }
    };
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(device.IsComplete()) << device.DescribeUnfinished();
    return fake::Output();
}

void ExpectSameTrace(const std::string &wanted, const std::string &actual)
{
    EXPECT_TRUE(wanted == actual) << support::FirstDifference(wanted, actual);
}

TEST(ReplayRoundTrip, EveryDeviceOptionsTraceIsTracedAgainByteForByte)
{
    // devsim's options; with the first four every answer arrives whole
    // before the next collection, so the builder alone knows the trace.
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--silent"}, {"--answer-acks"}, {"--long-text"}, {"--big-reply", "5000"}, {"--split-delay", "800"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> arguments = cases[i];
        arguments.insert(arguments.end(), {"--", "comtrace"});
        Options options;
        ASSERT_EQ(ParseOptions(arguments, options), "");
        SCOPED_TRACE(arguments.front());
        const std::string recorded = RunProgramAgainst(options.device);
        if (i < 4) {
            ExpectSameTrace(trace::WholeTrace(trace::CollectionsOf(JoinedReplies(options.device))), recorded);
        }

        trace::ParsedTrace parsed;
        ASSERT_EQ(trace::ParseTrace(recorded, parsed), "");
        const std::vector<Bytes> &collections = parsed.collections;
        ExpectSameTrace(recorded, trace::WholeTrace(collections));
        DeviceOptions replay;
        replay.replay = collections;
        ASSERT_EQ(CheckDeviceOptions(replay), "");
        EXPECT_EQ(trace::CollectionsOf(JoinedReplies(replay)), collections);
        ExpectSameTrace(recorded, RunProgramAgainst(replay));
    }
}

TEST(ReplayLoading, ReadsTracesInEitherEncodingButNotARunWithoutAPort)
{
    const std::vector<Bytes> talking = trace::CollectionsOf(JoinedReplies(DeviceOptions()));
    const std::string path = ::testing::TempDir() + "replay_test.trace";
    struct Case {
        std::string text;
        const char *problem; // what the refusal ends with, or null
    };
    const std::vector<Case> cases = {
        {trace::Encoded(trace::WholeTrace(talking), trace::LineEnd::CrLf, true), nullptr},
        {trace::Encoded(trace::DialogueText(talking), trace::LineEnd::Lf, false), nullptr},
        {trace::WholeTrace(std::vector<Bytes>(CollectionCount), false),
         ": line 1: expected \"(+) COM1 initialized\", found \"(-) COM1 initialization failed\": the recorded run "
         "had no port, so there is no device to replay (devsim --absent plays such a run)"},
        {trace::Encoded(trace::WholeTrace(std::vector<Bytes>(CollectionCount), false), trace::LineEnd::CrLf, true),
         "no device to replay (devsim --absent plays such a run)"},
    };
    for (const Case &c : cases) {
        std::ofstream(path, std::ios::binary) << c.text;
        std::vector<Bytes> collections;
        const std::string problem = LoadReplay(path, collections);
        if (c.problem == nullptr) {
            EXPECT_EQ(problem, "");
            EXPECT_EQ(collections, talking);
            continue;
        }
        EXPECT_EQ(problem.rfind("cannot replay the trace " + path + ": line 1: ", 0), 0u) << problem;
        EXPECT_EQ(problem.substr(problem.size() - std::string(c.problem).size()), c.problem) << problem;
        EXPECT_TRUE(collections.empty());
    }
    (void)std::remove(path.c_str());
}

TEST(ReplayOptions, ReplySettingsAndNoDeviceCannotJoinAReplay)
{
    for (const std::vector<std::string> &conflict : std::vector<std::vector<std::string>>{{"--absent"},
                                                                                          {"--silent"},
                                                                                          {"--answer-acks"},
                                                                                          {"--long-text"},
                                                                                          {"--image", "image.bin"},
                                                                                          {"--big-reply", "5000"},
                                                                                          {"--split-delay", "800"}}) {
        std::vector<std::string> arguments = {"--replay", "run.trace"};
        arguments.insert(arguments.end(), conflict.begin(), conflict.end());
        arguments.insert(arguments.end(), {"--", "comtrace"});
        Options options;
        const std::string problem = ParseOptions(arguments, options);
        EXPECT_EQ(problem.find("--replay and " + conflict[0] + " cannot be combined"), 0u) << problem;
    }
    Options options;
    EXPECT_EQ(
        ParseOptions({"--replay=run.trace", "--vanish-after", "3", "--log", "run.log", "--", "comtrace"}, options), "");
    EXPECT_EQ(options.replayPath, "run.trace");

    DeviceOptions device;
    device.replay = std::vector<Bytes>(CollectionCount - 1);
    EXPECT_NE(CheckDeviceOptions(device), "");
    device.replay->emplace_back();
    device.longText = true;
    EXPECT_NE(CheckDeviceOptions(device), "");
}

} // namespace
} // namespace devsim
