// Reads the devsim event logs and the processor times of one comtrace run and
// of the floor program run beside it, and reports how closely each kept its
// pacing (every timed gap between two bytes the device received against its
// nominal length, and the span from the first byte to the end request against
// its nominal length) and what it cost, with comtrace's figures as ratios
// to the floor's and the targets those ratios are held to.
//
// usage: pacing_report PROGRAM_LOG PROGRAM_CPU FLOOR_LOG FLOOR_CPU
// (a CPU file is cpu_time's "user_us system_us peak_rss_kib")
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devsim/event_log.h"
#include "trace/dialogue.h"

namespace {

constexpr double NominalSpanMs = static_cast<double>(trace::FirstByteToEndRequestMs);
// comtrace may cost at most this many times the floor, in processor time and
// in the pacing errors the floor shows the machine itself to have.
constexpr double FloorRatioLimit = 1.2;
constexpr long PeakRssLimitKib = 2048;

// The nominal gap before each received byte but the first.
std::vector<double> NominalGaps()
{
    const std::vector<std::uint64_t> gapsMs = trace::NominalByteGapsMs();
    return {gapsMs.begin(), gapsMs.end()};
}

// The value at the given fraction (0 to 1) of the way through the sorted
// values, taking the nearest rank: 0.5 of five values is the third.
// Precondition: values is not empty.
double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const long last = static_cast<long>(values.size()) - 1;
    const long index = std::clamp(std::lround(fraction * static_cast<double>(last)), 0L, last);
    return values[static_cast<std::size_t>(index)];
}

// What one run cost and how it kept its pacing.
struct Run {
    double cpuMs = 0;
    double userMs = 0;
    double systemMs = 0;
    long peakRssKib = 0;
    double minErrorMs = 0;
    double medianErrorMs = 0;
    double p99ErrorMs = 0;
    double maxErrorMs = 0;
    double spanMs = 0;
};

// Reads one run's device log and CPU file; nothing, with the reason on
// standard error, when either cannot be read or the device did not receive
// the whole dialogue.
std::optional<Run> ReadRun(const char *logPath, const char *cpuPath)
{
    std::ifstream file(logPath, std::ios::binary);
    std::ifstream cpu(cpuPath);
    Run run;
    long long userUs = -1;
    long long systemUs = -1;
    if (!file || !(cpu >> userUs >> systemUs >> run.peakRssKib)) {
        (void)std::fprintf(stderr, "pacing_report: cannot read %s or %s\n", logPath, cpuPath);
        return std::nullopt;
    }
    run.userMs = static_cast<double>(userUs) / 1000.0;
    run.systemMs = static_cast<double>(systemUs) / 1000.0;
    run.cpuMs = run.userMs + run.systemMs;
    std::ostringstream text;
    text << file.rdbuf();
    const devsim::ReadLog log = devsim::ReadEventLog(text.str());
    if (!log.error.empty()) {
        (void)std::fprintf(stderr, "pacing_report: %s: %s\n", logPath, log.error.c_str());
        return std::nullopt;
    }
    const std::vector<devsim::LoggedByte> received = devsim::BytesOf(log.events, "rx");
    std::vector<long long> times(received.size());
    std::transform(received.begin(), received.end(), times.begin(),
                   [](const devsim::LoggedByte &byte) { return static_cast<long long>(byte.us); });
    const std::vector<double> nominal = NominalGaps();
    if (times.size() != nominal.size() + 1) {
        (void)std::fprintf(stderr, "pacing_report: %s: %zu bytes received, a full dialogue has %zu\n", logPath,
                           times.size(), nominal.size() + 1);
        return std::nullopt;
    }
    std::vector<double> errors;
    for (std::size_t i = 0; i < nominal.size(); ++i) {
        if (nominal[i] > 0) {
            errors.push_back(static_cast<double>(times[i + 1] - times[i]) / 1000.0 - nominal[i]);
        }
    }
    run.minErrorMs = *std::min_element(errors.begin(), errors.end());
    run.medianErrorMs = Percentile(errors, 0.5);
    run.p99ErrorMs = Percentile(errors, 0.99);
    run.maxErrorMs = *std::max_element(errors.begin(), errors.end());
    run.spanMs = static_cast<double>(times.back() - times.front()) / 1000.0;
    return run;
}

// One figure of both runs, with comtrace's as a ratio to the floor's where
// that means something (the floor's is above zero).
void PrintRow(const char *name, double program, double floor)
{
    std::printf("%-34s %12.3f %12.3f", name, program, floor);
    if (floor > 0) {
        std::printf(" %8.2f\n", program / floor);
    } else {
        std::printf(" %8s\n", "-");
    }
}

const char *Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        (void)std::fprintf(stderr, "usage: pacing_report PROGRAM_LOG PROGRAM_CPU FLOOR_LOG FLOOR_CPU\n");
        return 2;
    }
    const std::optional<Run> program = ReadRun(argv[1], argv[2]);
    const std::optional<Run> floor = ReadRun(argv[3], argv[4]);
    if (!program || !floor) {
        return 1;
    }
    const double programOverheadMs = program->spanMs - NominalSpanMs;
    const double floorOverheadMs = floor->spanMs - NominalSpanMs;
    std::printf("%-34s %12s %12s %8s\n", "", "comtrace", "floor", "ratio");
    PrintRow("CPU time (ms)", program->cpuMs, floor->cpuMs);
    PrintRow("  user (ms)", program->userMs, floor->userMs);
    PrintRow("  system (ms)", program->systemMs, floor->systemMs);
    PrintRow("peak RSS (KiB)", static_cast<double>(program->peakRssKib), static_cast<double>(floor->peakRssKib));
    PrintRow("timed gap error, min (ms)", program->minErrorMs, floor->minErrorMs);
    PrintRow("timed gap error, median (ms)", program->medianErrorMs, floor->medianErrorMs);
    PrintRow("timed gap error, p99 (ms)", program->p99ErrorMs, floor->p99ErrorMs);
    PrintRow("timed gap error, max (ms)", program->maxErrorMs, floor->maxErrorMs);
    PrintRow("span, first byte to end (ms)", program->spanMs, floor->spanMs);
    PrintRow("span overhead (ms)", programOverheadMs, floorOverheadMs);
    std::printf("span overhead: comtrace %.4f%%, floor %.4f%%\n", programOverheadMs / NominalSpanMs * 100.0,
                floorOverheadMs / NominalSpanMs * 100.0);
    // The floor does nothing but the dialogue's writes and waits: what it
    // shows is the machine's own cost, which the program can only add to.
    const bool cpuOk = program->cpuMs <= FloorRatioLimit * floor->cpuMs;
    const bool p99Ok = program->p99ErrorMs <= FloorRatioLimit * std::max(floor->p99ErrorMs, 0.0);
    const bool spanOk = programOverheadMs >= 0 && programOverheadMs <= FloorRatioLimit * std::max(floorOverheadMs, 0.0);
    const bool rssOk = program->peakRssKib <= PeakRssLimitKib;
    std::printf("targets: CPU <= %.1f x floor: %s; p99 gap error <= %.1f x floor: %s; span overhead <= %.1f x floor: "
                "%s; peak RSS <= %ld KiB: %s\n",
                FloorRatioLimit, Verdict(cpuOk), FloorRatioLimit, Verdict(p99Ok), FloorRatioLimit, Verdict(spanOk),
                PeakRssLimitKib, Verdict(rssOk));
    return 0;
}
