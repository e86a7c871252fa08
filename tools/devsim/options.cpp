#include "options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include <getopt.h>
#include <unistd.h>

namespace devsim {

namespace {

// Reads a whole decimal number between low and high; no sign, no spaces,
// no octal or hex surprises.
bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &value)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    unsigned long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned long>(c - '0');
    }
    if (result < low || result > high) {
        return false;
    }
    value = result;
    return true;
}

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

// One option: its name, the placeholder of its value (none for a switch),
// the range of a numeric value, its line of --help and what it sets.
struct OptionRow {
    const char *name;  // without the leading "--"
    const char *value; // nullptr for a switch
    unsigned long low; // a numeric value's range; high is 0 for any text
    unsigned long high;
    const char *help; // "\n" continues it on a line of its own
    void (*apply)(Options &options, const std::string &value, unsigned long number);
};

using Text = const std::string &;
using Number = unsigned long;

const OptionRow OptionTable[] = {
    {"log", "FILE", 0, 0, "record every event with its CLOCK_MONOTONIC time",
     [](Options &o, Text value, Number) { o.logPath = value; }},
    {"silent", nullptr, 0, 0, "never answer (received bytes are still checked)",
     [](Options &o, Text, Number) { o.device.silent = true; }},
    {"answer-acks", nullptr, 0, 0, "also answer the acknowledgements normally left unanswered",
     [](Options &o, Text, Number) { o.device.answerAcks = true; }},
    {"image", "FILE", 0, 0, "memory image: 128 blocks of 32 bytes, exactly 4096 bytes",
     [](Options &o, Text value, Number) { o.imagePath = value; }},
    {"replay", "TRACE", 0, 0, "play back the device of a comtrace trace, byte for byte",
     [](Options &o, Text value, Number) { o.replayPath = value; }},
    {"long-text", nullptr, 0, 0, "identification text of 40 printable characters",
     [](Options &o, Text, Number) { o.device.longText = true; }},
    {"big-reply", "N", 1, MaxBigReply, "reply to block 0 is N bytes long",
     [](Options &o, Text, Number number) { o.device.bigReply = number; }},
    {"split-delay", "MS", 0, MaxSplitDelayMs, "send each block reply in two halves, MS ms apart",
     [](Options &o, Text, Number number) { o.device.splitDelayMs = static_cast<unsigned>(number); }},
    {"vanish-after", "N", 0, BlockCount - 1, "answer up to block N, hang up once its reply is read",
     [](Options &o, Text, Number number) { o.vanishAfter = static_cast<unsigned>(number); }},
    {"absent", nullptr, 0, 0, "no /dev/ttyS0 at all (empty /dev); no device",
     [](Options &o, Text, Number) { o.absent = true; }},
    {"wine-prefix", "DIR", 0, 0, "serve a Wine run: point COM1 of prefix DIR at the device",
     [](Options &o, Text value, Number) { o.winePrefix = MakeAbsolute(value); }},
    {"socket", "PATH", 0, 0,
     "play the device over a Unix stream socket that devsim\n"
     "listens on at PATH before starting COMMAND (which\n"
     "connects to it once, e.g. QEMU's -chardev socket);\n"
     "no pty, no mount namespace, no flush events",
     [](Options &o, Text value, Number) { o.socketPath = value; }},
    {"xon-xoff", nullptr, 0, 0, "the line starts with XON/XOFF flow control on both ways",
     [](Options &o, Text, Number) { o.xonXoff = true; }},
    {"help", nullptr, 0, 0, "show this text", [](Options &o, Text, Number) { o.help = true; }},
    {"version", nullptr, 0, 0, "show devsim's version", [](Options &o, Text, Number) { o.version = true; }},
};

constexpr std::size_t OptionCount = sizeof OptionTable / sizeof OptionTable[0];
// getopt_long's code for OptionTable[i] is FirstOptionCode + i, clear of
// the characters it returns itself.
constexpr int FirstOptionCode = 256;

// The option as written, without a value given with "=".
std::string WrittenName(const std::string &argument)
{
    return argument.substr(0, argument.find('='));
}

// Checks the value getopt_long found for row and applies both; returns
// what is wrong with them, if anything.
[[nodiscard]] std::string ApplyOption(const OptionRow &row, const char *value, Options &options)
{
    const std::string name = std::string("--") + row.name;
    const std::string text = value != nullptr ? value : "";
    if (row.value != nullptr && text.empty()) {
        return name + " needs a non-empty value";
    }
    unsigned long number = 0;
    if (row.high != 0 && !ParseNumber(text, row.low, row.high, number)) {
        return name + " takes a decimal number from " + std::to_string(row.low) + " to " + std::to_string(row.high) +
               ", not '" + text + "'";
    }
    row.apply(options, text, number);
    return std::string();
}

// The table's entry for the option getopt_long reported as code, when the
// argument names it in full. getopt_long takes an unambiguous abbreviation
// for the whole name; devsim wants names written out.
const OptionRow *SpecFor(int code, const std::string &argument)
{
    const int index = code - FirstOptionCode;
    if (index < 0 || index >= static_cast<int>(OptionCount)) {
        return nullptr;
    }
    const OptionRow &row = OptionTable[index];
    return WrittenName(argument) == std::string("--") + row.name ? &row : nullptr;
}

// Reads the option that argument starts with getopt_long, which moves
// optind past it and its value, and applies it; returns what is wrong with
// it, if anything.
[[nodiscard]] std::string ParseOption(int argc, char **argv, const option *longOptions, const std::string &argument,
                                      Options &options)
{
    // "+" stops at the first non-option, ":" reports a missing value.
    const int code = getopt_long(argc, argv, "+:", longOptions, nullptr);
    if (const OptionRow *row = SpecFor(code, argument)) {
        return ApplyOption(*row, optarg, options);
    }
    // A known option without its value, or with one it does not take.
    const OptionRow *misused = code == '?' || code == ':' ? SpecFor(optopt, argument) : nullptr;
    if (misused != nullptr) {
        return std::string("--") + misused->name + (misused->value != nullptr ? " needs a value" : " takes no value");
    }
    return "unknown option " + WrittenName(argument);
}

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
    // getopt_long wants a mutable argument vector that starts with the
    // program's name and ends in a null pointer.
    std::vector<std::string> words{"devsim"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv(words.size() + 1, nullptr);
    std::size_t next = 0;
    for (std::string &word : words) {
        argv[next++] = word.data();
    }
    const int argc = static_cast<int>(words.size());

    std::vector<option> longOptions(OptionCount + 1, option{});
    for (std::size_t i = 0; i < OptionCount; ++i) {
        longOptions[i] = option{OptionTable[i].name, OptionTable[i].value != nullptr ? required_argument : no_argument,
                                nullptr, FirstOptionCode + static_cast<int>(i)};
    }

    // optind 0 makes glibc start a fresh scan; opterr 0 leaves the
    // messages to devsim.
    optind = 0;
    opterr = 0;
    std::size_t i = 0; // index into arguments of the next one to look at
    while (i < arguments.size()) {
        const std::string &argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        // Options are long ones only; anything else starts COMMAND.
        if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            break;
        }
        std::string problem = ParseOption(argc, argv.data(), longOptions.data(), argument, options);
        i = static_cast<std::size_t>(optind) - 1;
        if (!problem.empty()) {
            return problem;
        }
    }

    options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
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
    constexpr int Column = 20;
    static const std::string text = [] {
        std::string usage = "usage: devsim [options] [--socket PATH] -- COMMAND [ARGS...]\n"
                            "Runs COMMAND with a simulated device standing in for /dev/ttyS0.\n"
                            "\n";
        for (const OptionRow &row : OptionTable) {
            std::string left = std::string("--") + row.name;
            if (row.value != nullptr) {
                left += std::string(" ") + row.value;
            }
            left.resize(std::max<std::size_t>(left.size() + 1, Column), ' ');
            std::string help = row.help;
            for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
                help.insert(at + 1, std::string(2 + Column, ' '));
            }
            usage.append("  ").append(left).append(help).append("\n");
        }
        return usage + "\n"
                       "Exit status: COMMAND's (128+N when killed by signal N); 3 when COMMAND\n"
                       "exited 0 but the device saw a protocol deviation; 125 when devsim itself\n"
                       "could not set up; 126/127 when COMMAND could not be run.\n";
    }();
    return text.c_str();
}

} // namespace devsim
