#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "wine_prefix.h"

namespace devsim {

namespace {

const char PortPath[] = "/dev/ttyS0";

[[noreturn]] void Fail(const std::string &message)
{
    (void)std::fprintf(stderr, "devsim: %s\n", message.c_str());
    (void)std::fflush(stderr);
    _exit(ExitSetupFailed);
}

std::string Reason()
{
    return std::strerror(errno);
}

bool WriteProcFile(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = write(fd, text.data(), text.size());
    const int saved = errno;
    close(fd);
    errno = saved;
    return written == static_cast<ssize_t>(text.size());
}

// Without root, a user namespace gives the mount rights. Our own ids map
// to themselves, so the command runs as the same unprivileged user and
// loses the namespace's capabilities when it is executed.
void EnterUserNamespace(const std::string &rootProblem)
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        std::string message = "cannot make a private mount namespace: this needs root, or "
                              "unprivileged user namespaces (unshare(CLONE_NEWUSER): " +
                              Reason() + ")";
        if (!rootProblem.empty()) {
            message += "; as root: " + rootProblem;
        }
        Fail(message);
    }
    // setgroups must be denied before an unprivileged process may map gids.
    if (!WriteProcFile("/proc/self/setgroups", "deny")) {
        Fail("cannot deny setgroups in the user namespace: " + Reason());
    }
    if (!WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n")) {
        Fail("cannot map the user id in the user namespace: " + Reason());
    }
    if (!WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
        Fail("cannot map the group id in the user namespace: " + Reason());
    }
}

void EnterPrivateMountNamespace()
{
    bool entered = false;
    std::string rootProblem;
    if (geteuid() == 0) {
        entered = unshare(CLONE_NEWNS) == 0;
        if (!entered) {
            rootProblem = "unshare(CLONE_NEWNS): " + Reason();
        }
    }
    if (!entered) {
        EnterUserNamespace(rootProblem);
    }

    // The new namespace starts as a copy whose mounts may still be shared
    // with the machine's; every mount made below must stay in here.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        Fail(std::string("cannot make the mounts private: ") + Reason());
    }
}

void MountStandIn(const std::string &standInPath)
{
    if (access(standInPath.c_str(), F_OK) != 0) {
        Fail("the pty " + standInPath + " has gone: " + Reason());
    }
    if (mount(standInPath.c_str(), PortPath, nullptr, MS_BIND, nullptr) == 0) {
        return;
    }
    if (errno == ENOENT) {
        Fail(std::string(PortPath) + " does not exist on this machine: there is no port for the "
                                     "simulated device to stand in for");
    }
    Fail("cannot bind " + standInPath + " over " + PortPath + ": " + Reason());
}

void MountEmptyDev()
{
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=64k") != 0) {
        Fail(std::string("cannot mount an empty /dev: ") + Reason());
    }
}

} // namespace

void RunInSandbox(const SandboxPlan &plan)
{
    if (!plan.direct) {
        EnterPrivateMountNamespace();
        if (plan.absent) {
            MountEmptyDev();
        } else {
            MountStandIn(plan.standInPath);
        }
    }

    // The command gets the signal handling devsim started with: devsim
    // blocked these signals only to receive them through a signalfd.
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
        Fail("cannot restore the signal mask: " + Reason());
    }

    if (!plan.winePrefix.empty()) {
        const std::string problem = PrepareWinePrefix(plan.winePrefix, plan.standInPath);
        if (!problem.empty()) {
            Fail(problem);
        }
    }

    // execvp's argument list, ending in a null pointer.
    std::vector<char *> argv(plan.command.size() + 1, nullptr);
    std::transform(plan.command.begin(), plan.command.end(), argv.begin(),
                   [](const std::string &argument) { return const_cast<char *>(argument.c_str()); });
    execvp(argv[0], argv.data());

    const int saved = errno;
    (void)std::fprintf(stderr, "devsim: cannot run %s: %s\n", argv[0], std::strerror(saved));
    (void)std::fflush(stderr);
    _exit(saved == ENOENT ? ExitNotFound : ExitCannotExecute);
}

} // namespace devsim
