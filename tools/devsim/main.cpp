// devsim: runs a command against a simulated device that stands in for
// the serial port /dev/ttyS0, and reports how the command's side of the
// dialogue went.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "device.h"
#include "device_loop.h"
#include "event_log.h"
#include "options.h"
#include "pty_link.h"
#include "sandbox.h"
#include "socket_link.h"
#include "wine_prefix.h"

namespace {

// The command exited 0 but did not hold the dialogue as the device expects.
constexpr int ExitDeviation = 3;
// Nice value for devsim while it plays the device.
constexpr int DevicePriority = -10;
// The most a raw pty holds for its reader at once (the line discipline's
// 4096-byte buffer keeps one slot free).
constexpr std::size_t PtyQueueLimit = 4095;

int SetupFailure(const std::string &message)
{
    (void)std::fprintf(stderr, "devsim: %s\n", message.c_str()); // stderr is where it would be said
    return devsim::ExitSetupFailed;
}

// Loads the memory image, if one is given, and checks the device options.
// Returns an empty string, else what is wrong.
std::string PrepareDevice(devsim::Options &options)
{
    if (!options.imagePath.empty()) {
        std::string imageProblem = devsim::LoadImage(options.imagePath, options.device.image);
        if (!imageProblem.empty()) {
            return imageProblem;
        }
    }
    if (!options.replayPath.empty()) {
        std::vector<devsim::Bytes> collections;
        std::string traceProblem = devsim::LoadReplay(options.replayPath, collections);
        if (!traceProblem.empty()) {
            return traceProblem;
        }
        options.device.replay = std::move(collections);
    }
    return devsim::CheckDeviceOptions(options.device);
}

// A trace from a port with a larger input queue can hold a collection the
// pty cannot present at once; the replay then differs there, and says so.
void WarnOfOversizedCollection(const devsim::Options &options)
{
    if (!options.device.replay || !options.socketPath.empty()) {
        return; // a socket passes any collection whole
    }
    const std::vector<devsim::Bytes> &collections = *options.device.replay;
    for (std::size_t i = 0; i < collections.size(); ++i) {
        if (collections[i].size() > PtyQueueLimit) {
            // stderr is where it would be said
            (void)std::fprintf(stderr,
                               "devsim: warning: collection %zu of the trace holds %zu bytes, more than a pty "
                               "passes at once (%zu); the program will take the rest at its next collection\n",
                               i + 1, collections[i].size(), PtyQueueLimit);
            return;
        }
    }
}

// Blocks the signals devsim handles and opens signalFd to read them.
// Returns an empty string, else what failed.
std::string BlockHandledSignals(int &signalFd)
{
    // Blocked before the fork so no signal is lost between fork and loop;
    // the child unblocks them before running the command.
    sigset_t handled;
    // These fail only for a bad set pointer or signal number.
    (void)sigemptyset(&handled);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        (void)sigaddset(&handled, signal);
    }
    if (sigprocmask(SIG_BLOCK, &handled, nullptr) != 0) {
        return std::string("cannot block signals: ") + std::strerror(errno);
    }
    signalFd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        return std::string("cannot create a signalfd: ") + std::strerror(errno);
    }
    return std::string();
}

// devsim's exit status once the command is done: the log written, a
// deviation or an unfinished dialogue reported, the command's own status.
int ConcludeRun(const devsim::Options &options, const devsim::Device &device, const devsim::EventLog &log, int logFd,
                int waitStatus)
{
    bool deviated = device.HasDeviated();
    const std::string unfinished = device.DescribeUnfinished();
    // A device that hangs up ends the dialogue itself.
    if (!unfinished.empty() && !options.vanishAfter) {
        (void)std::fprintf(stderr, "devsim: protocol deviation: %s\n", unfinished.c_str());
        deviated = true;
    }

    const int commandStatus = devsim::CommandExitStatus(waitStatus);
    if (logFd >= 0) {
        const std::string logProblem = log.WriteTo(logFd);
        if (close(logFd) != 0 && logProblem.empty()) {
            return SetupFailure("cannot write the log " + options.logPath + ": " + std::strerror(errno));
        }
        if (!logProblem.empty()) {
            return SetupFailure(logProblem);
        }
    }
    if (commandStatus == 0 && deviated) {
        return ExitDeviation;
    }
    return commandStatus;
}

// Readies the line the device will play on: the pty, the socket listener
// (--socket) or nothing (--absent). Returns an empty string, else what
// failed.
std::string OpenLine(const devsim::Options &options, devsim::PtyLink &link, int &listener)
{
    if (!options.socketPath.empty()) {
        return devsim::ListenOnSocket(options.socketPath, listener);
    }
    if (!options.absent) {
        std::string ptyProblem = devsim::OpenPtyLink(!options.winePrefix.empty(), link);
        if (!ptyProblem.empty() || !options.xonXoff) {
            return ptyProblem;
        }
        return devsim::TurnOnSoftwareFlowControl(link);
    }
    return std::string();
}

int Run(int argc, char **argv)
{
    devsim::Options options;
    const std::string problem = devsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!problem.empty()) {
        return SetupFailure(problem + " (see devsim --help)");
    }
    if (options.help) {
        (void)std::fputs(devsim::UsageText(), stdout); // a closed stdout leaves nobody to read it
        return 0;
    }
    if (options.version) {
        (void)std::printf("devsim %s\n", DEVSIM_VERSION); // as for --help
        return 0;
    }
    const std::string deviceProblem = PrepareDevice(options);
    if (!deviceProblem.empty()) {
        return SetupFailure(deviceProblem);
    }
    WarnOfOversizedCollection(options);
    devsim::Device device(options.device);

    int logFd = -1;
    if (!options.logPath.empty()) {
        logFd = open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (logFd < 0) {
            return SetupFailure("cannot create the log " + options.logPath + ": " + std::strerror(errno));
        }
    }
    devsim::EventLog log(logFd >= 0);

    devsim::PtyLink link;
    int listener = -1;
    const bool overSocket = !options.socketPath.empty();
    const std::string lineProblem = OpenLine(options, link, listener);
    if (!lineProblem.empty()) {
        return SetupFailure(lineProblem);
    }

    int signalFd = -1;
    const std::string signalProblem = BlockHandledSignals(signalFd);
    if (!signalProblem.empty()) {
        devsim::StopListening(options.socketPath, listener);
        return SetupFailure(signalProblem);
    }

    pid_t sessionHolder = -1;
    if (!options.absent && !overSocket) {
        const std::string holdProblem = devsim::HoldControllingTerminal(link, sessionHolder);
        if (!holdProblem.empty()) {
            return SetupFailure(holdProblem);
        }
    }

    // Output the child might inherit unflushed would appear twice; a failed
    // flush has lost that output already.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        devsim::StopListening(options.socketPath, listener);
        return SetupFailure(std::string("cannot fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        devsim::ChildPlan plan;
        plan.absent = options.absent;
        plan.direct = overSocket;
        plan.standInPath = link.slavePath;
        plan.winePrefix = options.winePrefix;
        plan.command = options.command;
        devsim::RunCommandInStandIn(plan);
    }

    // The log's times are taken when devsim gets to run; on a busy machine
    // a higher priority keeps that close to when things happened. Only
    // devsim's own process is raised (the command is already forked), and
    // without privilege the call fails and the default priority has to do.
    (void)setpriority(PRIO_PROCESS, 0, DevicePriority);

    devsim::LoopSettings settings;
    settings.child = child;
    settings.signalFd = signalFd;
    settings.link = options.absent || overSocket ? nullptr : &link;
    settings.listener = listener;
    settings.vanishAfter = options.vanishAfter;
    const int waitStatus = devsim::PlayDevice(settings, device, log);
    // Wine's processes outlive the command; they go before the line does.
    if (waitStatus >= 0 && !options.winePrefix.empty()) {
        const std::string wineProblem = devsim::FinishWineRun(options.winePrefix);
        if (!wineProblem.empty()) {
            (void)std::fprintf(stderr, "devsim: %s\n", wineProblem.c_str());
        }
    }
    devsim::ClosePtyLink(link);
    devsim::StopListening(options.socketPath, listener);
    devsim::ReleaseControllingTerminal(sessionHolder);
    if (waitStatus < 0) {
        return devsim::ExitSetupFailed;
    }

    return ConcludeRun(options, device, log, logFd, waitStatus);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception &failure) {
        return SetupFailure(failure.what());
    }
}
