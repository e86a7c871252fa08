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
#include "wine_prefix.h"

namespace {

// The command exited 0 but did not hold the dialogue as the device expects.
constexpr int kExitDeviation = 3;
// Nice value for devsim while it plays the device.
constexpr int kDevicePriority = -10;

int SetupFailure(const std::string &message) {
    std::fprintf(stderr, "devsim: %s\n", message.c_str());
    return devsim::kExitSetupFailed;
}

int Run(int argc, char **argv) {
    devsim::Options options;
    const std::string problem = devsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!problem.empty()) return SetupFailure(problem + " (see devsim --help)");
    if (options.help) {
        std::fputs(devsim::UsageText(), stdout);
        return 0;
    }
    if (!options.imagePath.empty()) {
        const std::string imageProblem = devsim::LoadImage(options.imagePath, options.device.image);
        if (!imageProblem.empty()) return SetupFailure(imageProblem);
    }
    const std::string deviceProblem = devsim::CheckDeviceOptions(options.device);
    if (!deviceProblem.empty()) return SetupFailure(deviceProblem);
    devsim::Device device(options.device);

    int logFd = -1;
    if (!options.logPath.empty()) {
        logFd = open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (logFd < 0) return SetupFailure("cannot create the log " + options.logPath + ": " + std::strerror(errno));
    }
    devsim::EventLog log(logFd >= 0);

    devsim::PtyLink link;
    if (!options.absent) {
        const std::string ptyProblem = devsim::OpenPtyLink(!options.winePrefix.empty(), link);
        if (!ptyProblem.empty()) return SetupFailure(ptyProblem);
    }

    // Blocked before the fork so no signal is lost between fork and loop;
    // the child unblocks them before running the command.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, signal);
    if (sigprocmask(SIG_BLOCK, &handled, nullptr) != 0) {
        return SetupFailure(std::string("cannot block signals: ") + std::strerror(errno));
    }
    const int signalFd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) return SetupFailure(std::string("cannot create a signalfd: ") + std::strerror(errno));

    pid_t sessionHolder = -1;
    if (!options.absent) {
        const std::string holdProblem = devsim::HoldControllingTerminal(link, sessionHolder);
        if (!holdProblem.empty()) return SetupFailure(holdProblem);
    }

    // Output the child might inherit unflushed would appear twice.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) return SetupFailure(std::string("cannot fork: ") + std::strerror(errno));
    if (child == 0) {
        devsim::ChildPlan plan;
        plan.absent = options.absent;
        plan.standInPath = link.slavePath;
        plan.winePrefix = options.winePrefix;
        plan.command = options.command;
        devsim::RunCommandInStandIn(plan);
    }

    // The log's times are taken when devsim gets to run; on a busy machine
    // a higher priority keeps that close to when things happened. Only
    // devsim's own process is raised (the command is already forked), and
    // without privilege the call fails and the default priority has to do.
    setpriority(PRIO_PROCESS, 0, kDevicePriority);

    devsim::LoopSettings settings;
    settings.child = child;
    settings.signalFd = signalFd;
    settings.link = options.absent ? nullptr : &link;
    settings.vanishAfter = options.vanishAfter;
    const int waitStatus = devsim::PlayDevice(settings, device, log);
    // Wine's processes outlive the command; they go before the line does.
    if (waitStatus >= 0 && !options.winePrefix.empty()) {
        const std::string wineProblem = devsim::FinishWineRun(options.winePrefix);
        if (!wineProblem.empty()) std::fprintf(stderr, "devsim: %s\n", wineProblem.c_str());
    }
    devsim::ClosePtyLink(link);
    devsim::ReleaseControllingTerminal(sessionHolder);
    if (waitStatus < 0) return devsim::kExitSetupFailed;

    bool deviated = device.HasDeviated();
    const std::string unfinished = device.DescribeUnfinished();
    // A device that hangs up ends the dialogue itself.
    if (!unfinished.empty() && !options.vanishAfter) {
        std::fprintf(stderr, "devsim: protocol deviation: %s\n", unfinished.c_str());
        deviated = true;
    }

    const int commandStatus = devsim::CommandExitStatus(waitStatus);
    if (logFd >= 0) {
        const std::string logProblem = log.WriteTo(logFd);
        if (close(logFd) != 0 && logProblem.empty()) {
            return SetupFailure("cannot write the log " + options.logPath + ": " + std::strerror(errno));
        }
        if (!logProblem.empty()) return SetupFailure(logProblem);
    }
    if (commandStatus == 0 && deviated) return kExitDeviation;
    return commandStatus;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &failure) {
        return SetupFailure(failure.what());
    }
}
