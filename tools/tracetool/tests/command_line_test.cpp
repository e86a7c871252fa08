// tracetool's command line: what each accepted form sets, and the misuse
// refused with a reason.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_line.h"

namespace tracetool {
namespace {

std::string Parse(std::vector<std::string> arguments, CommandLine &commandLine)
{
    arguments.insert(arguments.begin(), "tracetool");
    std::vector<char *> argv(arguments.size() + 1, nullptr);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        argv[i] = arguments[i].data();
    }
    return ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), commandLine);
}

TEST(TracetoolCommandLine, ReadsEachCommandWithItsOptionsAnywhere)
{
    struct Case {
        std::vector<std::string> arguments;
        Command command;
        std::vector<std::string> traces;
        std::size_t size; // 0: none
        bool force, list, quiet;
        std::string output;
    };
    const Case cases[] = {
        {{"check", "a.trace"}, Command::Check, {"a.trace"}, 0, false, false, false, ""},
        {{"--quiet", "check", "-"}, Command::Check, {"-"}, 0, false, false, true, ""},
        {{"check", "-", "-q"}, Command::Check, {"-"}, 0, false, false, true, ""},
        {{"check", "--size", "32", "t"}, Command::Check, {"t"}, 32, false, false, false, ""},
        {{"blocks", "--size", "32", "--force", "t", "-o", "out.bin"},
         Command::Blocks,
         {"t"},
         32,
         true,
         false,
         false,
         "out.bin"},
        {{"blocks", "--size=4096", "--list", "t"}, Command::Blocks, {"t"}, 4096, false, true, false, ""},
        {{"dump", "-s1", "t"}, Command::Dump, {"t"}, 1, false, false, false, ""},
        {{"diff", "a", "-"}, Command::Diff, {"a", "-"}, 0, false, false, false, ""},
        {{"json", "--", "-q"}, Command::Json, {"-q"}, 0, false, false, false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        CommandLine commandLine;
        ASSERT_EQ(Parse(c.arguments, commandLine), "");
        EXPECT_EQ(commandLine.command, c.command);
        EXPECT_EQ(commandLine.traces, c.traces);
        EXPECT_EQ(commandLine.size.value_or(0), c.size);
        EXPECT_EQ(commandLine.force, c.force);
        EXPECT_EQ(commandLine.list, c.list);
        EXPECT_EQ(commandLine.quiet, c.quiet);
        EXPECT_EQ(commandLine.outputPath, c.output);
    }
}

TEST(TracetoolCommandLine, RefusesMisuseAndSaysWhy)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string problem;
    };
    const Case cases[] = {
        {{}, "no command given (check, blocks, dump, diff or json)"},
        {{"verify", "t"}, "unknown command verify"},
        {{"check"}, "check takes one trace, not 0"},
        {{"diff", "a"}, "diff takes two traces, not 1"},
        {{"diff", "-", "-"}, "standard input can be only one of the traces"},
        {{"json", "a", "b"}, "json takes one trace, not 2"},
        {{"check", "--frobnicate", "t"}, "unknown option --frobnicate"},
        {{"blocks", "t", "--size"}, "a value is needed after --size"},
        {{"blocks", "--size", "0", "t"}, "--size takes a number of bytes from 1 to 4096, not '0'"},
        {{"blocks", "--size", "4097", "t"}, "--size takes a number of bytes from 1 to 4096, not '4097'"},
        {{"blocks", "--size", "+32", "t"}, "--size takes a number of bytes from 1 to 4096, not '+32'"},
        {{"blocks", "--force", "t"}, "--force goes with --size"},
        {{"blocks", "--size", "32", "--list", "--force", "t"},
         "--list writes no block data: --force does not go with it"},
        {{"blocks", "--list", "-o", "x", "t"}, "--list prints to standard output: --output does not go with it"},
        {{"blocks", "--output=", "t"}, "--output needs a file name"},
        {{"dump", "--list", "t"}, "--list does not apply to dump"},
        {{"dump", "-o", "x", "t"}, "--output does not apply to dump"},
        {{"diff", "--size", "32", "a", "b"}, "--size does not apply to diff"},
        {{"blocks", "--quiet", "t"}, "--quiet does not apply to blocks"},
    };
    for (const Case &c : cases) {
        CommandLine commandLine;
        EXPECT_EQ(Parse(c.arguments, commandLine), c.problem);
    }
    // --help and --version stand alone, whatever else is given.
    CommandLine help;
    EXPECT_EQ(Parse({"check", "--help"}, help), "");
    EXPECT_TRUE(help.help);
    CommandLine version;
    EXPECT_EQ(Parse({"-V"}, version), "");
    EXPECT_TRUE(version.version);
}

} // namespace
} // namespace tracetool
