#include "command_line.h"

#include <cstring>

#include <getopt.h>

#include "trace/dialogue.h"

namespace tracetool {

namespace {

// Which commands an option applies to.
enum Applies : unsigned {
    ToCheck = 1u << 0,
    ToBlocks = 1u << 1,
    ToDump = 1u << 2,
    ToAny = ~0u,
};

struct OptionSpec {
    const char *name;
    char letter;
    const char *argument; // null for a switch
    unsigned applies;
    const char *help;
};

// Every option, once: getopt_long's table, its short options and the
// --help text all come from here.
constexpr OptionSpec Specs[] = {
    {"quiet", 'q', nullptr, ToCheck, "check: print nothing; the exit status tells"},
    {"output", 'o', "FILE", ToBlocks, "blocks: write the block data to FILE"},
    {"size", 's', "N", ToBlocks | ToDump, "blocks, dump: take the last N bytes of each block's collection"},
    {"force", 'f', nullptr, ToBlocks | ToDump, "blocks, dump: write even when blocks are irregular for --size"},
    {"list", 'l', nullptr, ToBlocks, "blocks: list each block's size and leading bytes instead"},
    {"help", 'h', nullptr, ToAny, "show this help and exit"},
    {"version", 'V', nullptr, ToAny, "show the version and exit"},
};

struct CommandSpec {
    const char *name;
    Command command;
    unsigned applies;
    std::size_t traceCount;
};

constexpr CommandSpec Commands[] = {
    {"check", Command::Check, ToCheck, 1}, {"blocks", Command::Blocks, ToBlocks, 1},
    {"dump", Command::Dump, ToDump, 1},    {"diff", Command::Diff, 0, 2},
    {"json", Command::Json, 0, 1},
};

bool ParseSize(const char *text, std::size_t &size)
{
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 4) {
        return false;
    }
    std::size_t value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    // A collection never holds more than the program's receive buffer.
    if (value < 1 || value > trace::ReceiveBufferSize) {
        return false;
    }
    size = value;
    return true;
}

constexpr std::size_t SpecCount = sizeof Specs / sizeof Specs[0];

// Sets what the option with this letter means; returns what is wrong with
// its value, if anything.
std::string ApplyOption(int letter, const char *value, CommandLine &commandLine)
{
    switch (letter) {
    case 'q':
        commandLine.quiet = true;
        break;
    case 'o':
        commandLine.outputPath = value;
        if (commandLine.outputPath.empty()) {
            return "--output needs a file name";
        }
        break;
    case 's': {
        std::size_t size = 0;
        if (!ParseSize(value, size)) {
            return "--size takes a number of bytes from 1 to " + std::to_string(trace::ReceiveBufferSize) + ", not '" +
                   value + "'";
        }
        commandLine.size = size;
        break;
    }
    case 'f':
        commandLine.force = true;
        break;
    case 'l':
        commandLine.list = true;
        break;
    case 'h':
        commandLine.help = true;
        break;
    default:
        commandLine.version = true;
        break;
    }
    return {};
}

// Reads the options with getopt_long, wherever they are; given gets one
// bit per entry of Specs seen. Leaves optind at the first operand.
std::string ReadOptions(int argc, char *const argv[], CommandLine &commandLine, unsigned &given)
{
    option longOptions[SpecCount + 1] = {};
    std::string shortOptions = ":"; // a missing value is reported as ':'
    for (std::size_t i = 0; i < SpecCount; ++i) {
        const int argument = Specs[i].argument != nullptr ? required_argument : no_argument;
        longOptions[i] = {Specs[i].name, argument, nullptr, Specs[i].letter};
        shortOptions += Specs[i].letter;
        shortOptions += argument == required_argument ? ":" : "";
    }
    opterr = 0; // the messages below name the option as given
    optind = 0; // starts getopt afresh, also when called again
    for (int letter = 0; (letter = getopt_long(argc, argv, shortOptions.c_str(), longOptions, nullptr)) != -1;) {
        if (letter == '?' || letter == ':') {
            const std::string option = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            return (letter == '?' ? "unknown option " : "a value is needed after ") + option;
        }
        for (std::size_t i = 0; i < SpecCount; ++i) {
            given |= Specs[i].letter == letter ? 1u << i : 0u;
        }
        std::string problem = ApplyOption(letter, optarg, commandLine);
        if (!problem.empty()) {
            return problem;
        }
    }
    return {};
}

// Whether the options given go with the command and with one another.
std::string CheckCombination(const CommandSpec &command, unsigned given, const CommandLine &commandLine)
{
    for (std::size_t i = 0; i < SpecCount; ++i) {
        if ((given & (1u << i)) != 0 && (Specs[i].applies & command.applies) == 0) {
            return std::string("--") + Specs[i].name + " does not apply to " + command.name;
        }
    }
    if (commandLine.force && !commandLine.size) {
        return "--force goes with --size";
    }
    if (commandLine.list && commandLine.force) {
        return "--list writes no block data: --force does not go with it";
    }
    if (commandLine.list && !commandLine.outputPath.empty()) {
        return "--list prints to standard output: --output does not go with it";
    }
    return {};
}

} // namespace

std::string ParseCommandLine(int argc, char *const argv[], CommandLine &commandLine)
{
    unsigned given = 0;
    std::string problem = ReadOptions(argc, argv, commandLine, given);
    if (!problem.empty() || commandLine.help || commandLine.version) {
        return problem;
    }
    if (optind >= argc) {
        return "no command given (check, blocks, dump, diff or json)";
    }
    const CommandSpec *command = nullptr;
    for (const CommandSpec &spec : Commands) {
        command = std::strcmp(argv[optind], spec.name) == 0 ? &spec : command;
    }
    if (command == nullptr) {
        return std::string("unknown command ") + argv[optind];
    }
    commandLine.command = command->command;
    commandLine.traces.assign(argv + optind + 1, argv + argc);
    if (commandLine.traces.size() != command->traceCount) {
        return std::string(command->name) + (command->traceCount == 1 ? " takes one trace" : " takes two traces") +
               ", not " + std::to_string(commandLine.traces.size());
    }
    if (command->traceCount == 2 && commandLine.traces[0] == "-" && commandLine.traces[1] == "-") {
        return "standard input can be only one of the traces";
    }
    return CheckCombination(*command, given, commandLine);
}

std::string UsageText()
{
    std::string text = "Usage: tracetool COMMAND [OPTION...] TRACE...\n"
                       "Reads traces written by comtrace; TRACE '-' is standard input.\n"
                       "\n"
                       "Commands:\n"
                       "  check TRACE    one line per stage and a verdict\n"
                       "  blocks TRACE   the block data, as collected (binary)\n"
                       "  dump TRACE     the block data as hex and ASCII\n"
                       "  diff A B       the replies that differ between two traces\n"
                       "  json TRACE     one JSON object per request, then the bring-up and the release\n"
                       "\n"
                       "Options:\n";
    for (const OptionSpec &spec : Specs) {
        std::string name = std::string("  -") + spec.letter + ", --" + spec.name;
        if (spec.argument != nullptr) {
            name += std::string(" ") + spec.argument;
        }
        name.resize(name.size() < 22 ? 22 : name.size() + 1, ' ');
        text += name + spec.help + "\n";
    }
    text += "\n"
            "Exit status: 0 passed or same, 1 deviated, different or irregular blocks, 2 the port never\n"
            "opened, 3 not a trace, 4 a wrong command line or an unwritable output. See tracetool(1).\n";
    return text;
}

} // namespace tracetool
