// A program's options as one table: each row names an option (its long
// name and, if it has one, its letter), the value it takes and, for a
// number, its range, its line of --help, and what it sets. The parser and
// the help text both come from the table, so they cannot drift apart.
// Plain C++17 with no getopt_long, so that every compiler the programs are
// built with (MSVC's too) builds the command lines alike.
#ifndef COMTRACE_CLI_OPTION_TABLE_H
#define COMTRACE_CLI_OPTION_TABLE_H

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// What the parser and the help text need of a row.
struct OptionSpec {
    const char *name;   // without the leading "--"
    char letter;        // the short form's letter, 0 for none
    const char *value;  // the value's placeholder in --help, nullptr for a switch
    unsigned long low;  // a numeric value's range; high 0 for any text
    unsigned long high; //
    const char *help;   // "\n" continues it on a line of its own
};

// How a program lays out its command line.
struct Layout {
    // false: "--" or the first argument that is not an option ends the
    // options (the rest is a command to run); true: options and operands
    // mix, and "--" makes every later argument an operand.
    bool operandsAnywhere = false;
    // A long name may be shortened as long as it names one option.
    bool abbreviations = false;
};

enum class Mistake {
    Unknown,       // no such option (or a shortened name, where not taken)
    MissingValue,  // the last argument is an option that needs a value
    UnwantedValue, // "--switch=..."
    EmptyValue,    // an empty value for an option that takes one
    BadNumber,     // a numeric value that is not a number in the range
};

struct Problem {
    Mistake mistake;
    std::string written; // the argument as written: "--frob", "--size=x", "-s"
    std::size_t row;     // the option's row in the table (not for Unknown)
    std::string value;   // the value given, for EmptyValue and BadNumber
};

// One option as given: its row, its value and, for a number, the number.
struct Given {
    std::size_t row;
    std::string value;
    unsigned long number;
};

struct Parsed {
    std::vector<Given> options;        // in the order given
    std::vector<std::string> operands; // in the order given
    std::optional<Problem> problem;    // the first mistake; reading stopped there
};

// Reads the arguments that follow the program's name against the table.
// A long option is "--name", "--name=VALUE" or "--name VALUE" (the next
// argument, whatever it is); a letter "-l", "-lVALUE" or "-l VALUE", and
// switches' letters may share one argument ("-qf"). "-" alone is an
// operand.
Parsed ReadArguments(const std::vector<OptionSpec> &specs, const std::vector<std::string> &arguments,
                     const Layout &layout);

// Reads a whole decimal number between low and high: digits only (no
// sign, no spaces, no octal or hex), at most nine of them. Returns false,
// leaving value alone, for anything else.
bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &value);

// The usual words for a mistake: "unknown option --x", "--log needs a
// value", "--silent takes no value", "--log needs a non-empty value",
// "--n takes a decimal number from 1 to 9, not 'x'".
std::string Describe(const Problem &problem, const std::vector<OptionSpec> &specs);

// The option lines of --help, one a row: two spaces, "--name VALUE" (or
// "-l, --name VALUE") padded to column characters (at least one space
// after it), then the help, its continuation lines indented to match.
std::string HelpLines(const std::vector<OptionSpec> &specs, std::size_t column);

// A row with what it sets in a program's settings: the value as given and,
// for a numeric option, the number it holds. A program that keeps more in
// a row uses a row type of its own with the same spec and apply members.
template <typename Settings> struct Option {
    OptionSpec spec;
    void (*apply)(Settings &settings, const std::string &value, unsigned long number);
};

// The specs of a table of rows.
template <typename Row, std::size_t Count> std::vector<OptionSpec> SpecsOf(const Row (&table)[Count])
{
    std::vector<OptionSpec> specs(Count);
    std::transform(std::begin(table), std::end(table), specs.begin(), [](const Row &row) { return row.spec; });
    return specs;
}

// Reads the arguments against a table of rows and applies each option
// given, in order, up to the first mistake.
template <typename Row, std::size_t Count, typename Settings>
Parsed ApplyArguments(const Row (&table)[Count], const std::vector<std::string> &arguments, const Layout &layout,
                      Settings &settings)
{
    Parsed parsed = ReadArguments(SpecsOf(table), arguments, layout);
    for (const Given &given : parsed.options) {
        table[given.row].apply(settings, given.value, given.number);
    }
    return parsed;
}

} // namespace cli

#endif
