// tracetool's command line: which command to run, on which traces, with
// which options. Read from one option table (cli/option_table.h) that also
// gives the --help text.
#ifndef COMTRACE_TRACETOOL_COMMAND_LINE_H
#define COMTRACE_TRACETOOL_COMMAND_LINE_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tracetool {

enum class Command { None, Check, Blocks, Dump, Diff, Json };

struct CommandLine {
    Command command = Command::None;
    std::vector<std::string> traces; // one, or two for diff; "-" is standard input
    std::string outputPath;          // --output; empty: standard output
    std::optional<std::size_t> size; // --size
    bool force = false;              // --force
    bool list = false;               // --list
    bool quiet = false;              // --quiet
    bool help = false;               // --help
    bool version = false;            // --version
};

// Parses argv (argv[0] is the program). Options may come before or after
// the command and its traces. Returns an empty string on success, else what
// is wrong; commandLine may then be partly filled.
std::string ParseCommandLine(int argc, char *const argv[], CommandLine &commandLine);

// The --help text, derived from the option table.
std::string UsageText();

} // namespace tracetool

#endif
