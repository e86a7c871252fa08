#include "options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include <unistd.h>

#include "cli/option_table.h"

namespace devsim {

namespace {

std::string MakeAbsolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr) {
        return path;
    }
    return std::string(directory) + "/" + path;
}

using Text = const std::string &;
using Number = unsigned long;

// Each option: its name, the placeholder of its value (none for a switch),
// the range of a numeric value, its line of --help and what it sets.
const cli::Option<Options> OptionTable[] = {
    {{"log", 0, "FILE", 0, 0, "record every event with its CLOCK_MONOTONIC time"},
     [](Options &o, Text value, Number) { o.logPath = value; }},
    {{"silent", 0, nullptr, 0, 0, "never answer (received bytes are still checked)"},
     [](Options &o, Text, Number) { o.device.silent = true; }},
    {{"answer-acks", 0, nullptr, 0, 0, "also answer the acknowledgements normally left unanswered"},
     [](Options &o, Text, Number) { o.device.answerAcks = true; }},
    {{"image", 0, "FILE", 0, 0, "memory image: 128 blocks of 32 bytes, exactly 4096 bytes"},
     [](Options &o, Text value, Number) { o.imagePath = value; }},
    {{"replay", 0, "TRACE", 0, 0, "play back the device of a comtrace trace, byte for byte"},
     [](Options &o, Text value, Number) { o.replayPath = value; }},
    {{"long-text", 0, nullptr, 0, 0, "identification text of 40 printable characters"},
     [](Options &o, Text, Number) { o.device.longText = true; }},
    {{"big-reply", 0, "N", 1, MaxBigReply, "reply to block 0 is N bytes long"},
     [](Options &o, Text, Number number) { o.device.bigReply = number; }},
    {{"split-delay", 0, "MS", 0, MaxSplitDelayMs, "send each block reply in two halves, MS ms apart"},
     [](Options &o, Text, Number number) { o.device.splitDelayMs = static_cast<unsigned>(number); }},
    {{"vanish-after", 0, "N", 0, BlockCount - 1, "answer up to block N, hang up once its reply is read"},
     [](Options &o, Text, Number number) { o.vanishAfter = static_cast<unsigned>(number); }},
    {{"absent", 0, nullptr, 0, 0, "no /dev/ttyS0 at all (empty /dev); no device"},
     [](Options &o, Text, Number) { o.absent = true; }},
    {{"wine-prefix", 0, "DIR", 0, 0, "serve a Wine run: point COM1 of prefix DIR at the device"},
     [](Options &o, Text value, Number) { o.winePrefix = MakeAbsolute(value); }},
    {{"socket", 0, "PATH", 0, 0,
      "play the device over a Unix stream socket that devsim\n"
      "listens on at PATH before starting COMMAND (which\n"
      "connects to it once, e.g. QEMU's -chardev socket);\n"
      "no pty, no mount namespace, no flush events"},
     [](Options &o, Text value, Number) { o.socketPath = value; }},
    {{"xon-xoff", 0, nullptr, 0, 0, "the line starts with XON/XOFF flow control on both ways"},
     [](Options &o, Text, Number) { o.xonXoff = true; }},
    {{"help", 0, nullptr, 0, 0, "show this text"}, [](Options &o, Text, Number) { o.help = true; }},
    {{"version", 0, nullptr, 0, 0, "show devsim's version"}, [](Options &o, Text, Number) { o.version = true; }},
};

// The trace says every byte the device sends; an option that changes the
// replies, or removes the device, contradicts it.
[[nodiscard]] std::string CheckReplayCombination(const Options &options)
{
    const DeviceOptions &device = options.device;
    const std::pair<bool, const char *> conflicts[] = {
        {options.absent, "--absent"},
        {device.silent, "--silent"},
        {device.answerAcks, "--answer-acks"},
        {device.longText, "--long-text"},
        {!options.imagePath.empty(), "--image"},
        {device.bigReply.has_value(), "--big-reply"},
        {device.splitDelayMs.has_value(), "--split-delay"},
    };
    for (const auto &[given, name] : conflicts) {
        if (given) {
            return std::string("--replay and ") + name +
                   " cannot be combined: the trace already says every byte the device sends";
        }
    }
    return std::string();
}

// Options that contradict each other; returns which, and why.
[[nodiscard]] std::string CheckCombinations(const Options &options)
{
    if (options.absent && !options.winePrefix.empty()) {
        return "--absent and --wine-prefix cannot be combined: Wine needs /dev";
    }
    if (!options.socketPath.empty() && (options.absent || !options.winePrefix.empty() || options.xonXoff)) {
        return "--socket cannot be combined with --absent, --wine-prefix or --xon-xoff: it replaces the pty";
    }
    if (options.absent && options.xonXoff) {
        return "--absent and --xon-xoff cannot be combined: there is no line";
    }
    if (!options.replayPath.empty()) {
        return CheckReplayCombination(options);
    }
    return std::string();
}

} // namespace

std::string ParseOptions(const std::vector<std::string> &arguments, Options &options)
{
    // Options come first, written in full; the rest is the command.
    const cli::Parsed parsed = cli::ApplyArguments(OptionTable, arguments, cli::Layout{}, options);
    if (parsed.problem) {
        return cli::Describe(*parsed.problem, cli::SpecsOf(OptionTable));
    }
    options.command = parsed.operands;
    if (options.help || options.version) {
        return std::string();
    }
    if (options.command.empty()) {
        return "no COMMAND given to run against the device";
    }
    return CheckCombinations(options);
}

std::string LoadImage(const std::string &path, Bytes &image)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return "cannot open the image " + path + ": " + std::strerror(errno);
    }
    // Read one byte past the limit so an oversized file is told apart
    // without slurping it whole.
    Bytes contents(ImageSize + 1);
    file.read(reinterpret_cast<char *>(contents.data()), static_cast<std::streamsize>(contents.size()));
    if (file.bad()) {
        return "cannot read the image " + path;
    }
    const std::size_t length = static_cast<std::size_t>(file.gcount());
    if (length != ImageSize) {
        return "the image " + path + " must be exactly " + std::to_string(ImageSize) + " bytes (" +
               std::to_string(BlockCount) + " blocks of " + std::to_string(BlockSize) + "), it has " +
               (length > ImageSize ? "more" : std::to_string(length));
    }
    contents.resize(ImageSize);
    image = std::move(contents);
    return std::string();
}

const char *UsageText()
{
    // The left column is as wide as the longest option with its value.
    constexpr std::size_t Column = 20;
    static const std::string text = [] {
        std::string usage = "usage: devsim [options] [--socket PATH] -- COMMAND [ARGS...]\n"
                            "Runs COMMAND with a simulated device standing in for /dev/ttyS0.\n"
                            "\n";
        usage += cli::HelpLines(cli::SpecsOf(OptionTable), Column);
        return usage + "\n"
                       "Exit status: COMMAND's (128+N when killed by signal N); 3 when COMMAND\n"
                       "exited 0 but the device saw a protocol deviation; 125 when devsim itself\n"
                       "could not set up; 126/127 when COMMAND could not be run.\n";
    }();
    return text.c_str();
}

} // namespace devsim
