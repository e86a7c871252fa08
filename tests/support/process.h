// Starting the processes a test runs: a command or a pipeline of them,
// each given as its argument vector (no shell in between), with standard
// streams redirected to files and a time limit.
#ifndef COMTRACE_TESTS_SUPPORT_PROCESS_H
#define COMTRACE_TESTS_SUPPORT_PROCESS_H

#include <string>
#include <vector>

namespace support {

// Where the standard streams go. An empty path leaves the stream as the
// test's own. out and err are created or truncated; the same path for
// both puts both in one file.
struct Redirections {
    std::string in = "/dev/null"; // into the first command
    std::string out;              // from the last command
    std::string err;              // from every command
};

struct Timing {
    long limitMs = 0;     // every command still running then is killed
    long termAfterMs = 0; // > 0: SIGTERM to the first command this long after the start
};

struct ProcessOutcome {
    // As bash reports it with pipefail: the status of the last command
    // that failed, else 0; a command's status is its exit code, or 128 + N
    // when signal N ended it. -1 when the commands could not be started.
    int status = -1;
    bool timedOut = false; // the limit was reached and the commands were killed
    double seconds = 0;    // from the start until the last command ended
    std::string failure;   // why the commands could not be started
};

// Runs the commands side by side, each one's standard output feeding the
// next one's input, and waits for all of them. A command is looked up on
// PATH unless its name holds a "/"; one that cannot be executed exits 127.
ProcessOutcome RunPipeline(const std::vector<std::vector<std::string>> &commands, const Redirections &redirections,
                           const Timing &timing);

// RunPipeline with one command.
ProcessOutcome RunProcess(const std::vector<std::string> &command, const Redirections &redirections,
                          const Timing &timing);

} // namespace support

#endif
