// Replaying a trace: the reader's refusals, and the round trip. The program
// itself (comtrace's logic on the fake platform's virtual clock) records a
// trace against each of devsim's own devices and then runs again against
// the replay of that trace; both runs must print the same trace.
#include <functional>
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

// The program's run against a devsim device on the virtual clock: every
// byte it writes goes to the device, every answer arrives after the delay
// the device gives it. Returns the trace.
std::string RunProgramAgainst(const DeviceOptions &options)
{
    fake::Reset();
    fake::Port().recordCalls = false;
    fake::Port().traceAsText = true;
    Device device(options);
    fake::Port().device = [&device](const fake::Bytes &written) {
        const std::uint64_t now = fake::Port().now;
        for (std::uint8_t byte : written) {
            const Device::Reaction reaction = device.Receive(byte);
            EXPECT_EQ(reaction.deviation, "");
            for (const ReplyChunk &chunk : reaction.reply) {
                fake::Arrive(now + chunk.afterMs, chunk.bytes);
            }
        }
    };
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(device.IsComplete()) << device.DescribeUnfinished();
    return fake::Output();
}

std::vector<Bytes> Answers(const DeviceOptions &options)
{
    std::vector<Bytes> answers;
    for (const Exchange &exchange : BuildDialogue(options)) {
        answers.push_back(JoinReply(exchange.reply));
    }
    return answers;
}

Bytes Joined(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void ExpectSameTrace(const std::string &wanted, const std::string &actual)
{
    EXPECT_TRUE(wanted == actual) << expected::FirstDifference(wanted, actual);
}

std::string WholeTrace(const std::vector<Bytes> &collections)
{
    return expected::HealthyBringUp + expected::Dialogue(collections) + expected::ReleasedLine;
}

struct RoundTripCase {
    const char *name;
    // cppcheck-suppress unusedStructMember
    DeviceOptions options;
    // Every answer arrives whole before the next collection, so the
    // builder alone knows the trace in advance.
    // cppcheck-suppress unusedStructMember
    bool collectedAsAnswered;
};

DeviceOptions With(const std::function<void(DeviceOptions &)> &set)
{
    DeviceOptions options;
    set(options);
    return options;
}

void PrintTo(const RoundTripCase &c, std::ostream *out)
{
    *out << c.name;
}

class ReplayRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ReplayRoundTrip, ReplayedTraceIsTracedByteForByte)
{
    const RoundTripCase &c = GetParam();
    const std::string recorded = RunProgramAgainst(c.options);
    if (c.collectedAsAnswered) {
        ExpectSameTrace(WholeTrace(expected::CollectionsOf(Answers(c.options))), recorded);
    }

    std::vector<Bytes> collections;
    ASSERT_EQ(ParseTrace(recorded, collections), "");
    ASSERT_EQ(collections.size(), CollectionCount);
    // What the reader took is the trace, and every byte the device sent.
    ExpectSameTrace(recorded, WholeTrace(collections));
    EXPECT_EQ(Joined(collections), Joined(Answers(c.options)));

    DeviceOptions replay;
    replay.replay = collections;
    ASSERT_EQ(CheckDeviceOptions(replay), "");
    EXPECT_EQ(expected::CollectionsOf(Answers(replay)), collections);
    ExpectSameTrace(recorded, RunProgramAgainst(replay));
}

INSTANTIATE_TEST_SUITE_P(
    DeviceOptions, ReplayRoundTrip,
    ::testing::Values(RoundTripCase{"Talking", DeviceOptions(), true},
                      RoundTripCase{"Silent", With([](DeviceOptions &o) { o.silent = true; }), true},
                      RoundTripCase{"AnswerAcks", With([](DeviceOptions &o) { o.answerAcks = true; }), true},
                      RoundTripCase{"LongText", With([](DeviceOptions &o) { o.longText = true; }), true},
                      RoundTripCase{"BigReply", With([](DeviceOptions &o) { o.bigReply = 5000; }), false},
                      RoundTripCase{"SplitDelay", With([](DeviceOptions &o) { o.splitDelayMs = 800; }), false},
                      RoundTripCase{"Image", With([](DeviceOptions &o) { o.image.assign(ImageSize, 0x06); }), true}),
    [](const ::testing::TestParamInfo<RoundTripCase> &info) { return std::string(info.param.name); });

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
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

// The talking device's trace; its line numbers are fixed: the six bring-up
// lines, the handshake's label at 7, block N's label at 24 + 4N, the end's
// label at 536, the release line at 539.
std::string TalkingTrace()
{
    return WholeTrace(expected::CollectionsOf(Answers(DeviceOptions())));
}

constexpr std::size_t BringUpLines = 6;

// Every form comtrace prints a trace in reads back to the same bytes.
TEST(TraceReader, ReadsEveryFormTheProgramPrints)
{
    DeviceOptions answering;
    answering.answerAcks = true;
    const std::vector<Bytes> wanted = expected::CollectionsOf(Answers(answering));
    const std::vector<std::string> lines = SplitLines(WholeTrace(wanted));
    const std::vector<std::string> dialogue(lines.begin() + BringUpLines, lines.end() - 1);
    std::vector<std::string> failedBringUp = {
        "(+) COM1 initialized",        "(-) PurgeComm() failed",
        "(-) ClearCommBreak() failed", "(-) GetLastError() return 5 (Access is denied)",
        "(-) GetCommState() failed",   "(-) SetCommState() failed",
        "(-) PurgeComm() failed"};
    failedBringUp.insert(failedBringUp.end(), dialogue.begin(), dialogue.end());
    failedBringUp.push_back("(-) CloseHandle() failed");

    const std::vector<std::pair<const char *, std::string>> forms = {
        {"Linux", JoinLines(lines)},
        {"Windows", JoinLines(lines, "\r\n")},
        {"dialogue alone", JoinLines(dialogue)},
        {"dialogue alone, Windows", JoinLines(dialogue, "\r\n")},
        {"no release line", JoinLines(std::vector<std::string>(lines.begin(), lines.end() - 1))},
        {"failed steps", JoinLines(failedBringUp)},
        {"byte order mark", "\xEF\xBB\xBF" + JoinLines(lines)},
    };
    for (const auto &[name, text] : forms) {
        std::vector<Bytes> collections;
        EXPECT_EQ(ParseTrace(text, collections), "") << name;
        EXPECT_EQ(collections, wanted) << name;
    }
}

struct Refusal {
    const char *name;
    // cppcheck-suppress unusedStructMember
    std::function<std::string(std::vector<std::string> &)> spoil; // the trace from the talking trace's lines
    // cppcheck-suppress unusedStructMember
    std::size_t line;
    // cppcheck-suppress unusedStructMember
    const char *says; // part of what the error must say
};

// Block N's lines in the talking trace.
constexpr std::size_t BlockLabelLine(unsigned block)
{
    return 24 + 4 * block;
}

TEST(TraceReader, RefusesWhatItCannotUseAndNamesTheLine)
{
    const std::string talking = TalkingTrace();
    auto replaced = [](std::size_t line, std::string text) {
        return [line, text](std::vector<std::string> &lines) {
            lines.at(line - 1) = text;
            return JoinLines(lines);
        };
    };
    const std::vector<Refusal> refusals = {
        {"TruncatedAfterADump",
         [](std::vector<std::string> &lines) {
             lines.resize(BlockLabelLine(0x10) + 2);
             return JoinLines(lines);
         },
         BlockLabelLine(0x10) + 3, "acknowledgement \"send [x06]\", found the end of the trace"},
        {"CutMidLine", [&talking](std::vector<std::string> &) { return talking.substr(0, talking.find("[5E]")); },
         BlockLabelLine(0) + 2, "with no line end (the trace is cut short)"},
        {"CountDisagreesWithDump", replaced(BlockLabelLine(3) + 1, "31"), BlockLabelLine(3) + 2,
         "expected 31 bytes in the dump of the bytes collected after the block 0x03 request"},
        {"CountNotANumber", replaced(BlockLabelLine(0) + 1, "32 bytes"), BlockLabelLine(0) + 1,
         "expected the number of bytes collected after the block 0x00 request (0 to 4096)"},
        {"CountAboveTheBuffer", replaced(8, "4097"), 8, "(0 to 4096), found \"4097\""},
        {"CountWithLeadingZero", replaced(8, "01"), 8, "found \"01\""},
        {"LowercaseHex", replaced(BlockLabelLine(0) + 2, "[00] [ff] "), BlockLabelLine(0) + 2,
         "at column 6 of the dump of the bytes collected after the block 0x00 request, found \"[ff] \""},
        {"BareHex", replaced(9, "06 "), 9, "expected a byte as \"[XX] \""},
        {"StrippedDumpSpace", replaced(9, "[06]"), 9, "(its trailing space is missing)"},
        {"StrippedVerdictSpace", replaced(10, "GET OK!"), 10, "(its trailing space is missing)"},
        {"VerdictDisagrees", replaced(10, "no answer "), 10, "dump that starts with 06, \"GET OK! \""},
        {"TextDisagrees", replaced(14, "DEVSIM MEMORY UNIT-3"), 14, "\"DEVSIM MEMORY UNIT-2\""},
        {"OtherBlockLabel", replaced(BlockLabelLine(5), "send [x52] [x01] [x05] "), BlockLabelLine(5),
         "the block 0x05 request's label"},
        {"OtherHandshake", replaced(7, "send [x02] [x51]"), 7, "the handshake's label"},
        {"MissingAcknowledgement",
         [](std::vector<std::string> &lines) {
             lines.erase(lines.begin() + 14);
             return JoinLines(lines);
         },
         15, "the label of the identification's acknowledgement \"send [x06]\", found \"send [x50]\""},
        {"MixedLineEnds", replaced(100, "send [x06]\r"), 100, "an LF line end as on line 1, found CR LF"},
        {"LineAfterRelease",
         [](std::vector<std::string> &lines) {
             lines.push_back("");
             return JoinLines(lines);
         },
         540, "the end of the trace after the release line"},
        {"NoPortInTheRecording", replaced(1, "(-) COM1 initialization failed"), 1, "no device to replay"},
        {"UnknownBringUpLine", replaced(3, "(+) Cleared the break"), 3, "the bring-up line"},
        {"ErrorCodeWithAnotherText",
         [](std::vector<std::string> &lines) {
             lines[2] = "(-) ClearCommBreak() failed";
             lines.insert(lines.begin() + 3, "(-) GetLastError() return 5 (The parameter is incorrect)");
             return JoinLines(lines);
         },
         4, "the error-code line"},
        {"OversizedLastDump",
         [](std::vector<std::string> &lines) {
             std::string dump;
             for (int i = 0; i < 4097; ++i) {
                 dump += "[06] ";
             }
             lines.at(536) = dump;
             return JoinLines(lines);
         },
         537, "at most 4096 bytes in the dump of the bytes collected after the end request, found 4097"},
        {"Utf16", [&talking](std::vector<std::string> &) { return "\xFF\xFE" + talking; }, 1, "UTF-16"},
        {"Empty", [](std::vector<std::string> &) { return std::string(); }, 1, "found the end of the trace"},
        {"NotATrace", replaced(1, "hello"), 1, "the handshake's label"},
    };
    for (const Refusal &refusal : refusals) {
        std::vector<std::string> lines = SplitLines(talking);
        const std::string spoiled = refusal.spoil(lines);
        std::vector<Bytes> collections{Bytes{0x42}};
        const std::string problem = ParseTrace(spoiled, collections);
        const std::string where = "line " + std::to_string(refusal.line) + ": expected ";
        EXPECT_EQ(problem.compare(0, where.size(), where), 0) << refusal.name << ": " << problem;
        EXPECT_NE(problem.find(refusal.says), std::string::npos) << refusal.name << ": " << problem;
        EXPECT_EQ(collections, std::vector<Bytes>{Bytes{0x42}}) << refusal.name << ": collections changed";
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

    // The device refuses the same, should anything bypass the options.
    DeviceOptions device;
    device.replay = std::vector<Bytes>(CollectionCount);
    device.longText = true;
    EXPECT_NE(CheckDeviceOptions(device), "");
    device.longText = false;
    device.replay->back().assign(MaxCollection + 1, 0x06);
    EXPECT_NE(CheckDeviceOptions(device), "");
    device.replay->pop_back();
    EXPECT_NE(CheckDeviceOptions(device), "");
}

} // namespace
} // namespace devsim
