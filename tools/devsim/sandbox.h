// The sandbox: the command's side of devsim, a private mount namespace in
// which /dev/ttyS0 is the simulated device's pty (or /dev is empty), so
// the machine's real serial port is never reached.
#ifndef COMTRACE_DEVSIM_SANDBOX_H
#define COMTRACE_DEVSIM_SANDBOX_H

#include <string>
#include <vector>

namespace devsim {

// Exit statuses of the command's process when devsim, not the command,
// failed there.
constexpr int ExitSetupFailed = 125;
constexpr int ExitCannotExecute = 126;
constexpr int ExitNotFound = 127;

struct SandboxPlan {
    bool absent = false;     // empty /dev instead of the stand-in
    bool direct = false;     // --socket: no namespace and no stand-in at all
    std::string standInPath; // pty slave to appear as /dev/ttyS0
    std::string winePrefix;  // non-empty: ready this Wine prefix first
    std::vector<std::string> command;
};

// Runs in the freshly forked child. Unless the plan is direct, enters a private mount namespace (as
// root directly, otherwise through an unprivileged user namespace), mounts
// the stand-in over /dev/ttyS0 or an empty tmpfs over /dev, readies Wine
// when asked, restores the signal mask and executes the command with the
// standard streams it inherited. Never returns: exits ExitSetupFailed with
// a message on stderr when the stand-in cannot be set up, ExitNotFound or
// ExitCannotExecute when the command cannot be executed.
[[noreturn]] void RunInSandbox(const SandboxPlan &plan);

} // namespace devsim

#endif
