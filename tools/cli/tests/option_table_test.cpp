// The option tables: each form of an option read into its row and value,
// operands kept in their places, every mistake named with the option as
// the user wrote it, and --help laid out from the table.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/option_table.h"

namespace cli {
namespace {

enum Row { Quiet, Size, Output, Force, Silent };

const std::vector<OptionSpec> Specs = {
    {"quiet", 'q', nullptr, 0, 0, "print nothing"}, {"size", 's', "N", 1, 4096, "bytes a block"},
    {"output", 'o', "FILE", 0, 0, "write to FILE"}, {"force", 'f', nullptr, 0, 0, "write anyway"},
    {"silent", 0, nullptr, 0, 0, "answer nothing"},
};

// The options given, as "row=value" ("row" for a switch), and the operands.
std::vector<std::string> Shown(const Parsed &parsed)
{
    std::vector<std::string> shown;
    for (const Given &given : parsed.options) {
        shown.push_back(std::string(Specs[given.row].name) + (given.value.empty() ? "" : "=" + given.value));
        if (given.row == Size) {
            EXPECT_EQ(std::to_string(given.number), given.value);
        }
    }
    std::transform(parsed.operands.begin(), parsed.operands.end(), std::back_inserter(shown),
                   [](const std::string &operand) { return "[" + operand + "]"; });
    return shown;
}

TEST(OptionTable, ReadsEveryFormOfAnOptionAndKeepsTheOperands)
{
    const Layout mixed{true, false};
    const Layout commandLast{false, false};
    const Layout shortened{true, true};
    struct Case {
        std::vector<std::string> arguments;
        Layout layout;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {{"--size", "32", "--size=64", "-s128", "-s", "256"}, mixed, {"size=32", "size=64", "size=128", "size=256"}},
        {{"-qf", "-fs", "1"}, mixed, {"quiet", "force", "force", "size=1"}},
        {{"a", "-q", "b", "--output", "--force", "c"}, mixed, {"quiet", "output=--force", "[a]", "[b]", "[c]"}},
        {{"-o", "-", "-", "--", "-q", "--size"}, mixed, {"output=-", "[-]", "[-q]", "[--size]"}},
        {{"--quiet", "run", "--force"}, commandLast, {"quiet", "[run]", "[--force]"}},
        {{"--", "--quiet"}, commandLast, {"[--quiet]"}},
        {{"--out=x", "--q", "--sil"}, shortened, {"output=x", "quiet", "silent"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        const Parsed parsed = ReadArguments(Specs, c.arguments, c.layout);
        EXPECT_FALSE(parsed.problem.has_value()) << Describe(*parsed.problem, Specs);
        EXPECT_EQ(Shown(parsed), c.shown);
    }

    // Without letters in the table, "-x" is no option: the command starts.
    const std::vector<OptionSpec> longOnly = {{"quiet", 0, nullptr, 0, 0, "quiet"}, {"log", 0, "FILE", 0, 0, "log"}};
    const Parsed command = ReadArguments(longOnly, {"--quiet", "-x", "--quiet"}, commandLast);
    EXPECT_EQ(command.options.size(), 1u);
    EXPECT_EQ(command.operands, (std::vector<std::string>{"-x", "--quiet"}));
    // Where options and operands mix, it is an option even so, and unknown.
    const Parsed anywhere = ReadArguments(longOnly, {"-x"}, mixed);
    ASSERT_TRUE(anywhere.problem.has_value());
    EXPECT_EQ(Describe(*anywhere.problem, longOnly), "unknown option -x");
}

TEST(OptionTable, NamesEachMistakeAndKeepsWhatCameBefore)
{
    const Layout mixed{true, false};
    struct Case {
        std::vector<std::string> arguments;
        Layout layout;
        Mistake mistake;
        std::string written;
        std::string message;
    };
    const Case cases[] = {
        {{"-q", "--frob"}, mixed, Mistake::Unknown, "--frob", "unknown option --frob"},
        {{"-q", "--frob=1"}, mixed, Mistake::Unknown, "--frob", "unknown option --frob"},
        {{"-q", "-zq"}, mixed, Mistake::Unknown, "-zq", "unknown option -zq"},
        {{"-q", "--out=x"}, mixed, Mistake::Unknown, "--out", "unknown option --out"},
        {{"-q", "--si"}, Layout{true, true}, Mistake::Unknown, "--si", "unknown option --si"},
        {{"-q", "--size"}, mixed, Mistake::MissingValue, "--size", "--size needs a value"},
        {{"-q", "-s"}, mixed, Mistake::MissingValue, "-s", "--size needs a value"},
        {{"-q", "--quiet=yes"}, mixed, Mistake::UnwantedValue, "--quiet", "--quiet takes no value"},
        {{"-q", "--output="}, mixed, Mistake::EmptyValue, "--output", "--output needs a non-empty value"},
        {{"-q", "-o", ""}, mixed, Mistake::EmptyValue, "-o", "--output needs a non-empty value"},
        {{"-q", "--size", "0"},
         mixed,
         Mistake::BadNumber,
         "--size",
         "--size takes a decimal number from 1 to 4096, not '0'"},
        {{"-q", "-s4097"}, mixed, Mistake::BadNumber, "-s", "--size takes a decimal number from 1 to 4096, not '4097'"},
        {{"-q", "--size=+32"}, mixed, Mistake::BadNumber, "--size", "not '+32'"},
        {{"-q", "--size", "0x10"}, mixed, Mistake::BadNumber, "--size", "not '0x10'"},
        {{"-q", "--size", " 32"}, mixed, Mistake::BadNumber, "--size", "not ' 32'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        const Parsed parsed = ReadArguments(Specs, c.arguments, c.layout);
        ASSERT_TRUE(parsed.problem.has_value());
        EXPECT_EQ(parsed.problem->mistake, c.mistake);
        EXPECT_EQ(parsed.problem->written, c.written);
        const std::string message = Describe(*parsed.problem, Specs);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        ASSERT_EQ(parsed.options.size(), 1u);
        EXPECT_EQ(parsed.options[0].row, std::size_t{Quiet});
    }
}

TEST(OptionTable, NumbersAreWholeDecimalsWithinTheirRange)
{
    struct Case {
        const char *text;
        unsigned long low, high;
        bool read;
        unsigned long value;
    };
    const Case cases[] = {
        {"0", 0, 5, true, 0},
        {"5", 0, 5, true, 5},
        {"6", 0, 5, false, 0},
        {"007", 1, 9, true, 7},
        {"", 0, 5, false, 0},
        {"-1", 0, 5, false, 0},
        {"1e3", 0, 5000, false, 0},
        {"999999999", 0, 999999999, true, 999999999},
        {"1000000000", 0, ~0ul, false, 0},
        {"4 ", 0, 5, false, 0},
    };
    for (const Case &c : cases) {
        unsigned long value = 12345;
        EXPECT_EQ(ParseNumber(c.text, c.low, c.high, value), c.read) << c.text;
        EXPECT_EQ(value, c.read ? c.value : 12345ul) << c.text;
    }
}

TEST(OptionTable, HelpLinesComeFromTheTableInOneColumn)
{
    const std::vector<OptionSpec> specs = {
        {"quiet", 'q', nullptr, 0, 0, "print nothing"},
        {"log", 0, "FILE", 0, 0, "record events\nwith their times"},
        {"a-very-long-option", 0, "VALUE", 0, 0, "past the column"},
    };
    EXPECT_EQ(HelpLines(specs, 12), "  -q, --quiet print nothing\n"
                                    "  --log FILE  record events\n"
                                    "              with their times\n"
                                    "  --a-very-long-option VALUE past the column\n");
}

struct Settings {
    bool quiet = false;
    unsigned long size = 0;
    std::string output;
};

const Option<Settings> Table[] = {
    {{"quiet", 'q', nullptr, 0, 0, "print nothing"},
     [](Settings &s, const std::string &, unsigned long) { s.quiet = true; }},
    {{"size", 's', "N", 1, 4096, "bytes"}, [](Settings &s, const std::string &, unsigned long n) { s.size = n; }},
    {{"output", 'o', "FILE", 0, 0, "file"}, [](Settings &s, const std::string &v, unsigned long) { s.output = v; }},
};

TEST(OptionTable, EachRowSetsItsSettingInTheOrderGiven)
{
    Settings settings;
    const Parsed parsed =
        ApplyArguments(Table, {"-s", "8", "t", "--output=a", "-qs16", "--output", "b"}, Layout{true, false}, settings);
    EXPECT_FALSE(parsed.problem.has_value());
    EXPECT_TRUE(settings.quiet);
    EXPECT_EQ(settings.size, 16u);
    EXPECT_EQ(settings.output, "b");
    EXPECT_EQ(parsed.operands, std::vector<std::string>{"t"});

    // Up to the mistake, and no further.
    Settings stopped;
    const Parsed wrong = ApplyArguments(Table, {"-s", "8", "--size", "0", "-q"}, Layout{true, false}, stopped);
    ASSERT_TRUE(wrong.problem.has_value());
    EXPECT_EQ(stopped.size, 8u);
    EXPECT_FALSE(stopped.quiet);
}

} // namespace
} // namespace cli
