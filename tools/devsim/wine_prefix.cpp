#include "wine_prefix.h"

#include "monotonic_clock.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace devsim {

namespace {

constexpr std::size_t OutputMax = 16384;

// How long the wineserver that devsim starts for the command outlives its
// last program: the command must join that session, whose port links are
// known to be in place, and cannot start a new one of its own.
constexpr int SessionHoldSeconds = 60;

// How long the session may take to build its port links. Wine's service
// manager lets a new session's programs run once the device manager has
// reported that it is starting, so on a loaded machine the links can come
// after a program's first instructions.
constexpr long PortLinkWaitMs = 240000;
constexpr long PortLinkPollMs = 20;

struct ProgramResult {
    int status = -1;    // wait status, -1 when it could not be started
    std::string output; // stdout and stderr together, at most OutputMax bytes
};

// Runs argv to completion with stdin from /dev/null and its output
// captured, so Wine's chatter stays out of the command's output streams.
// extraEnv entries (NAME=VALUE) are added for that program only. A program
// that leaves a process behind, such as a wineserver or the services of a
// session, must run with captured false: its output then goes to
// /dev/null, since what is left behind would hold the pipe open.
ProgramResult RunWineCommand(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv,
                             bool captured = true)
{
    ProgramResult result;
    int pipeFds[2];
    if (!captured) {
        pipeFds[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (pipeFds[0] < 0) {
            result.output = std::string("cannot open /dev/null: ") + std::strerror(errno);
            return result;
        }
        pipeFds[1] = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (pipeFds[1] < 0) {
            result.output = std::string("cannot open /dev/null: ") + std::strerror(errno);
            close(pipeFds[0]);
            return result;
        }
    } else if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.output = std::string("cannot create a pipe: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        result.output = std::string("cannot fork: ") + std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        for (const std::string &entry : extraEnv) {
            putenv(const_cast<char *>(entry.c_str()));
        }
        // execvp's argument list, ending in a null pointer.
        std::vector<char *> args(argv.size() + 1, nullptr);
        std::transform(argv.begin(), argv.end(), args.begin(),
                       [](const std::string &argument) { return const_cast<char *>(argument.c_str()); });
        execvp(args[0], args.data());
        const char *reason = std::strerror(errno);
        // The parent shows this output when the run fails; nothing else to
        // do if even this write fails.
        if (write(STDERR_FILENO, reason, std::strlen(reason)) < 0) {
            _exit(127);
        }
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const std::size_t room = OutputMax - result.output.size();
        result.output.append(buffer, std::min(room, static_cast<std::size_t>(got)));
    }
    close(pipeFds[0]);
    while (waitpid(pid, &result.status, 0) < 0) {
        if (errno != EINTR) {
            result.status = -1;
            break;
        }
    }
    return result;
}

bool Succeeded(const ProgramResult &result)
{
    return result.status != -1 && WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0;
}

std::string DescribeFailure(const std::string &what, const ProgramResult &result)
{
    std::string message = what + " failed";
    if (result.status != -1 && WIFEXITED(result.status)) {
        message += " with status " + std::to_string(WEXITSTATUS(result.status));
    } else if (result.status != -1 && WIFSIGNALED(result.status)) {
        message += " on signal " + std::to_string(WTERMSIG(result.status));
    }
    if (!result.output.empty()) {
        message += ":\n" + result.output;
    }
    return message;
}

bool IsPortLinkName(const char *name)
{
    if (std::strlen(name) < 4 || strncasecmp(name, "com", 3) != 0) {
        return false;
    }
    for (const char *digit = name + 3; *digit != '\0'; ++digit) {
        if (!std::isdigit(static_cast<unsigned char>(*digit))) {
            return false;
        }
    }
    return true;
}

// Waits until link is a symbolic link to target; false after PortLinkWaitMs.
bool WaitForLink(const std::string &link, const std::string &target)
{
    const std::int64_t deadlineUs = MonotonicUs() + std::int64_t{PortLinkWaitMs} * 1000;
    for (;;) {
        char found[PATH_MAX];
        const ssize_t length = readlink(link.c_str(), found, sizeof found - 1);
        if (length >= 0 && target.compare(0, std::string::npos, found, static_cast<std::size_t>(length)) == 0) {
            return true;
        }
        if (MonotonicUs() >= deadlineUs) {
            return false;
        }
        timespec pause{0, PortLinkPollMs * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

} // namespace

std::string RemoveSerialPortLinks(const std::string &dosdevices, std::vector<std::string> &removed)
{
    DIR *directory = opendir(dosdevices.c_str());
    if (directory == nullptr) {
        if (errno == ENOENT) {
            return std::string();
        }
        return "cannot list " + dosdevices + ": " + std::strerror(errno);
    }
    std::string problem;
    // readdir_r is deprecated; this stream is read by one thread only.
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(directory)) {
        if (!IsPortLinkName(entry->d_name)) {
            continue;
        }
        const std::string path = dosdevices + "/" + entry->d_name;
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0) {
            continue; // not a link: nothing of ours to judge
        }
        target[length] = '\0';
        if (std::strncmp(target, "/dev/ttyS", 9) != 0) {
            continue;
        }
        if (unlink(path.c_str()) != 0) {
            problem = "cannot remove " + path + ": " + std::strerror(errno);
            break;
        }
        removed.push_back(entry->d_name);
    }
    closedir(directory);
    return problem;
}

std::string PrepareWinePrefix(const std::string &prefix, const std::string &ptyPath)
{
    if (setenv("WINEPREFIX", prefix.c_str(), 1) != 0 || setenv("WINEDEBUG", "-all", 0) != 0 ||
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0) != 0) {
        return std::string("cannot set Wine's environment: ") + std::strerror(errno);
    }

    ProgramResult registered = RunWineCommand(
        {"wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ", "/d", ptyPath, "/f"}, {});
    if (!Succeeded(registered)) {
        return DescribeFailure("registering COM1 in the Wine prefix " + prefix, registered);
    }

    // The device manager of the session just used built its port links
    // before the value existed. Only a new session rebuilds them, and the
    // command must not join the old one.
    ProgramResult ended = RunWineCommand({"wineserver", "-w"}, {});
    if (!Succeeded(ended)) {
        return DescribeFailure("waiting for the Wine session to end", ended);
    }

    std::vector<std::string> removed;
    std::string problem = RemoveSerialPortLinks(prefix + "/dosdevices", removed);
    if (!problem.empty()) {
        return problem;
    }
    // A com1 link left by an earlier run may name another pty; only the new
    // session's own link proves that its device manager has run.
    const std::string comOne = prefix + "/dosdevices/com1";
    if (unlink(comOne.c_str()) != 0 && errno != ENOENT) {
        return "cannot remove " + comOne + ": " + std::strerror(errno);
    }

    // The new session is started here and held open for the command, which
    // then finds COM1 in place from its first instruction on. A program that
    // starts a session itself may run before the device manager has made the
    // links, and its COM1 then does not exist.
    ProgramResult held = RunWineCommand({"wineserver", "-p" + std::to_string(SessionHoldSeconds)}, {}, false);
    if (!Succeeded(held)) {
        return DescribeFailure("starting a Wine session for the command", held);
    }
    ProgramResult booted =
        RunWineCommand({"wine", "reg", "query", "HKLM\\Software\\Wine\\Ports", "/v", "COM1"}, {}, false);
    if (!Succeeded(booted)) {
        return DescribeFailure("reading COM1 back in the new Wine session", booted);
    }
    if (!WaitForLink(comOne, ptyPath)) {
        return "the Wine session did not link " + comOne + " to " + ptyPath + " within " +
               std::to_string(PortLinkWaitMs / 1000) + " s";
    }
    return std::string();
}

std::string FinishWineRun(const std::string &prefix)
{
    ProgramResult stopped = RunWineCommand({"wineserver", "-k"}, {"WINEPREFIX=" + prefix});
    // -k reports failure when no wineserver was left running, which is
    // the outcome wanted anyway; only not running it at all is a fault.
    if (stopped.status == -1) {
        return DescribeFailure("stopping the wineserver of " + prefix, stopped);
    }
    std::vector<std::string> removed;
    return RemoveSerialPortLinks(prefix + "/dosdevices", removed);
}

} // namespace devsim
