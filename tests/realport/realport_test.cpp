// The unmodified, statically linked program on real kernel serial drivers
// in a QEMU guest (run_guest.sh), against devsim over QEMU's socket: the
// trace byte for byte as in the devsim talking run (the reviewed golden
// trace), what the device
// received, and what the probe beside the program saw of the port: modem
// lines, line settings and the driver's counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <vector>

#include "devsim/device.h"
#include "expected_trace.h"
#include "text_files.h"
#include "trace/writer.h"

namespace {

using support::Lines;
using support::Slurp;
using trace::Bytes;

// The dialogue alone takes 145 s; boot, bring-up and the end add a few.
constexpr long DialogueSpanMs = 140000;
// From the first byte the device receives to the end request, as the
// program paces it. The device stamps bytes when QEMU hands them over,
// which can be a little late; a guest's sleeps overshoot more than a
// host's, but a program that stalls on a driver shows up as seconds.
constexpr double NominalSpanMs = 143650.0;
constexpr double SpanJitterMs = 5.0;
constexpr double SpanOverheadMax = 0.03;

// The last lines of a text, to show why a run failed.
std::string Tail(const std::string &text, std::size_t count = 15)
{
    const std::vector<std::string> lines = Lines(text);
    std::string tail;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        tail += "  | " + lines[i] + "\n";
    }
    return tail.empty() ? "  (nothing)\n" : tail;
}

struct GuestRun {
    bool ran = false;   // run_guest.sh got as far as running QEMU
    std::string folder; // where the run left its files
    std::string script; // run_guest.sh's own messages
    int devsimStatus = -1;
    std::string console; // the guest's console: "realport ..." and "probe ..." lines
    std::string trace;
    std::string deviceLog;
    std::string errors; // devsim's and QEMU's stderr
};

GuestRun RunGuest(const std::string &mode)
{
    GuestRun run;
    run.folder = std::string(OUTPUT_DIR) + "/" + mode;
    const std::string messages = std::string(OUTPUT_DIR) + "/" + mode + "-run-guest.txt";
    const std::string command =
        "bash '" RUN_GUEST "' '" BUILD_DIR "' " + mode + " '" + run.folder + "' >'" + messages + "' 2>&1";
    // Built only from the test's own constants.
    const int status = std::system(command.c_str()); // NOLINT(cert-env33-c)
    run.script = Slurp(messages);
    run.ran = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::string devsimStatus = Slurp(run.folder + "/status");
    if (!devsimStatus.empty()) {
        run.devsimStatus = std::stoi(devsimStatus);
    }
    run.console = Slurp(run.folder + "/console.log");
    run.trace = Slurp(run.folder + "/trace.txt");
    run.deviceLog = Slurp(run.folder + "/device.log");
    run.errors = Slurp(run.folder + "/devsim.err");
    return run;
}

// "<prefix> <key> a=1 b=2 ..." lines of the console, by key; a bare value
// ("realport exit 0") is kept under "".
using Report = std::map<std::string, std::map<std::string, std::string>>;

Report ReadReport(const std::string &console, const std::string &prefix)
{
    Report report;
    for (const std::string &line : Lines(console)) {
        if (line.compare(0, prefix.size() + 1, prefix + " ") != 0) {
            continue;
        }
        std::istringstream fields(line.substr(prefix.size() + 1));
        std::string key;
        fields >> key;
        std::map<std::string, std::string> &values = report[key];
        for (std::string field; fields >> field;) {
            const std::size_t equals = field.find('=');
            if (equals == std::string::npos) {
                values[""] += values[""].empty() ? field : " " + field;
            } else {
                values[field.substr(0, equals)] = field.substr(equals + 1);
            }
        }
    }
    return report;
}

long Number(const Report &report, const std::string &key, const std::string &field, int base = 10)
{
    const auto line = report.find(key);
    if (line == report.end() || line->second.count(field) == 0) {
        ADD_FAILURE() << "no " << key << " " << field << " in the report";
        return -1;
    }
    return std::stol(line->second.at(field), nullptr, base);
}

// The bytes the device received, and when the first and last came (µs).
struct Received {
    Bytes bytes;
    long long firstUs = 0;
    long long lastUs = 0;
};

Received ReceivedByDevice(const std::string &log)
{
    Received received;
    for (const std::string &line : Lines(log)) {
        std::istringstream fields(line);
        long long time = 0;
        std::string event;
        std::string argument;
        if (fields >> time >> event >> argument && event == "rx") {
            received.bytes.push_back(static_cast<std::uint8_t>(std::stoul(argument, nullptr, 16)));
            received.firstUs = received.bytes.size() == 1 ? time : received.firstUs;
            received.lastUs = time;
        }
    }
    return received;
}

Bytes AllRequests()
{
    Bytes all;
    for (const trace::Request &request : trace::Requests()) {
        all.insert(all.end(), request.bytes.begin(), request.bytes.end());
    }
    return all;
}

std::vector<Bytes> TalkingAnswers()
{
    const std::vector<devsim::Exchange> dialogue = devsim::BuildDialogue(devsim::DeviceOptions());
    std::vector<Bytes> answers(dialogue.size());
    std::transform(dialogue.begin(), dialogue.end(), answers.begin(),
                   [](const devsim::Exchange &exchange) { return devsim::JoinReply(exchange.reply); });
    return answers;
}

// The line settings the program must leave the port in while it talks:
// 9600 bit/s both ways, 8N1, receiver on, modem status ignored, no flow
// control of either kind, and no byte altered or acted on either way.
void ExpectRawLine(const Report &probe)
{
    const auto flags = [&probe](const char *name) { return static_cast<tcflag_t>(Number(probe, "termios", name, 16)); };
    EXPECT_EQ(static_cast<speed_t>(Number(probe, "termios", "ispeed", 16)), static_cast<speed_t>(B9600));
    EXPECT_EQ(static_cast<speed_t>(Number(probe, "termios", "ospeed", 16)), static_cast<speed_t>(B9600));
    const tcflag_t cflag = flags("cflag");
    EXPECT_EQ(cflag & CSIZE, static_cast<tcflag_t>(CS8)) << "not 8 data bits";
    EXPECT_EQ(cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << "parity, 2 stop bits or RTS/CTS flow control";
    EXPECT_EQ(cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL)) << "receiver off or modem status heeded";
    EXPECT_EQ(flags("iflag") & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT), 0u)
        << "input flow control or input processing on";
    EXPECT_EQ(flags("oflag") & OPOST, 0u) << "output processing on";
    EXPECT_EQ(flags("lflag") & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u) << "line discipline not raw";
}

void ExpectTalkingRun(const std::string &mode)
{
    const GuestRun run = RunGuest(mode);
    ASSERT_TRUE(run.ran) << "run_guest.sh could not run the guest here (QEMU, the kernel download or the static "
                            "build failed):\n"
                         << Tail(run.script, 30);
    const Report guest = ReadReport(run.console, "realport");
    ASSERT_TRUE(guest.count("booted")) << "the guest never reached its init (status " << run.devsimStatus
                                       << "); console:\n"
                                       << Tail(run.console) << "devsim and QEMU said:\n"
                                       << Tail(run.errors);
    EXPECT_EQ(guest.count("error"), 0u) << run.console;
    ASSERT_TRUE(guest.count("done")) << "the guest did not finish (status " << run.devsimStatus << "); console:\n"
                                     << Tail(run.console) << "devsim and QEMU said:\n"
                                     << Tail(run.errors);
    EXPECT_EQ(run.devsimStatus, 0) << run.errors;
    EXPECT_EQ(guest.at("exit").at(""), "0");

    // The same reviewed trace the devsim talking run must print.
    const std::string wanted = Slurp(GOLDEN_DIR "/talking.trace");
    ASSERT_FALSE(wanted.empty()) << "cannot read " GOLDEN_DIR "/talking.trace";
    EXPECT_EQ(guest.at("trace-bytes").at(""), std::to_string(run.trace.size())) << "the trace was cut short";
    EXPECT_TRUE(wanted == run.trace) << expected::FirstDifference(wanted, run.trace);
    const Received received = ReceivedByDevice(run.deviceLog);
    EXPECT_EQ(received.bytes, AllRequests());
    const double spanMs = static_cast<double>(received.lastUs - received.firstUs) / 1000.0;
    EXPECT_GE(spanMs, NominalSpanMs - SpanJitterMs) << "the dialogue was paced too fast";
    EXPECT_LE(spanMs, NominalSpanMs * (1.0 + SpanOverheadMax)) << "the dialogue stalled";
    std::cout << mode << " dialogue span: " << spanMs << " ms\n";

    const Report probe = ReadReport(run.console, "probe");
    EXPECT_EQ(probe.count("error"), 0u) << run.console;
    const long samples = Number(probe, "modem", "samples");
    EXPECT_GT(samples, 0);
    EXPECT_EQ(Number(probe, "modem", "dtr"), samples) << "DTR was down in some samples";
    EXPECT_EQ(Number(probe, "modem", "rts"), samples) << "RTS was down in some samples";
    EXPECT_GE(Number(probe, "modem", "span-ms"), DialogueSpanMs) << "the port was not held for the dialogue";
    ExpectRawLine(probe);

    const std::vector<Bytes> answers = TalkingAnswers();
    const std::size_t answered =
        std::accumulate(answers.begin(), answers.end(), std::size_t{0},
                        [](std::size_t sum, const Bytes &answer) { return sum + answer.size(); });
    EXPECT_EQ(Number(probe, "counters", "tx"), static_cast<long>(devsim::DialogueLength));
    EXPECT_EQ(Number(probe, "counters", "rx"), static_cast<long>(answered));
    for (const char *fault : {"frame", "overrun", "parity", "brk", "buf_overrun"}) {
        EXPECT_EQ(Number(probe, "counters", fault), 0) << fault;
    }
    std::cout << mode << " run: " << Lines(run.script).back() << "\n" << run.console;
}

TEST(RealPort, TalkingDeviceOn16550GivesTheDevsimTraceOnARawLine)
{
    ExpectTalkingRun("uart");
}

TEST(RealPort, TalkingDeviceOnUsbAdapterGivesTheDevsimTraceOnARawLine)
{
    ExpectTalkingRun("usb");
}

} // namespace
