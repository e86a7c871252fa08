// The pacing benchmark's tools, run as processes: the report over logs
// written as devsim writes them, cpu_time over commands that spin, fail or
// are killed, and the floor given files that are no pty.
#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "devsim/event_log.h"
#include "process.h"
#include "scratch.h"
#include "text_files.h"
#include "trace/dialogue.h"

namespace {

constexpr long RunLimitMs = 30000;

void Spit(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Writes the log of a device that received the dialogue's bytes with every
// gap errorUs(n) longer than its nominal length (the nth gap), leaving out
// the last `missing` bytes.
std::string WriteLog(const std::string &name, const std::function<std::int64_t(std::size_t)> &errorUs,
                     std::size_t missing = 0)
{
    devsim::EventLog log(true);
    std::vector<std::uint8_t> bytes;
    for (const trace::ScheduledWrite &write : trace::Schedule()) {
        bytes.insert(bytes.end(), write.bytes.begin(), write.bytes.end());
    }
    const std::vector<std::uint64_t> gapsMs = trace::NominalByteGapsMs();
    std::int64_t atUs = 5000000;
    for (std::size_t i = 0; i + missing < bytes.size(); ++i) {
        if (i > 0) {
            atUs += static_cast<std::int64_t>(gapsMs[i - 1]) * 1000 + (gapsMs[i - 1] > 0 ? errorUs(i - 1) : 0);
        }
        log.RecordByte(atUs, "rx", bytes[i]);
    }
    std::string path = support::TempPath("log", name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(log.WriteTo(fd), "");
    close(fd);
    return path;
}

// The figures of the report's row that starts with name: comtrace's, the
// floor's and the ratio, as printed.
std::string RowOf(const std::string &report, const std::string &name)
{
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size(), name) == 0) {
            std::istringstream fields(line.substr(name.size()));
            std::string figures;
            for (std::string field; fields >> field;) {
                figures += (figures.empty() ? "" : " ") + field;
            }
            return figures;
        }
    }
    return "(no row)";
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunTool(const std::vector<std::string> &command)
{
    const std::string out = support::TempPath("out", "bench");
    const std::string err = support::TempPath("err", "bench");
    const support::ProcessOutcome outcome = support::RunProcess(command, {"/dev/null", out, err}, {RunLimitMs});
    Outcome result{outcome.status, support::Slurp(out), support::Slurp(err)};
    (void)std::remove(out.c_str());
    (void)std::remove(err.c_str());
    return result;
}

} // namespace

TEST(PacingReport, GivesComtracesFiguresAsRatiosToTheFloorsAndJudgesThem)
{
    const auto steady = [](std::int64_t us) { return [us](std::size_t) { return us; }; };
    // 3 ms late on one timed gap in fifty: more than the slowest 1%.
    const auto spiky = [](std::size_t gap) -> std::int64_t { return gap % 50 == 7 ? 3000 : 200; };
    const struct {
        const char *name;
        std::function<std::int64_t(std::size_t)> programErrorUs;
        const char *programCpu; // user_us system_us peak_rss_kib
        const char *floorCpu;
        const char *row; // the name of a row of the report
        const char *figures;
        const char *targets; // the report's verdicts
    } cases[] = {
        {"as late as the floor at 1.1 times its processor time", steady(200), "20000 24000 1500", "10000 30000 1400",
         "CPU time (ms)", "44.000 40.000 1.10",
         "CPU <= 1.2 x floor: met; p99 gap error <= 1.2 x floor: met; span overhead <= 1.2 x floor: met; peak RSS "
         "<= 2048 KiB: met"},
        {"1.3 times the floor's processor time and more memory", steady(200), "30000 22000 2100", "10000 30000 1400",
         "CPU time (ms)", "52.000 40.000 1.30",
         "CPU <= 1.2 x floor: MISSED; p99 gap error <= 1.2 x floor: met; span overhead <= 1.2 x floor: met; peak "
         "RSS <= 2048 KiB: MISSED"},
        {"late 3 ms on one gap in fifty", spiky, "20000 20000 1500", "10000 30000 1400", "timed gap error, p99 (ms)",
         "3.000 0.200 15.00",
         "CPU <= 1.2 x floor: met; p99 gap error <= 1.2 x floor: MISSED; span overhead <= 1.2 x floor: MISSED; "
         "peak RSS <= 2048 KiB: met"},
        {"a quarter later on every gap", steady(250), "20000 20000 1500", "10000 30000 1400", "span overhead (ms)",
         "131.000 104.800 1.25",
         "CPU <= 1.2 x floor: met; p99 gap error <= 1.2 x floor: MISSED; span overhead <= 1.2 x floor: MISSED; "
         "peak RSS <= 2048 KiB: met"},
    };
    const std::string floorLog = WriteLog("floor", steady(200));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string programLog = WriteLog("program", c.programErrorUs);
        const std::string programCpu = support::TempPath("cpu", "program");
        const std::string floorCpu = support::TempPath("cpu", "floor");
        Spit(programCpu, c.programCpu);
        Spit(floorCpu, c.floorCpu);
        const Outcome report = RunTool({PACING_REPORT_PATH, programLog, programCpu, floorLog, floorCpu});
        EXPECT_EQ(report.status, 0) << report.err;
        EXPECT_EQ(RowOf(report.out, c.row), c.figures) << report.out;
        EXPECT_EQ(RowOf(report.out, "targets: "), c.targets) << report.out;
    }
    // A device that missed the end request's byte gives no figures at all.
    const Outcome cut = RunTool({PACING_REPORT_PATH, WriteLog("cut", steady(200), 1),
                                 support::TempPath("cpu", "program"), floorLog, support::TempPath("cpu", "floor")});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("525 bytes received, a full dialogue has 526"), std::string::npos) << cut.err;
}

TEST(CpuTime, RecordsTheCommandsProcessorTimeAndPassesOnItsStatus)
{
    const struct {
        const char *name;
        std::vector<std::string> command;
        int status;
        long long leastCpuUs;
    } cases[] = {
        {"a command that spins", {"sh", "-c", "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done"}, 0, 20000},
        {"a command that fails", {"sh", "-c", "exit 3"}, 3, 0},
        {"a command that is killed", {"sh", "-c", "kill -TERM $$"}, 128 + 15, 0},
        {"no such command", {"/nonexistent/command"}, 127, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string figures = support::TempPath("cpu", "cpu_time");
        std::vector<std::string> command{CPU_TIME_PATH, figures};
        command.insert(command.end(), c.command.begin(), c.command.end());
        EXPECT_EQ(RunTool(command).status, c.status);
        std::istringstream fields(support::Slurp(figures));
        long long userUs = -1;
        long long systemUs = -1;
        long rssKib = -1;
        ASSERT_TRUE(fields >> userUs >> systemUs >> rssKib) << support::Slurp(figures);
        EXPECT_GE(userUs + systemUs, c.leastCpuUs);
        EXPECT_GT(rssKib, 0);
        (void)std::remove(figures.c_str());
    }
}

// The floor writes the dialogue to whatever it opens: it must open nothing
// but a pty, so that it never sends the dialogue down a real line.
TEST(PacingFloor, RefusesAnythingButAPtyAndWritesNothingToIt)
{
    const std::string file = support::TempPath("floor", "regular");
    Spit(file, "untouched");
    for (const std::string &path : {file, std::string("/dev/null"), std::string("/nonexistent/ttyS0")}) {
        SCOPED_TRACE(path);
        const Outcome floor = RunTool({PACING_FLOOR_PATH, path});
        EXPECT_EQ(floor.status, 2);
        EXPECT_NE(floor.err.find("is no pty"), std::string::npos) << floor.err;
    }
    EXPECT_EQ(support::Slurp(file), "untouched");
    (void)std::remove(file.c_str());
}
