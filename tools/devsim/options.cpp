#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>

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

// One option of the command line, read from its name onwards, with the
// arguments that may hold its value.
class OptionReader {
public:
    // Both "--log FILE" and "--log=FILE" are accepted.
    OptionReader(const std::vector<std::string> &arguments, std::size_t &next) : arguments_(arguments), next_(next)
    {
        name_ = arguments_[next_++];
        const std::size_t equals = name_.find('=');
        if (equals != std::string::npos) {
            inlineValue_ = name_.substr(equals + 1);
            name_.erase(equals);
        }
    }

    const std::string &Name() const { return name_; }

    // Takes the option's value; on failure says what is wrong.
    std::string TakeValue(std::string &value)
    {
        if (inlineValue_) {
            value = *inlineValue_;
        } else if (next_ < arguments_.size()) {
            value = arguments_[next_++];
        } else {
            return name_ + " needs a value";
        }
        if (value.empty()) {
            return name_ + " needs a non-empty value";
        }
        return std::string();
    }

    // Takes the option's value as a decimal number from low to high.
    std::string TakeNumber(unsigned long low, unsigned long high, unsigned long &value)
    {
        std::string text;
        std::string problem = TakeValue(text);
        if (!problem.empty()) {
            return problem;
        }
        if (!ParseNumber(text, low, high, value)) {
            problem = name_;
            problem += " takes a decimal number from " + std::to_string(low) + " to " + std::to_string(high);
            problem += ", not '" + text + "'";
        }
        return problem;
    }

    // For a switch: a value given with "=" is a mistake.
    std::string NoValue() const { return inlineValue_ ? name_ + " takes no value" : std::string(); }

private:
    const std::vector<std::string> &arguments_;
    std::size_t &next_;
    std::string name_;
    std::optional<std::string> inlineValue_;
};

// Sets what the option names; returns what is wrong with it, if anything.
std::string ApplyOption(OptionReader &reader, Options &options)
{
    const std::string &name = reader.Name();
    std::string problem;
    unsigned long number = 0;
    if (name == "--help") {
        problem = reader.NoValue();
        options.help = true;
    } else if (name == "--version") {
        problem = reader.NoValue();
        options.version = true;
    } else if (name == "--log") {
        problem = reader.TakeValue(options.logPath);
    } else if (name == "--silent") {
        problem = reader.NoValue();
        options.device.silent = true;
    } else if (name == "--answer-acks") {
        problem = reader.NoValue();
        options.device.answerAcks = true;
    } else if (name == "--long-text") {
        problem = reader.NoValue();
        options.device.longText = true;
    } else if (name == "--absent") {
        problem = reader.NoValue();
        options.absent = true;
    } else if (name == "--image") {
        problem = reader.TakeValue(options.imagePath);
    } else if (name == "--replay") {
        problem = reader.TakeValue(options.replayPath);
    } else if (name == "--big-reply") {
        problem = reader.TakeNumber(1, MaxBigReply, number);
        options.device.bigReply = number;
    } else if (name == "--split-delay") {
        problem = reader.TakeNumber(0, MaxSplitDelayMs, number);
        options.device.splitDelayMs = static_cast<unsigned>(number);
    } else if (name == "--vanish-after") {
        problem = reader.TakeNumber(0, BlockCount - 1, number);
        options.vanishAfter = static_cast<unsigned>(number);
    } else if (name == "--xon-xoff") {
        problem = reader.NoValue();
        options.xonXoff = true;
    } else if (name == "--wine-prefix") {
        problem = reader.TakeValue(options.winePrefix);
        options.winePrefix = MakeAbsolute(options.winePrefix);
    } else if (name == "--socket") {
        problem = reader.TakeValue(options.socketPath);
    } else {
        problem = "unknown option " + name;
    }
    return problem;
}

// The trace says every byte the device sends; an option that changes the
// replies, or removes the device, contradicts it.
std::string CheckReplayCombination(const Options &options)
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

} // namespace

std::string ParseOptions(const std::vector<std::string> &arguments, Options &options)
{
    std::size_t i = 0;
    while (i < arguments.size()) {
        const std::string &argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            break;
        }
        OptionReader reader(arguments, i);
        std::string problem = ApplyOption(reader, options);
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
    return "usage: devsim [options] [--socket PATH] -- COMMAND [ARGS...]\n"
           "Runs COMMAND with a simulated device standing in for /dev/ttyS0.\n"
           "\n"
           "  --log FILE          record every event with its CLOCK_MONOTONIC time\n"
           "  --silent            never answer (received bytes are still checked)\n"
           "  --answer-acks       also answer the acknowledgements normally left unanswered\n"
           "  --image FILE        memory image: 128 blocks of 32 bytes, exactly 4096 bytes\n"
           "  --replay TRACE      play back the device of a comtrace trace, byte for byte\n"
           "  --long-text         identification text of 40 printable characters\n"
           "  --big-reply N       reply to block 0 is N bytes long\n"
           "  --split-delay MS    send each block reply in two halves, MS ms apart\n"
           "  --vanish-after N    answer up to block N, hang up once its reply is read\n"
           "  --absent            no /dev/ttyS0 at all (empty /dev); no device\n"
           "  --wine-prefix DIR   serve a Wine run: point COM1 of prefix DIR at the device\n"
           "  --socket PATH       play the device over a Unix stream socket that devsim\n"
           "                      listens on at PATH before starting COMMAND (which\n"
           "                      connects to it once, e.g. QEMU's -chardev socket);\n"
           "                      no pty, no mount namespace, no flush events\n"
           "  --xon-xoff          the line starts with XON/XOFF flow control on both ways\n"
           "  --help              show this text\n"
           "  --version           show devsim's version\n"
           "\n"
           "Exit status: COMMAND's (128+N when killed by signal N); 3 when COMMAND\n"
           "exited 0 but the device saw a protocol deviation; 125 when devsim itself\n"
           "could not set up; 126/127 when COMMAND could not be run.\n";
}

} // namespace devsim
