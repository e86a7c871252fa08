// The whole run against a scripted device on the virtual clock: the complete
// trace, the complete write schedule and the course of the run when the
// device is silent, chatty or goes away.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "program.h"

namespace {

using fake::Bytes;

constexpr int Blocks = 128;
constexpr std::uint64_t SettleMs = 1000;

std::string Hex(std::uint8_t byte, const char *format)
{
    char text[16];
    std::snprintf(text, sizeof text, format, byte);
    return text;
}

// Every byte the dialogue sends, request by request, as the device expects them.
std::vector<Bytes> Requests()
{
    std::vector<Bytes> requests = {{0x02, 'P', 'R', 'O', 'G', 'R', 'A', 'M'}, {0x02, 0x00}, {0x06}, {'P'}, {0x06}};
    for (int block = 0; block < Blocks; ++block) {
        requests.push_back({'R', 0x00, static_cast<std::uint8_t>(block)});
        requests.push_back({0x06});
    }
    requests.push_back({'E'});
    return requests;
}

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
        for (const Bytes &request : Requests()) {
            end += request.size();
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
    std::vector<Bytes> answers = {{0x06}, {'S', 'I', 'M', '-', '4', '2', 0x0D}, {}, {'V', ' ', '1', '.', '0', 0x0D, 0x0A},
                                  {0x06}};
    for (int block = 0; block < Blocks; ++block) {
        answers.push_back(BlockContents(block));
        answers.push_back(answerBlockAcks ? Bytes{0x06} : Bytes{});
    }
    answers.push_back({0x06});
    return answers;
}

// The trace of a run whose collections take these bytes, in order, built
// from the dialogue's steps.
std::string ExpectedDialogue(const std::vector<Bytes> &collections)
{
    std::string trace;
    std::size_t next = 0;
    auto dump = [&](bool showCount) -> const Bytes & {
        const Bytes &bytes = collections.at(next++);
        if (showCount) {
            trace += std::to_string(bytes.size()) + "\n";
        }
        for (std::uint8_t byte : bytes) {
            trace += Hex(byte, "[%02X] ");
        }
        trace += "\n";
        return bytes;
    };
    auto verdict = [&](const Bytes &bytes) { trace += !bytes.empty() && bytes[0] == 0x06 ? "GET OK! \n" : "no answer \n"; };
    auto text = [&](const Bytes &bytes) {
        std::string captured;
        for (std::uint8_t byte : bytes) {
            if (byte < 0x20 || byte > 0x7F || captured.size() == 20) {
                break;
            }
            captured += static_cast<char>(byte);
        }
        trace += captured + "\n";
    };

    trace += "send [x02] [x50] [x52] [x4F] [x47] [x52] [x41] [x4D]\n";
    verdict(dump(true));
    trace += "send [ x02]\n";
    text(dump(true));
    trace += "send [x06]\nsend [x50]\n";
    text(dump(true));
    trace += "send [x06]\n";
    verdict(dump(true));
    for (int block = 0; block < Blocks; ++block) {
        trace += "send [x52] [x00] " + Hex(static_cast<std::uint8_t>(block), "[x%02X] ") + "\n";
        dump(true);
        trace += "send [x06]\n";
    }
    trace += "send [x45]\n";
    verdict(dump(false));
    return trace;
}

// What each collection takes when every answer arrives before the next
// collection: everything answered since the previous one.
std::vector<Bytes> CollectionsOf(const std::vector<Bytes> &answers)
{
    // Requests after which the dialogue collects: the handshake, the STX
    // request, the P request, the acknowledgement after it, every block
    // request and the end request.
    std::vector<bool> collectsAfter(answers.size(), false);
    collectsAfter[0] = collectsAfter[1] = collectsAfter[3] = collectsAfter[4] = true;
    for (int block = 0; block < Blocks; ++block) {
        collectsAfter[5 + 2 * block] = true;
    }
    collectsAfter.back() = true;
    std::vector<Bytes> collections;
    Bytes pending;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        pending.insert(pending.end(), answers[i].begin(), answers[i].end());
        if (collectsAfter[i]) {
            collections.push_back(pending);
            pending.clear();
        }
    }
    return collections;
}

const char HealthyBringUp[] =
    "(+) COM1 initialized\n"
    "(+) Discarded all characters from the output and input buffer\n"
    "(+) Restored character transmission and placed the transmission line in a nonbreak state\n"
    "(+) Retrieved the current control settings for COM1\n"
    "(+) Reinitialized all hardware and control settings \n"
    "(+) PurgeComm\n";

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
        EXPECT_TRUE(expected == actual) << fake::FirstDifference(expected, actual);
    }
};

TEST_F(Dialogue, TalkingDeviceGivesTheCompleteTrace)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    EXPECT_EQ(RunProgram(), 0);
    ExpectTrace(HealthyBringUp + ExpectedDialogue(CollectionsOf(device.answers)) + "(+) CloseHandle ok \n");
    EXPECT_EQ(fake::Port().incoming.size(), 0u);
}

TEST_F(Dialogue, WritesEveryByteAtItsTime)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    (void)RunProgram();

    // The schedule the waits give: 50 ms between the bytes of a paced
    // request, 500 ms after every request.
    std::vector<std::pair<std::uint64_t, Bytes>> expected;
    std::uint64_t at = SettleMs;
    for (const Bytes &request : Requests()) {
        const bool paced = request.size() == 8 || request.size() == 3;
        if (paced) {
            for (std::size_t i = 0; i < request.size(); ++i) {
                expected.push_back({at, {request[i]}});
                at += i + 1 < request.size() ? 50 : 500;
            }
        } else {
            expected.push_back({at, request});
            at += 500;
        }
    }
    std::vector<std::pair<std::uint64_t, Bytes>> actual;
    std::size_t bytes = 0;
    for (const fake::Write &write : fake::Port().writes) {
        actual.push_back({write.at, write.bytes});
        bytes += write.bytes.size();
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(bytes, 526u);

    std::uint64_t slept = 0;
    for (const fake::Call &call : fake::CallsTo("Sleep")) {
        slept += call.args.at(0);
    }
    EXPECT_EQ(slept, 144150u + SettleMs);
    EXPECT_EQ(fake::Port().now, 144150u + SettleMs);
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
        if (messages[i].text == "\n" && i > 0 && (messages[i - 1].text.front() == '[' &&
                                                  messages[i - 1].text.find("send") == std::string::npos &&
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
    const std::vector<Bytes> nothing(133);
    ExpectTrace(HealthyBringUp + ExpectedDialogue(nothing) + "(+) CloseHandle ok \n");
    EXPECT_EQ(fake::Port().now, 145150u);
    EXPECT_TRUE(fake::CallsTo("ReadFile").empty());
}

TEST_F(Dialogue, AnswersToBlockAcknowledgementsShowAtTheFrontOfTheNextDump)
{
    ScriptedDevice device(TalkingDeviceAnswers(true));
    Attach(device);
    (void)RunProgram();
    const std::vector<Bytes> collections = CollectionsOf(device.answers);
    EXPECT_EQ(collections[5].front(), 0x06);
    EXPECT_EQ(collections[132], (Bytes{0x06, 0x06}));
    ExpectTrace(HealthyBringUp + ExpectedDialogue(collections) + "(+) CloseHandle ok \n");
}

TEST_F(Dialogue, DeviceThatVanishesMidRunLeavesEveryStepInPlace)
{
    ScriptedDevice device(TalkingDeviceAnswers(false));
    Attach(device);
    // Gone just after block 0x20 was answered and collected.
    const std::uint64_t goneAt = SettleMs + 850 + 4 * 500 + 0x21 * 1100;
    fake::Port().goneAt = goneAt;
    EXPECT_EQ(RunProgram(), 0);

    std::vector<Bytes> collections = CollectionsOf(device.answers);
    for (std::size_t i = 4 + 0x21; i < collections.size(); ++i) {
        collections[i].clear();
    }
    ExpectTrace(HealthyBringUp + ExpectedDialogue(collections) + "(+) CloseHandle ok \n");
    // The pacing did not change: the run took as long as ever.
    EXPECT_EQ(fake::Port().now, 145150u);
    EXPECT_EQ(fake::Port().keyWaits, 1);
}

TEST_F(Dialogue, AbsentPortStillRunsTheWholeDialogue)
{
    fake::Port().portPresent = false;
    EXPECT_EQ(RunProgram(), 0);
    const std::string expected = std::string("(-) COM1 initialization failed\n"
                                             "(-) PurgeComm() failed\n"
                                             "(-) ClearCommBreak() failed\n"
                                             "(-) GetLastError() return 6 \n"
                                             "(-) GetCommState() failed\n"
                                             "(-) SetCommState() failed\n"
                                             "(-) PurgeComm() failed\n") +
                                 ExpectedDialogue(std::vector<Bytes>(133)) + "(-) CloseHandle() failed\n";
    ExpectTrace(expected);
    EXPECT_EQ(fake::Port().now, 145150u);
}

} // namespace
