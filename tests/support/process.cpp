#include "process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scratch.h"

namespace support {

namespace {

// How often the wait looks at the commands and the clock.
constexpr long PollMs = 5;

// Descriptors the parent opened for the commands, closed when it is done.
class Descriptors {
public:
    Descriptors() = default;
    Descriptors(const Descriptors &) = delete;
    Descriptors &operator=(const Descriptors &) = delete;
    ~Descriptors() { CloseAll(); }
    void CloseAll()
    {
        for (int fd : fds_) {
            (void)close(fd); // nothing was written through them here
        }
        fds_.clear();
    }
    int Keep(int fd)
    {
        if (fd >= 0) {
            fds_.push_back(fd);
        }
        return fd;
    }

private:
    std::vector<int> fds_;
};

// Opens path for the commands (close-on-exec, so that only the dup2 copies
// reach them); -1 with problem set when it cannot.
int OpenFor(const std::string &path, int flags, Descriptors &open, std::string &problem)
{
    const int fd = open.Keep(::open(path.c_str(), flags | O_CLOEXEC, 0600));
    if (fd < 0 && problem.empty()) {
        problem = "cannot open " + path + ": " + std::strerror(errno);
    }
    return fd;
}

// In the forked child: puts the streams in place and executes command.
[[noreturn]] void Execute(const std::vector<std::string> &command, int in, int out, int err)
{
    const int streams[3][2] = {{in, STDIN_FILENO}, {out, STDOUT_FILENO}, {err, STDERR_FILENO}};
    for (const auto &[from, to] : streams) {
        if (from >= 0 && dup2(from, to) < 0) {
            _exit(126);
        }
    }
    // execvp's argument list, ending in a null pointer.
    std::vector<char *> argv(command.size() + 1, nullptr);
    std::transform(command.begin(), command.end(), argv.begin(),
                   [](const std::string &argument) { return const_cast<char *>(argument.c_str()); });
    execvp(argv[0], argv.data());
    _exit(127);
}

int ShellStatus(int waitStatus)
{
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
}

// Forks a process per command, each one's output piped into the next;
// stops at the first failure, saying what failed. Returns the pids of the
// commands started. Closes every descriptor in open.
std::vector<pid_t> StartCommands(const std::vector<std::vector<std::string>> &commands, int in, int out, int err,
                                 Descriptors &open, std::string &failure)
{
    std::vector<pid_t> pids;
    int previous = in; // what the next command reads
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const bool last = i + 1 == commands.size();
        int pipeFds[2] = {-1, -1};
        if (!last && pipe2(pipeFds, O_CLOEXEC) != 0) {
            failure = std::string("cannot create a pipe: ") + std::strerror(errno);
            break;
        }
        open.Keep(pipeFds[0]);
        open.Keep(pipeFds[1]);
        const pid_t pid = fork();
        if (pid < 0) {
            failure = std::string("cannot fork: ") + std::strerror(errno);
            break;
        }
        if (pid == 0) {
            Execute(commands[i], previous, last ? out : pipeFds[1], err);
        }
        pids.push_back(pid);
        previous = pipeFds[0];
    }
    // Only the commands may hold the pipes now, or a reader would never
    // see the end of its input.
    open.CloseAll();
    return pids;
}

// Reaps the commands that have ended, noting their statuses; returns how
// many are still running.
std::size_t ReapEnded(const std::vector<pid_t> &pids, std::vector<int> &statuses, std::vector<bool> &done)
{
    std::size_t running = 0;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        int status = 0;
        const pid_t reaped = done[i] ? 0 : waitpid(pids[i], &status, WNOHANG);
        if (reaped == pids[i]) {
            statuses[i] = ShellStatus(status);
            done[i] = true;
        } else if (reaped < 0 && errno != EINTR) {
            done[i] = true; // not ours to wait for any more; its status stays -1
        }
        running += done[i] ? 0 : 1;
    }
    return running;
}

// Kills the commands still running and reaps them.
void KillRunning(const std::vector<pid_t> &pids, std::vector<int> &statuses, const std::vector<bool> &done)
{
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (done[i]) {
            continue;
        }
        (void)kill(pids[i], SIGKILL); // it may have ended just now; the wait tells
        int status = 0;
        while (waitpid(pids[i], &status, 0) < 0 && errno == EINTR) {
        }
        statuses[i] = ShellStatus(status);
    }
}

// Waits for every pid, sending SIGTERM and SIGKILL as timing says; returns
// each one's status as a shell reports it (-1 when it cannot be told).
std::vector<int> WaitForCommands(const std::vector<pid_t> &pids, const Timing &timing, long long start, bool &timedOut)
{
    std::vector<int> statuses(pids.size(), -1);
    std::vector<bool> done(pids.size(), false);
    bool termSent = false;
    while (ReapEnded(pids, statuses, done) > 0) {
        const long long elapsed = NowMs() - start;
        if (timing.termAfterMs > 0 && !termSent && elapsed >= timing.termAfterMs) {
            (void)kill(pids.front(), SIGTERM); // as above
            termSent = true;
        }
        if (elapsed > timing.limitMs) {
            timedOut = true;
            KillRunning(pids, statuses, done);
            break;
        }
        SleepMs(PollMs);
    }
    return statuses;
}

} // namespace

ProcessOutcome RunPipeline(const std::vector<std::vector<std::string>> &commands, const Redirections &redirections,
                           const Timing &timing)
{
    ProcessOutcome outcome;
    if (commands.empty() || std::any_of(commands.begin(), commands.end(),
                                        [](const std::vector<std::string> &command) { return command.empty(); })) {
        outcome.failure = "no command to run";
        return outcome;
    }
    Descriptors open;
    const int in = redirections.in.empty() ? -1 : OpenFor(redirections.in, O_RDONLY, open, outcome.failure);
    const int outFlags = O_WRONLY | O_CREAT | O_TRUNC;
    const int out = redirections.out.empty() ? -1 : OpenFor(redirections.out, outFlags, open, outcome.failure);
    const int err = redirections.err.empty()               ? -1
                    : redirections.err == redirections.out ? out
                                                           : OpenFor(redirections.err, outFlags, open, outcome.failure);
    if (!outcome.failure.empty()) {
        return outcome;
    }

    const long long start = NowMs();
    const std::vector<pid_t> pids = StartCommands(commands, in, out, err, open, outcome.failure);
    const std::vector<int> statuses = WaitForCommands(pids, timing, start, outcome.timedOut);
    outcome.seconds = static_cast<double>(NowMs() - start) / 1000.0;
    // A pipeline cut short has no status of its own.
    if (outcome.failure.empty()) {
        outcome.status = 0;
        for (int status : statuses) {
            if (status != 0) {
                outcome.status = status;
            }
        }
    }
    return outcome;
}

ProcessOutcome RunProcess(const std::vector<std::string> &command, const Redirections &redirections,
                          const Timing &timing)
{
    return RunPipeline({command}, redirections, timing);
}

} // namespace support
