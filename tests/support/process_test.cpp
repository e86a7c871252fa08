// process.h, which the end-to-end, realport and devsim tests start their
// runs with: what reaches each command, the status a pipeline reports,
// and the time limit and SIGTERM.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "scratch.h"
#include "text_files.h"

namespace support {
namespace {

using Command = std::vector<std::string>;

TEST(RunPipeline, StreamsAndStatusesReachWhereTheyShould)
{
    const std::string input = TempPath("process", "in");
    const std::string out = TempPath("process", "out");
    const std::string err = TempPath("process", "err");
    std::ofstream(input) << "hello\n";
    struct Case {
        const char *name;
        std::vector<Command> commands;
        Redirections redirections;
        int status;
        const char *out; // what the out file holds afterwards
        const char *err;
    };
    const Case cases[] = {
        {"separate files", {{"sh", "-c", "echo o; echo e >&2; exit 3"}}, {"/dev/null", out, err}, 3, "o\n", "e\n"},
        {"one file for both", {{"sh", "-c", "echo o; echo e >&2"}}, {"/dev/null", out, out}, 0, "o\ne\n", ""},
        {"input from a file", {{"sh", "-c", "read line; echo \"[$line]\""}}, {input, out, err}, 0, "[hello]\n", ""},
        {"output through a filter",
         {{"printf", "a\\nb\\nc\\n"}, {"head", "-2"}},
         {"/dev/null", out, err},
         0,
         "a\nb\n",
         ""},
        {"first command fails", {{"sh", "-c", "exit 5"}, {"cat"}}, {"/dev/null", out, err}, 5, "", ""},
        {"last failure counts",
         {{"sh", "-c", "exit 5"}, {"sh", "-c", "cat; exit 4"}},
         {"/dev/null", out, err},
         4,
         "",
         ""},
        {"killed by a signal", {{"sh", "-c", "kill -9 $$"}}, {"/dev/null", out, err}, 128 + SIGKILL, "", ""},
        {"not found", {{"/nonexistent/program"}}, {"/dev/null", out, err}, 127, "", ""},
    };
    for (const Case &c : cases) {
        (void)std::remove(err.c_str()); // a case that writes none must not see an earlier one's
        const ProcessOutcome run = RunPipeline(c.commands, c.redirections, {10000});
        EXPECT_EQ(run.failure, "") << c.name;
        EXPECT_FALSE(run.timedOut) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(Slurp(out), c.out) << c.name;
        EXPECT_EQ(Slurp(err), c.err) << c.name;
    }
    for (const std::string &path : {input, out, err}) {
        (void)std::remove(path.c_str()); // a file left behind harms no test
    }
}

TEST(RunPipeline, TimeLimitAndTerminationEndACommandEarly)
{
    struct Case {
        const char *name;
        Timing timing;
        bool timedOut;
        int status;
    };
    const Case cases[] = {
        {"time limit", {200, 0}, true, 128 + SIGKILL},
        {"SIGTERM", {10000, 100}, false, 128 + SIGTERM},
    };
    for (const Case &c : cases) {
        const ProcessOutcome run = RunProcess({"sleep", "30"}, {}, c.timing);
        EXPECT_EQ(run.timedOut, c.timedOut) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_LT(run.seconds, 5.0) << c.name;
    }
}

TEST(RunPipeline, UnopenableRedirectionStartsNothing)
{
    const std::string marker = TempPath("process", "marker");
    const ProcessOutcome run = RunProcess({"touch", marker}, {"/nonexistent/in", "", ""}, {10000});
    EXPECT_EQ(run.status, -1);
    EXPECT_NE(run.failure.find("cannot open /nonexistent/in"), std::string::npos) << run.failure;
    EXPECT_NE(std::remove(marker.c_str()), 0) << "the command ran";
}

} // namespace
} // namespace support
