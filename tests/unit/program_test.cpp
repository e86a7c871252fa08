// The whole run against a scripted device on the virtual clock: the complete
// trace, the complete write schedule and the course of the run when the
// device is silent, chatty or goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "output/trace.h"
#include "port/exchange.h"
#include "program.h"
#include "trace/writer.h"
#include "trace_compare.h"

namespace {

using fake::Bytes;

using trace::SettleMs;

// A device that answers each request, after a few milliseconds, with what
// the test gives for it; it follows the requests by counting bytes.
struct ScriptedDevice {
    std::vector<Bytes> answers; // one per request, empty for none
    std::vector<std::size_t> ends;
    std::size_t received = 0;
    std::size_t next = 0;

    explicit ScriptedDevice(std::vector<Bytes> replies) : answers(std::move(replies))
    {
        std::size_t end = 0;
        for (const trace::Request &request : trace::Requests()) {
            end += request.bytes.size();
            ends.push_back(end);
        }
    }

    void Receive(const Bytes &bytes)
    {
        received += bytes.size();
        while (next < ends.size() && received >= ends[next]) {
            fake::Arrive(fake::Port().now + 3, answers[next]);
            ++next;
        }
    }
};

Bytes BlockContents(int block)
{
    Bytes contents;
    for (int i = 0; i < 16; ++i) {
        contents.push_back(static_cast<std::uint8_t>(block * 16 + i * 3));
    }
    return contents;
}

std::vector<Bytes> TalkingDeviceAnswers(bool answerBlockAcks)
{
    std::vector<Bytes> answers = {
        {0x06}, {'S', 'I', 'M', '-', '4', '2', 0x0D}, {}, {'V', ' ', '1', '.', '0', 0x0D, 0x0A}, {0x06}};
    for (int block = 0; block < static_cast<int>(trace::BlockCount); ++block) {
        answers.push_back(BlockContents(block));
        answers.push_back(answerBlockAcks ? Bytes{0x06} : Bytes{});
    }
    answers.push_back({0x06});
    return answers;
}

class Dialogue : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    static void Attach(ScriptedDevice &device)
    {
        fake::Port().device = [&device](const Bytes &bytes) { device.Receive(bytes); };
    }

    static void ExpectTrace(const std::string &expected)
    {
        const std::string actual = fake::Output();
        EXPECT_TRUE(expected == actual) << support::FirstDifference(expected, actual);
    }
};

TEST_F(Dialogue, TalkingDeviceGivesTheCompleteTrace)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    EXPECT_EQ(RunProgram(), 0);
    ExpectTrace(trace::BringUpText(true) + trace::DialogueText(trace::CollectionsOf(device.answers)) +
                trace::ReleaseText(true));
    EXPECT_EQ(fake::Port().incoming.size(), 0u);
}

TEST_F(Dialogue, WritesEveryByteAtItsTime)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    (void)RunProgram();

    // The nominal schedule, after the settle.
    const std::vector<trace::ScheduledWrite> schedule = trace::Schedule();
    std::vector<std::pair<std::uint64_t, Bytes>> expected(schedule.size());
    std::transform(schedule.begin(), schedule.end(), expected.begin(), [](const trace::ScheduledWrite &write) {
        return std::pair<std::uint64_t, Bytes>{SettleMs + write.atMs, write.bytes};
    });
    std::vector<std::pair<std::uint64_t, Bytes>> actual;
    std::size_t bytes = 0;
    for (const fake::Write &write : fake::Port().writes) {
        actual.push_back({write.at, write.bytes});
        bytes += write.bytes.size();
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(bytes, 526u);

    const std::vector<fake::Call> sleeps = fake::CallsTo("Sleep");
    const std::uint64_t slept =
        std::accumulate(sleeps.begin(), sleeps.end(), std::uint64_t{0},
                        [](std::uint64_t sum, const fake::Call &call) { return sum + call.args.at(0); });
    EXPECT_EQ(slept, trace::RunSpanMs);
    EXPECT_EQ(fake::Port().now, trace::RunSpanMs);
}

// What a run leaves behind that must not depend on the console.
struct RunRecord {
    std::vector<std::pair<std::uint64_t, Bytes>> writes;
    std::string trace;
    std::string traceAtKeyWait;
    std::uint64_t endedAt = 0;
    std::uint64_t lastMessageAt = 0;
    int status = -1;
};

// The console's failures: the bytes it takes before its writes fail, and
// after how many failed writes it takes them again.
struct ConsoleFailure {
    std::size_t room = SIZE_MAX;
    std::size_t recoversAfter = SIZE_MAX;
};

RunRecord RunAgainst(const std::vector<Bytes> &answers, bool outputIsConsole,
                     const std::function<std::uint64_t(const std::string &)> &consoleWriteMs,
                     const ConsoleFailure &failure = {})
{
    fake::Reset();
    fake::Port().consoleRoom = failure.room;
    fake::Port().consoleRecoversAfter = failure.recoversAfter;
    ScriptedDevice device(answers);
    fake::Port().device = [&device](const Bytes &bytes) { device.Receive(bytes); };
    fake::Port().outputIsConsole = outputIsConsole;
    fake::Port().consoleWriteMs = consoleWriteMs;
    RunRecord run;
    fake::Port().beforeCall = [&run](const char *name) {
        if (std::string(name) == "WaitForKey") {
            run.traceAtKeyWait = fake::Output();
        }
    };
    run.status = RunProgram();
    for (const fake::Write &write : fake::Port().writes) {
        run.writes.push_back({write.at, write.bytes});
    }
    run.trace = fake::Output();
    run.endedAt = fake::Port().now;
    run.lastMessageAt = fake::Port().messages.empty() ? 0 : fake::Port().messages.back().at;
    return run;
}

TEST_F(Dialogue, OutputThatFailsForGoodKeepsACleanPrefixSaysSoOnceAndRunsTheWholeDialogue)
{
    const std::vector<Bytes> answers = TalkingDeviceAnswers(false);
    const RunRecord whole = RunAgainst(answers, false, nullptr);
    const std::size_t midDump = whole.trace.find("[25] ") + 3;
    const struct {
        const char *name;
        bool outputIsConsole;
        ConsoleFailure failure;
        std::size_t kept; // bytes of the trace that reach the output
    } cases[] = {
        {"a disk that fills up mid-dump and later gets space back", false, {midDump, 1}, midDump},
        {"a terminal that errs once and then works again", true, {midDump, 1}, midDump},
        {"a reader gone before the first byte", true, {0, SIZE_MAX}, 0},
        {"a file that fills up on the very last byte", false, {whole.trace.size() - 1, 2}, whole.trace.size() - 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const RunRecord run = RunAgainst(answers, c.outputIsConsole, nullptr, c.failure);
        const std::string prefix = whole.trace.substr(0, c.kept);
        EXPECT_TRUE(run.trace == prefix) << support::FirstDifference(prefix, run.trace);
        EXPECT_EQ(fake::Port().consoleFailureReports, std::vector<std::size_t>{c.kept});
        EXPECT_TRUE(run.writes == whole.writes) << "the device saw another schedule";
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fake::Port().keyWaits, 1);
    }
}

TEST_F(Dialogue, ConsoleThatHoldsUpItsWritesMovesNoByte)
{
    // Every collection takes a full buffer: the longest trace a run prints.
    std::vector<Bytes> flood = TalkingDeviceAnswers(false);
    for (Bytes &answer : flood) {
        answer.resize(ReceiveBufferSize + 100, 0xA5);
    }
    struct Case {
        const char *name;
        std::vector<Bytes> answers;
        bool outputIsConsole;
        std::uint64_t heldMs;
        const char *heldText; // the first write containing it is held
    };
    const Case cases[] = {
        {"a console held 5 s on the third handshake label", TalkingDeviceAnswers(false), true, 5000, "[x52] "},
        {"a pipe that is not read during the run", flood, false, 1000000, "(+) COM1 initialized\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const RunRecord unhindered = RunAgainst(c.answers, c.outputIsConsole, nullptr);
        bool held = false;
        const RunRecord run = RunAgainst(c.answers, c.outputIsConsole, [&](const std::string &text) {
            const bool now = !held && text.find(c.heldText) != std::string::npos;
            held = held || now;
            return now ? c.heldMs : 0;
        });
        ASSERT_TRUE(held);
        EXPECT_TRUE(run.writes == unhindered.writes) << "the device saw another schedule";
        EXPECT_TRUE(run.trace == unhindered.trace) << support::FirstDifference(unhindered.trace, run.trace);
        // Everything is out before the key wait, which waits for the console.
        EXPECT_TRUE(run.traceAtKeyWait == run.trace);
        EXPECT_GE(run.lastMessageAt, c.heldMs);
        EXPECT_EQ(run.endedAt, std::max(unhindered.endedAt, run.lastMessageAt));
    }
}

TEST_F(Dialogue, RedirectedTraceIsWrittenAtTheEndOfEachCollectionsDump)
{
    const RunRecord console = RunAgainst(TalkingDeviceAnswers(false), true, nullptr);
    const RunRecord redirected = RunAgainst(TalkingDeviceAnswers(false), false, nullptr);
    EXPECT_TRUE(redirected.trace == console.trace) << support::FirstDifference(console.trace, redirected.trace);
    // One write per collection, each ending with the collection's dump and
    // made when it was dumped; the last one, at the end of the run, carries
    // the verdict and the release too. (Writes made at one time, as a wrap of
    // the queue splits one, count as one.)
    std::vector<fake::Message> messages;
    for (const fake::Message &message : fake::Port().messages) {
        if (!messages.empty() && messages.back().at == message.at) {
            messages.back().text += message.text;
        } else {
            messages.push_back(message);
        }
    }
    const std::vector<fake::Call> collections = fake::CallsTo("ClearCommError");
    ASSERT_EQ(messages.size(), trace::CollectionCount);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].at, collections.at(i + 2).at) << i;
        EXPECT_EQ(messages[i].text.back(), '\n') << i;
    }
    EXPECT_EQ(messages.back().text.substr(messages.back().text.size() - 20), "(+) CloseHandle ok \n");
}

TEST_F(Dialogue, InheritedSoftwareFlowControlAndWriteTimeOutsLeaveTheTraceIntact)
{
    // The last program left XON/XOFF on and a write time-out too short for
    // a byte at 9600 bit/s; block 0 carries XON, then XOFF.
    fake::Port().actOnFlowControl = true;
    fake::Port().portSettings.XonChar = 0x11;
    fake::Port().portSettings.XoffChar = 0x13;
    fake::Port().portTimeouts.WriteTotalTimeoutConstant = 1;
    std::vector<Bytes> answers = TalkingDeviceAnswers(false);
    answers.at(trace::BlockRequestIndex(0))
        .insert(answers[trace::BlockRequestIndex(0)].begin(), {0x00, 0xFF, 0x06, 0x11, 0x13});
    ScriptedDevice device(answers);
    Attach(device);
    (void)RunProgram();

    ExpectTrace(trace::BringUpText(true) + trace::DialogueText(trace::CollectionsOf(device.answers)) +
                trace::ReleaseText(true));
    const auto &writes = fake::Port().writes;
    EXPECT_EQ(std::accumulate(writes.begin(), writes.end(), std::size_t{0},
                              [](std::size_t sum, const fake::Write &write) { return sum + write.bytes.size(); }),
              526u);
    EXPECT_EQ(fake::Port().portSettings.fOutX, 0u);
    EXPECT_EQ(fake::Port().portSettings.fInX, 0u);
}

TEST_F(Dialogue, CountsCountLinesAndDumps)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    (void)RunProgram();
    int countLines = 0;
    int dumps = 0;
    for (const fake::Message &message : fake::Port().messages) {
        const std::string &text = message.text;
        if (!text.empty() && text.find_first_not_of("0123456789\n") == std::string::npos && text.back() == '\n' &&
            text.size() > 1) {
            ++countLines;
        }
    }
    // A dump ends with a lone "\n" message after its tokens, or is one.
    const auto &messages = fake::Port().messages;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].text == "\n" && i > 0 &&
            (messages[i - 1].text.front() == '[' && messages[i - 1].text.find("send") == std::string::npos &&
             messages[i - 1].text.find("[x") == std::string::npos)) {
            ++dumps;
        }
    }
    EXPECT_EQ(countLines, 132);
    EXPECT_EQ(dumps, 133);
    EXPECT_EQ(fake::CallsTo("ClearCommError").size(), 2u + 133u);
}

TEST_F(Dialogue, SilentDeviceStillRunsTheFullCourse)
{
    EXPECT_EQ(RunProgram(), 0);
    const std::vector<Bytes> nothing(trace::CollectionCount);
    ExpectTrace(trace::BringUpText(true) + trace::DialogueText(nothing) + trace::ReleaseText(true));
    EXPECT_EQ(fake::Port().now, trace::RunSpanMs);
    EXPECT_TRUE(fake::CallsTo("ReadFile").empty());
}

TEST_F(Dialogue, AnswersToBlockAcknowledgementsShowAtTheFrontOfTheNextDump)
{
    ScriptedDevice device(TalkingDeviceAnswers(true));
    Attach(device);
    (void)RunProgram();
    const std::vector<Bytes> collections = trace::CollectionsOf(device.answers);
    EXPECT_EQ(collections[trace::BlockCollectionIndex(1)].front(), 0x06);
    EXPECT_EQ(collections[trace::EndCollectionIndex], (Bytes{0x06, 0x06}));
    ExpectTrace(trace::BringUpText(true) + trace::DialogueText(collections) + trace::ReleaseText(true));
}

TEST_F(Dialogue, DeviceThatVanishesMidRunLeavesEveryStepInPlace)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    // Gone just after block 0x20 was answered and collected.
    const std::uint64_t goneAt =
        SettleMs + trace::HandshakeSpanMs + 4 * trace::RequestGapMs + 0x21 * trace::BlockSpanMs;
    fake::Port().goneAt = goneAt;
    EXPECT_EQ(RunProgram(), 0);

    std::vector<Bytes> collections = trace::CollectionsOf(device.answers);
    for (std::size_t i = trace::BlockCollectionIndex(0x21); i < collections.size(); ++i) {
        collections[i].clear();
    }
    ExpectTrace(trace::BringUpText(true) + trace::DialogueText(collections) + trace::ReleaseText(true));
    // The pacing did not change: the run took as long as ever.
    EXPECT_EQ(fake::Port().now, trace::RunSpanMs);
    EXPECT_EQ(fake::Port().keyWaits, 1);
}

TEST_F(Dialogue, AbsentPortStillRunsTheWholeDialogue)
{
    fake::Port().portPresent = false;
    EXPECT_EQ(RunProgram(), 0);
    ExpectTrace(trace::BringUpText(false) + trace::DialogueText(std::vector<Bytes>(trace::CollectionCount)) +
                trace::ReleaseText(false));
    EXPECT_EQ(fake::Port().now, trace::RunSpanMs);
}

} // namespace
