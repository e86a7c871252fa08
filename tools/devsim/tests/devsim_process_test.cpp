// devsim run as a process, with devsim_probe (or a shell) as the program
// under test. devsim_probe refuses to open /dev/ttyS0 unless it is
// devsim's pty, and it is only ever started through devsim.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "devsim/device.h"
#include "devsim/event_log.h"
#include "devsim/options.h"
#include "process.h"
#include "scratch.h"
#include "text_files.h"
#include "trace/writer.h"
#include "trace_compare.h"

namespace devsim {
namespace {

using support::NowMs;
using support::Slurp;

const char Devsim[] = DEVSIM_PATH;
const char Probe[] = DEVSIM_PROBE_PATH;
constexpr int RunTimeoutMs = 20000;
// Making a Wine prefix takes 15-20 s on an idle machine and several times
// that beside the suite's other Wine, QEMU and build jobs.
constexpr int WinePrefixTimeoutMs = 300000;

struct Outcome {
    int status = -1; // shell-style: exit code, or 128 + signal
    std::string out;
    std::string err;
};

std::string TempPath(const std::string &name)
{
    return support::TempPath("devsim", name);
}

// Runs devsim with the arguments, its output going to files. With
// termAfterMs, devsim is sent SIGTERM that long after its start; after
// timeoutMs it is killed and the test fails.
Outcome RunDevsim(const std::vector<std::string> &arguments, int termAfterMs = 0, int timeoutMs = RunTimeoutMs)
{
    const std::string outPath = TempPath("stdout");
    const std::string errPath = TempPath("stderr");
    std::vector<std::string> command{Devsim};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const support::ProcessOutcome run =
        support::RunProcess(command, {"/dev/null", outPath, errPath}, {timeoutMs, termAfterMs});
    if (!run.failure.empty()) {
        ADD_FAILURE() << run.failure;
    }
    if (run.timedOut) {
        ADD_FAILURE() << "devsim still running after " << timeoutMs << " ms; killed";
    }
    Outcome outcome;
    outcome.status = run.status;
    outcome.out = Slurp(outPath);
    outcome.err = Slurp(errPath);
    // A temporary file left behind is untidy but harms no test.
    (void)std::remove(outPath.c_str());
    (void)std::remove(errPath.c_str());
    return outcome;
}

using devsim::LoggedEvent;

std::vector<LoggedEvent> ReadLog(const std::string &path)
{
    const devsim::ReadLog read = devsim::ReadEventLog(Slurp(path));
    EXPECT_EQ(read.error, "") << "in " << path;
    return read.events;
}

// Compares the logged events, times aside, and names the first difference.
void ExpectEvents(const std::vector<LoggedEvent> &actual, const std::vector<std::string> &expected)
{
    for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        const std::string got = i < actual.size() ? actual[i].Text() : "(end of log)";
        const std::string want = i < expected.size() ? expected[i] : "(end of log)";
        if (got != want) {
            ADD_FAILURE() << "log event " << i + 1 << " is '" << got << "', expected '" << want << "'";
            return;
        }
    }
}

std::size_t CountEvents(const std::vector<LoggedEvent> &lines, const std::string &prefix)
{
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&prefix](const LoggedEvent &line) {
        return line.Text().compare(0, prefix.size(), prefix) == 0;
    }));
}

class DevsimProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Without root or user namespaces devsim cannot work on this machine
        // at all; that is not a fault of devsim's.
        const Outcome probe = RunDevsim({"--", "true"});
        if (probe.status == 125 && probe.err.find("needs root") != std::string::npos) {
            GTEST_SKIP() << probe.err;
        }
    }
    void TearDown() override
    {
        for (const std::string &path : files_) {
            (void)std::remove(path.c_str()); // a file left behind harms no test
        }
    }

    std::string TempFile(const std::string &name)
    {
        files_.push_back(TempPath(name));
        return files_.back();
    }

private:
    std::vector<std::string> files_;
};

TEST_F(DevsimProcess, StandInAnswersTheHandshakeAndLogsEveryByte)
{
    const std::string log = TempFile("handshake.log");
    const Outcome run = RunDevsim({"--log", log, "--", Probe, "send", "02", "50", "52", "4F", "47", "52", "41", "4D"});

    EXPECT_EQ(run.out, "06\n");
    // The probe stops after the handshake: a dialogue begun, not finished.
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("stopped after 8 of 526 bytes"), std::string::npos) << run.err;

    const std::vector<LoggedEvent> lines = ReadLog(log);
    ExpectEvents(lines, {"rx 02", "rx 50", "rx 52", "rx 4F", "rx 47", "rx 52", "rx 41", "rx 4D", "tx 06", "exit 0"});
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LE(lines[i - 1].us, lines[i].us) << "line " << i + 2;
    }
    ASSERT_GE(lines.size(), 9u);
    // The program collects the answer 500 ms after the request; a device
    // that answered near that would lose bytes to it. The margin allows for
    // a busy machine.
    EXPECT_LT(lines[8].us - lines[7].us, 250000) << "the ACK took longer than 250 ms";

    // The bind mount must not have leaked out of devsim's namespace.
    EXPECT_EQ(Slurp("/proc/self/mountinfo").find(" /dev/ttyS0 "), std::string::npos);
}

// A log event for one byte, as devsim writes it: "rx 4F", "tx 06".
std::string ByteEvent(const char *direction, std::uint8_t byte)
{
    char event[8];
    (void)std::snprintf(event, sizeof event, "%s %02X", direction, byte); // "rx FF" always fits
    return event;
}

// Appends one byte event per byte, in order.
void AppendByteEvents(std::vector<std::string> &events, const char *direction, const Bytes &bytes)
{
    std::transform(bytes.begin(), bytes.end(), std::back_inserter(events),
                   [direction](std::uint8_t byte) { return ByteEvent(direction, byte); });
}

// The events a whole dialogue leaves in the log with these devsim options,
// times aside: each request's bytes received, then its reply's bytes sent,
// then the command's exit. Empty, with a failure, when the options are
// unusable.
std::vector<std::string> DialogueEvents(const std::vector<std::string> &options)
{
    Options parsed;
    std::vector<std::string> arguments = options;
    arguments.push_back("--");
    arguments.push_back("true");
    std::string problem = ParseOptions(arguments, parsed);
    if (problem.empty() && !parsed.imagePath.empty()) {
        problem = LoadImage(parsed.imagePath, parsed.device.image);
    }
    if (problem.empty() && !parsed.replayPath.empty()) {
        std::vector<Bytes> collections;
        problem = LoadReplay(parsed.replayPath, collections);
        parsed.device.replay = std::move(collections);
    }
    if (problem.empty()) {
        problem = CheckDeviceOptions(parsed.device);
    }
    if (!problem.empty()) {
        ADD_FAILURE() << "the case's options are unusable: " << problem;
        return {};
    }
    std::vector<std::string> events;
    for (const Exchange &exchange : BuildDialogue(parsed.device)) {
        AppendByteEvents(events, "rx", exchange.sent);
        AppendByteEvents(events, "tx", JoinReply(exchange.reply));
    }
    events.emplace_back("exit 0");
    return events;
}

// A trace of the device with these options, as the Windows build prints
// it: CR LF line ends.
std::string WindowsTrace(const DeviceOptions &options)
{
    const std::vector<Exchange> dialogue = BuildDialogue(options);
    std::vector<Bytes> answers(dialogue.size());
    std::transform(dialogue.begin(), dialogue.end(), answers.begin(),
                   [](const Exchange &exchange) { return JoinReply(exchange.reply); });
    const std::string trace =
        trace::BringUpText(true) + trace::DialogueText(trace::CollectionsOf(answers)) + trace::ReleaseText(true);
    std::string windows;
    for (char c : trace) {
        windows += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return windows;
}

struct DialogueCase {
    const char *name;
    // devsim's options for the device; "IMAGE" stands for a memory image
    // file the test writes, "TRACE" for a trace of a device that answers
    // every acknowledgement. Read through GetParam(), which cppcheck does
    // not follow.
    // cppcheck-suppress unusedStructMember
    std::vector<std::string> options;
};

void PrintTo(const DialogueCase &c, std::ostream *out)
{
    *out << c.name;
}

class DevsimDialogue : public DevsimProcess, public ::testing::WithParamInterface<DialogueCase> {
protected:
    void ExpectWholeDialogue(const std::string &socketPath);
};

// Runs the probe's whole dialogue under devsim with the case's options,
// over the pty or, given a socket path, over devsim --socket, and checks
// every byte each way.
void DevsimDialogue::ExpectWholeDialogue(const std::string &socketPath)
{
    std::vector<std::string> options = GetParam().options;
    for (std::string &option : options) {
        if (option == "TRACE") {
            option = TempFile("replayed.trace");
            DeviceOptions answering;
            answering.answerAcks = true;
            std::ofstream(option, std::ios::binary) << WindowsTrace(answering);
        }
        if (option != "IMAGE") {
            continue;
        }
        option = TempFile("image.bin");
        std::ofstream image(option, std::ios::binary);
        for (std::size_t i = 0; i < ImageSize; ++i) {
            image.put(static_cast<char>(i * 13 + i / 256));
        }
    }
    const std::string log = TempFile("dialogue.log");
    std::vector<std::string> arguments{"--log", log};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<std::string> probe{Probe};
    if (!socketPath.empty()) {
        arguments.insert(arguments.end(), {"--socket", socketPath});
        probe.insert(probe.end(), {"--connect", socketPath});
    }
    arguments.push_back("--");
    arguments.insert(arguments.end(), probe.begin(), probe.end());
    arguments.push_back("dialogue");
    arguments.insert(arguments.end(), options.begin(), options.end());

    const Outcome run = RunDevsim(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "dialogue complete\n");
    EXPECT_EQ(run.err, "");

    const std::vector<LoggedEvent> lines = ReadLog(log);
    EXPECT_EQ(CountEvents(lines, "rx "), DialogueLength);
    EXPECT_FALSE(lines.empty() || lines.back().Text() != "exit 0");
    // Every byte each way, against the model for this case's options: the
    // probe checks the replies from its side, this checks what devsim did.
    ExpectEvents(lines, DialogueEvents(options));
}

TEST_P(DevsimDialogue, ProgramGetsTheModelsRepliesByteForByte)
{
    ExpectWholeDialogue("");
}

TEST_P(DevsimDialogue, SocketPeerGetsTheModelsRepliesByteForByte)
{
    const std::string socketPath = TempFile("line.sock");
    ExpectWholeDialogue(socketPath);
    EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << "devsim left its socket behind";
}

INSTANTIATE_TEST_SUITE_P(
    Options, DevsimDialogue,
    ::testing::Values(DialogueCase{"Plain", {}}, DialogueCase{"AnswerAcks", {"--answer-acks"}},
                      DialogueCase{"Silent", {"--silent"}}, DialogueCase{"LongText", {"--long-text"}},
                      DialogueCase{"BigReply", {"--big-reply", "5000"}}, DialogueCase{"Image", {"--image", "IMAGE"}},
                      DialogueCase{"SplitDelay", {"--split-delay", "5"}},
                      DialogueCase{"Replay", {"--replay", "TRACE"}}),
    [](const ::testing::TestParamInfo<DialogueCase> &info) { return std::string(info.param.name); });

TEST_F(DevsimProcess, FlushesAreLoggedAndTimeTheSettle)
{
    const std::string log = TempFile("flush.log");
    const Outcome run = RunDevsim({"--log", log, "--", Probe, "flush"});
    EXPECT_EQ(run.status, 3) << run.err;

    const std::vector<LoggedEvent> lines = ReadLog(log);
    ExpectEvents(lines, {"flush-in", "flush-out", "flush-out", "rx 02", "exit 0"});
    ASSERT_GE(lines.size(), 4u);
    // Each time is when devsim saw the event, a little after it happened;
    // under load a gap can come out short by some milliseconds.
    EXPECT_GE(lines[3].us - lines[2].us, 150000);
    EXPECT_LT(lines[3].us - lines[2].us, 400000);
}

TEST_F(DevsimProcess, WrongByteFailsACleanExitAndIsExplained)
{
    const Outcome clean = RunDevsim({"--", Probe, "send", "02", "51"});
    EXPECT_EQ(clean.status, 3);
    EXPECT_NE(clean.err.find("received byte 2 was 51, expected 50"), std::string::npos) << clean.err;
    EXPECT_EQ(clean.out, "\n") << "the device answered after the deviation";

    const Outcome failing = RunDevsim({"--", Probe, "send", "--exit", "5", "02", "51"});
    EXPECT_EQ(failing.status, 5) << "the command's own failure must win";
}

TEST_F(DevsimProcess, VanishingDeviceHangsUpOnceTheBlockIsRead)
{
    const std::string log = TempFile("vanish.log");
    const Outcome run = RunDevsim({"--log", log, "--vanish-after", "2", "--", Probe, "vanish", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "hung up\n");

    // Block 2's reply, the program's acknowledgement of it, and the line
    // goes down.
    const std::vector<LoggedEvent> lines = ReadLog(log);
    const Bytes block2 = BlockReply(DeviceOptions(), 2);
    std::vector<std::string> tail;
    AppendByteEvents(tail, "tx", block2);
    tail.insert(tail.end(), {"rx 06", "hangup", "exit 0"});
    ASSERT_GE(lines.size(), tail.size());
    ExpectEvents(std::vector<LoggedEvent>(lines.end() - static_cast<std::ptrdiff_t>(tail.size()), lines.end()), tail);
    // Handshake, identification, ack, version, ack, then three block
    // requests and their acknowledgements.
    EXPECT_EQ(CountEvents(lines, "rx "), 8u + 2 + 1 + 1 + 1 + 3 * 4);
}

TEST_F(DevsimProcess, ReplayedDeviceVanishesWhereAsked)
{
    const std::string trace = TempFile("vanish.trace");
    std::ofstream(trace, std::ios::binary) << WindowsTrace(DeviceOptions());
    const Outcome run = RunDevsim({"--replay", trace, "--vanish-after", "2", "--", Probe, "vanish", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "hung up\n");
}

TEST_F(DevsimProcess, SocketDeviceVanishesByClosingTheConnection)
{
    const std::string socketPath = TempFile("vanish.sock");
    const std::string log = TempFile("vanish.log");
    const Outcome run = RunDevsim({"--log", log, "--vanish-after", "2", "--socket", socketPath, "--", Probe,
                                   "--connect", socketPath, "vanish", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "hung up\n");
    const std::vector<LoggedEvent> lines = ReadLog(log);
    ASSERT_GE(lines.size(), 3u);
    ExpectEvents(std::vector<LoggedEvent>(lines.end() - 3, lines.end()), {"rx 06", "hangup", "exit 0"});
}

TEST_F(DevsimProcess, SocketCommandRunsUnconfinedAndStatusesMatchThePtys)
{
    char ownNamespace[64] = {};
    ASSERT_GT(readlink("/proc/self/ns/mnt", ownNamespace, sizeof ownNamespace - 1), 0);
    const std::string socketPath = TempFile("status.sock");
    const std::string occupied = TempFile("occupied");
    std::ofstream(occupied) << "not a socket";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char *said; // expected on stderr
    };
    const std::vector<Case> cases = {
        // No namespace: the command sees the machine's own mounts.
        {{"--socket", socketPath, "--", "sh", "-c",
          "test \"$(readlink /proc/self/ns/mnt)\" = '" + std::string(ownNamespace) + "'"},
         0,
         ""},
        {{"--socket", socketPath, "--", "sh", "-c", "exit 7"}, 7, ""},
        {{"--socket", socketPath, "--", Probe, "--connect", socketPath, "send", "02", "51"},
         3,
         "received byte 2 was 51, expected 50"},
        {{"--socket", socketPath, "--", Probe, "--connect", socketPath, "send", "02", "50"},
         3,
         "stopped after 2 of 526 bytes"},
        {{"--socket", occupied, "--", "true"}, 125, "already exists"},
        {{"--socket", TempFile("no-such-dir") + "/line.sock", "--", "true"}, 125, "cannot bind"},
        {{"--socket", socketPath, "--absent", "--", "true"}, 125, "cannot be combined"},
    };
    for (const Case &c : cases) {
        const Outcome run = RunDevsim(c.arguments);
        std::string shown = "devsim";
        for (const std::string &argument : c.arguments) {
            shown += " " + argument;
        }
        EXPECT_EQ(run.status, c.status) << shown << ": " << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << shown << ": " << run.err;
        EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << shown << ": the socket was left behind";
    }
    EXPECT_EQ(Slurp(occupied), "not a socket");
}

TEST_F(DevsimProcess, AbsentPortMeansNoDevicesAtAll)
{
    const std::string log = TempFile("absent.log");
    const Outcome run = RunDevsim({"--absent", "--log", log, "--", "sh", "-c", "test -z \"$(ls -A /dev)\""});
    EXPECT_EQ(run.status, 0) << run.err;
    ExpectEvents(ReadLog(log), {"exit 0"});
}

TEST_F(DevsimProcess, ExitStatusIsTheCommandsOrDevsimsOwn)
{
    const std::string badImage = TempFile("short.bin");
    std::ofstream(badImage) << "too short";
    const std::string badTrace = TempFile("short.trace");
    std::ofstream(badTrace) << "(+) COM1 initialized\n";
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {{"--", "sh", "-c", "exit 0"}, 0},
        {{"--", "sh", "-c", "exit 7"}, 7},
        {{"--", "sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
        {{"--", "devsim-no-such-command"}, 127},
        {{"--no-such-option", "--", "true"}, 125},
        {{"--image", badImage, "--", "true"}, 125},
        {{"--replay", badTrace, "--", "true"}, 125},
        {{"--replay", badTrace + ".missing", "--", "true"}, 125},
        {{"--silent"}, 125},
    };
    for (const Case &c : cases) {
        const Outcome run = RunDevsim(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments[0] << " " << c.arguments[1] << ": " << run.err;
        if (c.status == 125) {
            EXPECT_NE(run.err.find("devsim: "), std::string::npos);
        }
    }
    // An unusable trace is refused, with its line, before COMMAND starts.
    const Outcome refused = RunDevsim({"--replay", badTrace, "--", "sh", "-c", "echo started"});
    EXPECT_NE(refused.err.find(badTrace + ": line 2: expected the bring-up line"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
}

TEST_F(DevsimProcess, TerminationSignalIsPassedToTheCommand)
{
    // Over a socket devsim is still waiting for the command to connect.
    const std::string socketPath = TempFile("term.sock");
    for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"--socket", socketPath}}) {
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), {"--", "sleep", "30"});
        const long long started = NowMs();
        EXPECT_EQ(RunDevsim(arguments, 300).status, 128 + SIGTERM) << options.size();
        EXPECT_LT(NowMs() - started, 5000);
    }
    EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << "the socket was left behind";
}

// Creating a Wine prefix is slow, so this runs only when DEVSIM_TEST_WINE=1
// (CTest sets it, under the labels devsim and wine).
TEST_F(DevsimProcess, WinePrefixPointsComOneAtThePty)
{
    const char *wanted = std::getenv("DEVSIM_TEST_WINE");
    if (wanted == nullptr || std::string(wanted) != "1") {
        GTEST_SKIP() << "set DEVSIM_TEST_WINE=1 to run";
    }
    const std::string prefix = TempPath("wine");
    // COM1 must lead to the pty before the command's first instruction: a
    // program that opens it at once finds it, however slowly the session's
    // device manager came up.
    const Outcome run = RunDevsim(
        {"--wine-prefix", prefix, "--", "sh", "-c", "readlink \"$WINEPREFIX/dosdevices/com1\" && wine cmd /c echo hi"},
        0, WinePrefixTimeoutMs);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("hi"), std::string::npos) << run.out;

    char target[256] = {};
    ASSERT_GT(readlink((prefix + "/dosdevices/com1").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).compare(0, 9, "/dev/pts/"), 0) << target;
    EXPECT_EQ(run.out.compare(0, std::strlen(target) + 1, std::string(target) + "\n"), 0) << run.out;
    const std::string contents = Slurp(prefix + "/system.reg");
    EXPECT_NE(contents.find("\"COM1\"=\"" + std::string(target) + "\""), std::string::npos);
    std::error_code removal;
    std::filesystem::remove_all(prefix, removal);
    EXPECT_FALSE(removal) << "cannot remove " << prefix << ": " << removal.message();
}

} // namespace
} // namespace devsim
