#include "option_table.h"

#include <algorithm>

namespace cli {

namespace {

// The most digits ParseNumber reads: any nine fit an unsigned long.
constexpr std::size_t MaxDigits = 9;

// "-x" is an option (a letter, maybe unknown) where the table has letters
// or options come anywhere; where a command follows the options of a table
// without letters, it starts the command.
bool IsOption(const std::string &argument, const std::vector<OptionSpec> &specs, const Layout &layout)
{
    if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
        return true;
    }
    const bool hasLetters =
        std::any_of(specs.begin(), specs.end(), [](const OptionSpec &spec) { return spec.letter != 0; });
    return (hasLetters || layout.operandsAnywhere) && argument.size() > 1 && argument[0] == '-' && argument != "--";
}

// The row a long name given in full (or, where taken, shortened to one
// option's) names; specs.size() when none.
std::size_t FindName(const std::vector<OptionSpec> &specs, const std::string &name, bool abbreviations)
{
    std::size_t found = specs.size();
    std::size_t matches = 0;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (name == specs[i].name) {
            return i;
        }
        if (abbreviations && std::string(specs[i].name).compare(0, name.size(), name) == 0) {
            found = i;
            ++matches;
        }
    }
    return matches == 1 ? found : specs.size();
}

std::size_t FindLetter(const std::vector<OptionSpec> &specs, char letter)
{
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (specs[i].letter == letter) {
            return i;
        }
    }
    return specs.size();
}

// Checks a value for the row and adds the option; returns false, with the
// problem set, when the value will not do.
bool Take(const std::vector<OptionSpec> &specs, std::size_t row, const std::string &written, const std::string &value,
          Parsed &parsed)
{
    const OptionSpec &spec = specs[row];
    if (value.empty()) {
        parsed.problem = Problem{Mistake::EmptyValue, written, row, value};
        return false;
    }
    unsigned long number = 0;
    if (spec.high != 0 && !ParseNumber(value, spec.low, spec.high, number)) {
        parsed.problem = Problem{Mistake::BadNumber, written, row, value};
        return false;
    }
    parsed.options.push_back(Given{row, value, number});
    return true;
}

// Reads the long option at arguments[next], and its value; advances next
// past both. Returns false, with the problem set, at a mistake.
bool ReadLong(const std::vector<OptionSpec> &specs, const std::vector<std::string> &arguments, std::size_t &next,
              const Layout &layout, Parsed &parsed)
{
    const std::string &argument = arguments[next++];
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const std::size_t row = FindName(specs, name, layout.abbreviations);
    if (row == specs.size()) {
        parsed.problem = Problem{Mistake::Unknown, argument.substr(0, equals), 0, std::string()};
        return false;
    }
    const std::string written = argument.substr(0, equals);
    if (specs[row].value == nullptr) {
        if (equals != std::string::npos) {
            parsed.problem = Problem{Mistake::UnwantedValue, written, row, std::string()};
            return false;
        }
        parsed.options.push_back(Given{row, std::string(), 0});
        return true;
    }
    if (equals != std::string::npos) {
        return Take(specs, row, written, argument.substr(equals + 1), parsed);
    }
    if (next == arguments.size()) {
        parsed.problem = Problem{Mistake::MissingValue, written, row, std::string()};
        return false;
    }
    return Take(specs, row, written, arguments[next++], parsed);
}

// Reads the letters at arguments[next] ("-qf", "-s32", "-s 32"), and a
// value; advances next past them. Returns false, with the problem set, at
// a mistake.
bool ReadLetters(const std::vector<OptionSpec> &specs, const std::vector<std::string> &arguments, std::size_t &next,
                 Parsed &parsed)
{
    const std::string &argument = arguments[next++];
    for (std::size_t at = 1; at < argument.size(); ++at) {
        const std::size_t row = FindLetter(specs, argument[at]);
        if (row == specs.size()) {
            parsed.problem = Problem{Mistake::Unknown, argument, 0, std::string()};
            return false;
        }
        if (specs[row].value == nullptr) {
            parsed.options.push_back(Given{row, std::string(), 0});
            continue;
        }
        const std::string written = std::string("-") + argument[at];
        if (at + 1 < argument.size()) {
            return Take(specs, row, written, argument.substr(at + 1), parsed);
        }
        if (next == arguments.size()) {
            parsed.problem = Problem{Mistake::MissingValue, written, row, std::string()};
            return false;
        }
        return Take(specs, row, written, arguments[next++], parsed);
    }
    return true;
}

} // namespace

Parsed ReadArguments(const std::vector<OptionSpec> &specs, const std::vector<std::string> &arguments,
                     const Layout &layout)
{
    Parsed parsed;
    std::size_t next = 0;
    while (next < arguments.size()) {
        const std::string &argument = arguments[next];
        if (argument == "--") {
            ++next;
            break;
        }
        if (!IsOption(argument, specs, layout)) {
            if (!layout.operandsAnywhere) {
                break;
            }
            parsed.operands.push_back(argument);
            ++next;
            continue;
        }
        const bool read = argument.compare(0, 2, "--") == 0 ? ReadLong(specs, arguments, next, layout, parsed)
                                                            : ReadLetters(specs, arguments, next, parsed);
        if (!read) {
            return parsed;
        }
    }
    parsed.operands.insert(parsed.operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(next),
                           arguments.end());
    return parsed;
}

bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &value)
{
    if (text.empty() || text.size() > MaxDigits) {
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

std::string Describe(const Problem &problem, const std::vector<OptionSpec> &specs)
{
    if (problem.mistake == Mistake::Unknown) {
        return "unknown option " + problem.written;
    }
    const OptionSpec &spec = specs.at(problem.row);
    const std::string name = std::string("--") + spec.name;
    switch (problem.mistake) {
    case Mistake::MissingValue:
        return name + " needs a value";
    case Mistake::UnwantedValue:
        return name + " takes no value";
    case Mistake::EmptyValue:
        return name + " needs a non-empty value";
    case Mistake::BadNumber:
    case Mistake::Unknown:
        break;
    }
    return name + " takes a decimal number from " + std::to_string(spec.low) + " to " + std::to_string(spec.high) +
           ", not '" + problem.value + "'";
}

std::string HelpLines(const std::vector<OptionSpec> &specs, std::size_t column)
{
    std::string lines;
    for (const OptionSpec &spec : specs) {
        std::string left = spec.letter != 0 ? std::string("-") + spec.letter + ", --" : std::string("--");
        left += spec.name;
        if (spec.value != nullptr) {
            left += std::string(" ") + spec.value;
        }
        left.resize(std::max(left.size() + 1, column), ' ');
        std::string help = spec.help;
        for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
            help.insert(at + 1, std::string(2 + column, ' '));
        }
        lines.append("  ").append(left).append(help).append("\n");
    }
    return lines;
}

} // namespace cli
