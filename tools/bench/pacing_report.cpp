// Reads a devsim event log of one comtrace run and reports how closely the
// program kept its pacing: every gap between two bytes the device received
// against its nominal length, and the span from the first byte to the end
// request against its nominal length.
//
// usage: pacing_report LOG
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devsim/event_log.h"
#include "trace/dialogue.h"

namespace {

constexpr double NominalSpanMs = static_cast<double>(trace::FirstByteToEndRequestMs);

// The nominal gap before each received byte but the first.
std::vector<double> NominalGaps()
{
    const std::vector<std::uint64_t> gapsMs = trace::NominalByteGapsMs();
    std::vector<double> gaps(gapsMs.size());
    std::transform(gapsMs.begin(), gapsMs.end(), gaps.begin(),
                   [](std::uint64_t gapMs) { return static_cast<double>(gapMs); });
    return gaps;
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: pacing_report LOG\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        (void)std::fprintf(stderr, "pacing_report: cannot read %s\n", argv[1]);
        return 2;
    }
    std::ostringstream text;
    text << file.rdbuf();
    const devsim::ReadLog log = devsim::ReadEventLog(text.str());
    if (!log.error.empty()) {
        (void)std::fprintf(stderr, "pacing_report: %s: %s\n", argv[1], log.error.c_str());
        return 2;
    }
    const std::vector<devsim::LoggedByte> received = devsim::BytesOf(log.events, "rx");
    std::vector<long long> times(received.size());
    std::transform(received.begin(), received.end(), times.begin(),
                   [](const devsim::LoggedByte &byte) { return static_cast<long long>(byte.us); });
    const std::vector<double> nominal = NominalGaps();
    if (times.size() != nominal.size() + 1) {
        (void)std::fprintf(stderr, "pacing_report: %zu bytes received, a full dialogue has %zu\n", times.size(),
                           nominal.size() + 1);
        return 1;
    }
    std::vector<double> errors;
    std::vector<double> pacedErrors;
    for (std::size_t i = 0; i < nominal.size(); ++i) {
        const double gapMs = static_cast<double>(times[i + 1] - times[i]) / 1000.0;
        errors.push_back(gapMs - nominal[i]);
        if (nominal[i] > 0) {
            pacedErrors.push_back(gapMs - nominal[i]);
        }
    }
    const double spanMs = static_cast<double>(times.back() - times.front()) / 1000.0;
    std::printf("bytes received:          %zu\n", times.size());
    std::printf("gap error, all %zu gaps (ms): min %.3f  median %.3f  p99 %.3f  max %.3f\n", errors.size(),
                *std::min_element(errors.begin(), errors.end()), Percentile(errors, 0.5), Percentile(errors, 0.99),
                *std::max_element(errors.begin(), errors.end()));
    std::printf("gap error, %zu timed gaps (ms): min %.3f  median %.3f  p99 %.3f  max %.3f\n", pacedErrors.size(),
                *std::min_element(pacedErrors.begin(), pacedErrors.end()), Percentile(pacedErrors, 0.5),
                Percentile(pacedErrors, 0.99), *std::max_element(pacedErrors.begin(), pacedErrors.end()));
    std::printf("span first byte to end request: %.3f ms (nominal %.0f, overhead %.4f%%)\n", spanMs, NominalSpanMs,
                (spanMs - NominalSpanMs) / NominalSpanMs * 100.0);
    const bool gapsOk =
        *std::min_element(pacedErrors.begin(), pacedErrors.end()) >= 0.0 && Percentile(pacedErrors, 0.99) <= 1.0;
    const bool spanOk = spanMs >= NominalSpanMs && (spanMs - NominalSpanMs) / NominalSpanMs <= 0.001;
    std::printf("targets: no gap short, p99 error <= 1 ms: %s; span overhead <= 0.1%%: %s\n", gapsOk ? "met" : "MISSED",
                spanOk ? "met" : "MISSED");
    return 0;
}
