// The trace benchmark: builds the largest trace the program can print (every
// collection a full receive buffer, the longest bring-up), in LF, CR LF and
// UTF-16LE, and reports for each how long the trace library takes to parse
// it and the peak memory of a process that loads and parses it, beside that
// of one that loads nothing.
//
// usage: trace_bench [REPEATS]       (default 20)
//        trace_bench load FILE       (what each measured process runs)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "trace/reader.h"
#include "trace/writer.h"

namespace {

std::string LargestTrace()
{
    std::vector<trace::Bytes> collections(trace::CollectionCount, trace::Bytes(trace::ReceiveBufferSize));
    for (std::size_t i = 0; i < collections.size(); ++i) {
        for (std::size_t at = 0; at < trace::ReceiveBufferSize; ++at) {
            // Printable bytes, so the two texts are as long as they get.
            collections[i][at] = static_cast<std::uint8_t>(0x20 + (i + at) % 0x60);
        }
    }
    collections[0][0] = trace::Ack;
    // The longest bring-up: the clear-break step fails with the code whose
    // line is longest.
    std::string bringUp = trace::BringUpText(true);
    const std::string clearBreak = trace::BringUpSteps[trace::ClearBreakStep].success;
    bringUp.replace(bringUp.find(clearBreak), clearBreak.size(),
                    std::string(trace::BringUpSteps[trace::ClearBreakStep].failure) + "\n" + trace::ErrorCodePrefix +
                        "29 " + trace::ErrorCodeText(29));
    return bringUp + trace::DialogueText(collections) + trace::ReleaseText(true);
}

// This process's peak resident memory in KiB. Unlike getrusage's, the
// figure starts afresh at exec.
long PeakKib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 7, "VmHWM:\t") == 0) {
            return std::strtol(line.c_str() + 7, nullptr, 10);
        }
    }
    return -1;
}

int Load(const char *path)
{
    if (*path != '\0') {
        trace::ParsedTrace parsed;
        const std::string problem = trace::LoadTrace(path, parsed);
        if (!problem.empty()) {
            (void)std::fprintf(stderr, "trace_bench: %s\n", problem.c_str()); // stderr is where it would be said
            return 1;
        }
    }
    return std::printf("%ld\n", PeakKib()) < 0 ? 1 : 0;
}

// The peak memory of this program loading path ("": nothing), in KiB.
long PeakOfLoading(const std::string &path)
{
    int channel[2];
    if (pipe(channel) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        (void)dup2(channel[1], STDOUT_FILENO);
        (void)execl("/proc/self/exe", "trace_bench", "load", path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    (void)close(channel[1]);
    char answer[32] = {};
    const ssize_t got = read(channel[0], answer, sizeof answer - 1);
    (void)close(channel[0]);
    int status = 0;
    (void)waitpid(child, &status, 0);
    return got > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::strtol(answer, nullptr, 10) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "load") {
        return Load(argv[2]);
    }
    const long repeats = argc > 1 ? std::max(1L, std::strtol(argv[1], nullptr, 10)) : 20L;
    const std::string largest = LargestTrace();
    const struct {
        const char *name;
        std::string text;
    } forms[] = {
        {"LF", largest},
        {"CR LF", trace::Encoded(largest, trace::LineEnd::CrLf, false)},
        {"UTF-16LE, CR LF", trace::Encoded(largest, trace::LineEnd::CrLf, true)},
    };
    const std::string path = "/tmp/trace_bench." + std::to_string(getpid());
    (void)std::printf("peak memory of a process that loads no trace: %ld KiB\n", PeakOfLoading(""));
    for (const auto &form : forms) {
        double fastest = 1e9;
        for (long i = 0; i < repeats; ++i) {
            trace::ParsedTrace parsed;
            const auto start = std::chrono::steady_clock::now();
            const std::string problem = trace::ParseTrace(form.text, parsed);
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            const std::size_t read = std::accumulate(
                parsed.collections.begin(), parsed.collections.end(), std::size_t{0},
                [](std::size_t sum, const trace::Bytes &collection) { return sum + collection.size(); });
            if (!problem.empty() || read != trace::CollectionCount * trace::ReceiveBufferSize) {
                (void)std::fprintf(stderr, "trace_bench: the %s trace is misread: %s\n", form.name, problem.c_str());
                return 1;
            }
            fastest = std::min(fastest, took.count());
        }
        std::ofstream(path, std::ios::binary) << form.text;
        (void)std::printf("%-16s %8zu bytes: parsed in %6.2f ms (fastest of %ld); peak memory loading it: %ld KiB\n",
                          form.name, form.text.size(), fastest, repeats, PeakOfLoading(path));
    }
    (void)std::remove(path.c_str());
    return 0;
}
