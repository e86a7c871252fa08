// The device loop: devsim's own side while the command runs. It plays the
// device on its end of the line, passes termination signals on to the
// command and waits for it.
#ifndef COMTRACE_DEVSIM_DEVICE_LOOP_H
#define COMTRACE_DEVSIM_DEVICE_LOOP_H

#include <optional>

#include <sys/types.h>

#include "device.h"
#include "event_log.h"
#include "link.h"

namespace devsim {

struct LoopSettings {
    pid_t child = -1;
    // signalfd for SIGCHLD, SIGINT, SIGTERM and SIGHUP, all blocked.
    int signalFd = -1;
    // Answer nothing after this block's reply and hang up once the program
    // has read all of it: at its next byte, or 250 ms later if none comes.
    std::optional<unsigned> vanishAfter;
};

// The status a shell would report for a child: its exit code, or 128 + N
// when signal N killed it.
int CommandExitStatus(int waitStatus);

// Runs until the child has exited and returns its wait status; the log's
// last event is then the child's exit with CommandExitStatus. Every byte
// the program writes is fed to the device, logged and answered as the
// device says, with the answers' delays measured from the moment the
// request's last byte was read. A line that awaits its far end opens when
// the command connects (Receive takes it), and closes when the command
// closes its end.
// Deviations are reported on stderr as they happen. Output waits in a
// queue while the line is full, so devsim never blocks on it. SIGINT,
// SIGTERM and SIGHUP sent to devsim are passed on to the child; those the
// terminal sent to the whole process group are not, the child already has
// them. Returns -1 if the loop itself fails (the
// message is on stderr); the child is then killed and reaped.
int RunDeviceLoop(const LoopSettings &settings, Link &link, Device &device, EventLog &log);

} // namespace devsim

#endif
