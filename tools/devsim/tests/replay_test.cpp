// Replaying a trace: the round trip and the reader's refusals. The program
// itself (comtrace's logic on the fake platform's virtual clock) records a
// trace against each of devsim's own devices, then runs against the replay
// of that trace; both runs must print the same trace.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "devsim/options.h"
#include "devsim/trace_reader.h"
#include "expected_trace.h"
#include "fake_platform.h"
#include "program.h"

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

std::vector<Bytes> Answers(const DeviceOptions &options)
{
    const std::vector<Exchange> dialogue = BuildDialogue(options);
    std::vector<Bytes> answers(dialogue.size());
    std::transform(dialogue.begin(), dialogue.end(), answers.begin(),
                   [](const Exchange &exchange) { return JoinReply(exchange.reply); });
    return answers;
}

std::string WholeTrace(const std::vector<Bytes> &collections)
{
    return expected::HealthyBringUp + expected::Dialogue(collections) + expected::ReleasedLine;
}

void ExpectSameTrace(const std::string &wanted, const std::string &actual)
{
    EXPECT_TRUE(wanted == actual) << expected::FirstDifference(wanted, actual);
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
            ExpectSameTrace(WholeTrace(expected::CollectionsOf(Answers(options.device))), recorded);
        }

        std::vector<Bytes> collections;
        ASSERT_EQ(ParseTrace(recorded, collections), "");
        ExpectSameTrace(recorded, WholeTrace(collections));
        DeviceOptions replay;
        replay.replay = collections;
        ASSERT_EQ(CheckDeviceOptions(replay), "");
        EXPECT_EQ(expected::CollectionsOf(Answers(replay)), collections);
        ExpectSameTrace(recorded, RunProgramAgainst(replay));
    }
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string> &lines, const char *end = "\n")
{
    std::string text;
    for (const std::string &line : lines) {
        text += line + end;
    }
    return text;
}

TEST(TraceReader, ReadsEveryFormTheProgramPrints)
{
    DeviceOptions answering;
    answering.answerAcks = true;
    const std::vector<Bytes> wanted = expected::CollectionsOf(Answers(answering));
    const std::vector<std::string> lines = SplitLines(WholeTrace(wanted));
    const std::vector<std::string> dialogue(lines.begin() + 6, lines.end() - 1);
    std::vector<std::string> failedSteps = {
        "(+) COM1 initialized",        "(-) PurgeComm() failed",
        "(-) ClearCommBreak() failed", "(-) GetLastError() return 5 (Access is denied)",
        "(-) GetCommState() failed",   "(-) SetCommState() failed",
        "(-) PurgeComm() failed"};
    failedSteps.insert(failedSteps.end(), dialogue.begin(), dialogue.end());
    failedSteps.push_back("(-) CloseHandle() failed");

    for (const std::string &text :
         {JoinLines(lines), JoinLines(lines, "\r\n"), JoinLines(dialogue), JoinLines(dialogue, "\r\n"),
          JoinLines(failedSteps), "\xEF\xBB\xBF" + JoinLines(lines),
          JoinLines(std::vector<std::string>(lines.begin(), lines.end() - 1))}) {
        std::vector<Bytes> collections;
        EXPECT_EQ(ParseTrace(text, collections), "") << text.substr(0, 80);
        EXPECT_EQ(collections, wanted) << text.substr(0, 80);
    }
}

TEST(TraceReader, RefusesWhatItCannotUseAndNamesTheLine)
{
    // The talking device's trace: six bring-up lines, the handshake's label
    // at line 7, block N's label at 24 + 4N, the end's dump at 537, the
    // release line at 539.
    const std::string talking = WholeTrace(expected::CollectionsOf(Answers(DeviceOptions())));
    const std::vector<std::string> lines = SplitLines(talking);
    auto replaced = [&lines](std::size_t line, const std::string &text) {
        std::vector<std::string> spoiled = lines;
        spoiled.at(line - 1) = text;
        return JoinLines(spoiled);
    };
    auto firstLines = [&lines](std::size_t count) {
        return JoinLines(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(count)));
    };
    std::string hugeDump;
    for (int i = 0; i < 4097; ++i) {
        hugeDump += "[06] ";
    }
    struct Refusal {
        std::string trace;
        std::size_t line;
        const char *says;
    };
    const std::vector<Refusal> refusals = {
        {firstLines(90), 91, "block 0x10's acknowledgement \"send [x06]\", found the end of the trace"},
        {talking.substr(0, talking.find("[5E]")), 26, "with no line end (the trace is cut short)"},
        {replaced(37, "31"), 38, "31 bytes in the dump of the bytes collected after the block 0x03 request"},
        {replaced(25, "32 bytes"), 25, "the number of bytes collected after the block 0x00 request (0 to 4096)"},
        {replaced(8, "4097"), 8, "(0 to 4096), found \"4097\""},
        {replaced(8, "01"), 8, "found \"01\""},
        {replaced(26, "[00] [ff] "), 26, "at column 6 of the dump of the bytes collected after the block 0x00"},
        {replaced(9, "06 "), 9, "a byte as \"[XX] \""},
        {replaced(9, "[06]"), 9, "(its trailing space is missing)"},
        {replaced(10, "GET OK!"), 10, "(its trailing space is missing)"},
        {replaced(10, "no answer "), 10, "dump that starts with 06, \"GET OK! \""},
        {replaced(14, "DEVSIM MEMORY UNIT-3"), 14, "captures from the dump above, \"DEVSIM MEMORY UNIT-2\""},
        {replaced(44, "send [x52] [x01] [x05] "), 44, "the label of the block 0x05 request"},
        {replaced(7, "send [x02] [x51]"), 7, "the label of the handshake"},
        {replaced(15, "send [x50]"), 15, "acknowledgement \"send [x06]\", found \"send [x50]\""},
        {replaced(100, "send [x06]\r"), 100, "an LF line end as on line 1, found CR LF"},
        {talking + "\n", 540, "the end of the trace after the release line"},
        {replaced(537, hugeDump), 537, "at most 4096 bytes in the dump of the bytes collected after the end request"},
        {replaced(1, "(-) COM1 initialization failed"), 1, "no device to replay"},
        {replaced(3, "(+) Cleared the break"), 3, "the bring-up line"},
        {replaced(3, "(-) ClearCommBreak() failed\n(-) GetLastError() return 5 (The parameter is incorrect)"), 4,
         "the error-code line"},
        {"\xFF\xFE" + talking, 1, "UTF-16"},
        {"", 1, "found the end of the trace"},
        {replaced(1, "hello"), 1, "or the label of the handshake"},
    };
    for (const Refusal &refusal : refusals) {
        std::vector<Bytes> collections{Bytes{0x42}};
        const std::string problem = ParseTrace(refusal.trace, collections);
        const std::string where = "line " + std::to_string(refusal.line) + ": expected ";
        EXPECT_EQ(problem.compare(0, where.size(), where), 0) << problem;
        EXPECT_NE(problem.find(refusal.says), std::string::npos) << problem;
        EXPECT_EQ(collections, std::vector<Bytes>{Bytes{0x42}}) << problem;
    }
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
