#include "command_line.h"

#include <algorithm>
#include <iterator>

#include "cli/option_table.h"
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

using Text = const std::string &;
using Number = unsigned long;

// Each option, once: its name and letter, its value and range, its line of
// --help, what it sets and the commands it applies to.
struct OptionRow {
    cli::OptionSpec spec;
    // cppcheck-suppress unusedStructMember ; cli::ApplyArguments calls it
    void (*apply)(CommandLine &commandLine, Text value, Number number);
    unsigned applies;
};

const OptionRow Options[] = {
    {{"quiet", 'q', nullptr, 0, 0, "check: print nothing; the exit status tells"},
     [](CommandLine &c, Text, Number) { c.quiet = true; },
     ToCheck},
    {{"output", 'o', "FILE", 0, 0, "blocks: write the block data to FILE"},
     [](CommandLine &c, Text value, Number) { c.outputPath = value; },
     ToBlocks},
    // A collection never holds more than the program's receive buffer.
    {{"size", 's', "N", 1, trace::ReceiveBufferSize,
      "check: require N bytes of data a block; blocks, dump: take the last N bytes of each block's collection"},
     [](CommandLine &c, Text, Number number) { c.size = static_cast<std::size_t>(number); },
     ToCheck | ToBlocks | ToDump},
    {{"force", 'f', nullptr, 0, 0, "blocks, dump: write even when blocks are irregular for --size"},
     [](CommandLine &c, Text, Number) { c.force = true; },
     ToBlocks | ToDump},
    {{"list", 'l', nullptr, 0, 0, "blocks: list each block's size and leading bytes instead"},
     [](CommandLine &c, Text, Number) { c.list = true; },
     ToBlocks},
    {{"help", 'h', nullptr, 0, 0, "show this help and exit"},
     [](CommandLine &c, Text, Number) { c.help = true; },
     ToAny},
    {{"version", 'V', nullptr, 0, 0, "show the version and exit"},
     [](CommandLine &c, Text, Number) { c.version = true; },
     ToAny},
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

// Options and operands mix, and a long name may be shortened while it
// names one option (--vers), as in GNU programs.
constexpr cli::Layout TracetoolLayout{true, true};

// What is wrong with an option as given, in tracetool's words.
std::string Describe(const cli::Problem &problem)
{
    const std::string name = problem.mistake == cli::Mistake::Unknown ? std::string() : Options[problem.row].spec.name;
    if (problem.mistake == cli::Mistake::MissingValue) {
        return "a value is needed after " + problem.written;
    }
    if (name == "size" && (problem.mistake == cli::Mistake::BadNumber || problem.mistake == cli::Mistake::EmptyValue)) {
        return "--size takes a number of bytes from 1 to " + std::to_string(trace::ReceiveBufferSize) + ", not '" +
               problem.value + "'";
    }
    if (name == "output" && problem.mistake == cli::Mistake::EmptyValue) {
        return "--output needs a file name";
    }
    return cli::Describe(problem, cli::SpecsOf(Options));
}

// Whether the options given go with the command and with one another.
std::string CheckCombination(const CommandSpec &command, const std::vector<cli::Given> &given,
                             const CommandLine &commandLine)
{
    const auto misplaced = std::find_if(given.begin(), given.end(), [&command](const cli::Given &option) {
        return (Options[option.row].applies & command.applies) == 0;
    });
    if (misplaced != given.end()) {
        return std::string("--") + Options[misplaced->row].spec.name + " does not apply to " + command.name;
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
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const cli::Parsed parsed = cli::ApplyArguments(Options, arguments, TracetoolLayout, commandLine);
    if (parsed.problem) {
        return Describe(*parsed.problem);
    }
    if (commandLine.help || commandLine.version) {
        return {};
    }
    if (parsed.operands.empty()) {
        return "no command given (check, blocks, dump, diff or json)";
    }
    const std::string &name = parsed.operands[0];
    const CommandSpec *command = std::find_if(std::begin(Commands), std::end(Commands),
                                              [&name](const CommandSpec &spec) { return name == spec.name; });
    if (command == std::end(Commands)) {
        return "unknown command " + name;
    }
    commandLine.command = command->command;
    commandLine.traces.assign(parsed.operands.begin() + 1, parsed.operands.end());
    if (commandLine.traces.size() != command->traceCount) {
        return std::string(command->name) + (command->traceCount == 1 ? " takes one trace" : " takes two traces") +
               ", not " + std::to_string(commandLine.traces.size());
    }
    if (command->traceCount == 2 && commandLine.traces[0] == "-" && commandLine.traces[1] == "-") {
        return "standard input can be only one of the traces";
    }
    return CheckCombination(*command, parsed.options, commandLine);
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
    text += cli::HelpLines(cli::SpecsOf(Options), 20);
    text += "\n"
            "Exit status: 0 passed or same, 1 deviated, different, irregular or padded blocks, or a trace\n"
            "cut short, 2 the port never opened, 3 not a trace, 4 a wrong command line or an unwritable\n"
            "output. See tracetool(1).\n";
    return text;
}

} // namespace tracetool
