// tracetool: turns a trace written by comtrace into a verdict, the device's
// block data, a hex view, a comparison with another trace or JSON Lines.
#include <cstdio>
#include <string>
#include <vector>

#include "binary_streams.h"
#include "command_line.h"
#include "report.h"
#include "trace/reader.h"

namespace {

int Fail(int status, const std::string &message)
{
    (void)std::fprintf(stderr, "tracetool: %s\n", message.c_str()); // stderr is where it would be said
    return status;
}

// Writes all of text to stream; false when it could not.
bool WriteAll(std::FILE *stream, const std::string &text)
{
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

tracetool::Result Run(const tracetool::CommandLine &commandLine, const std::vector<trace::ParsedTrace> &traces)
{
    const tracetool::BlockOptions blockOptions{commandLine.size, commandLine.force};
    switch (commandLine.command) {
    case tracetool::Command::Check: {
        tracetool::Result result = tracetool::Check(traces[0], commandLine.size);
        if (commandLine.quiet) {
            result.output.clear();
        }
        return result;
    }
    case tracetool::Command::Blocks:
        return commandLine.list ? tracetool::ListBlocks(traces[0], blockOptions)
                                : tracetool::BlockData(traces[0], blockOptions);
    case tracetool::Command::Dump:
        return tracetool::Dump(traces[0], blockOptions);
    case tracetool::Command::Diff:
        return tracetool::Diff(traces[0], traces[1]);
    default:
        return tracetool::Json(traces[0]);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    tracetool::CommandLine commandLine;
    const std::string problem = tracetool::ParseCommandLine(argc, argv, commandLine);
    if (!problem.empty()) {
        return Fail(tracetool::ExitUsage, problem + " (tracetool --help shows the usage)");
    }
    if (commandLine.help || commandLine.version) {
        const std::string text =
            commandLine.help ? tracetool::UsageText() : std::string("tracetool ") + TRACETOOL_VERSION + "\n";
        return WriteAll(stdout, text) ? tracetool::ExitOk : tracetool::ExitUsage;
    }
    if (!tracetool::UseBinaryStandardStreams()) {
        return Fail(tracetool::ExitUsage, "cannot switch standard input and output to binary");
    }

    std::vector<trace::ParsedTrace> traces(commandLine.traces.size());
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const std::string loadProblem = trace::LoadTrace(commandLine.traces[i], traces[i], trace::Ending::MayBeCut);
        if (!loadProblem.empty()) {
            return Fail(tracetool::ExitNotATrace, loadProblem);
        }
    }
    const tracetool::Result result = Run(commandLine, traces);
    if (!result.messages.empty()) {
        (void)std::fputs(result.messages.c_str(), stderr); // nothing better to do if stderr fails
    }
    if (commandLine.outputPath.empty()) {
        if (!WriteAll(stdout, result.output)) {
            return Fail(tracetool::ExitUsage, "cannot write to standard output");
        }
        return result.status;
    }
    if (result.refused) {
        return result.status; // the file is left alone
    }
    std::FILE *file = std::fopen(commandLine.outputPath.c_str(), "wb");
    if (file == nullptr) {
        return Fail(tracetool::ExitUsage, "cannot create " + commandLine.outputPath);
    }
    const bool written = WriteAll(file, result.output);
    if (std::fclose(file) != 0 || !written) {
        return Fail(tracetool::ExitUsage, "cannot write " + commandLine.outputPath);
    }
    return result.status;
}
