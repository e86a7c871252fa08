#include "pty_link.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {

std::string Failure(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

std::string MakeRaw(int slave)
{
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) {
        return Failure("cannot read the pty's terminal settings");
    }
    cfmakeraw(&settings);
    // cfmakeraw leaves input flow control alone; XOFF/XON from either side
    // must arrive as plain data bytes.
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (tcsetattr(slave, TCSANOW, &settings) != 0) {
        return Failure("cannot make the pty raw");
    }
    return std::string();
}

std::string Open(bool raw, PtyLink &link)
{
    link.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.master < 0) {
        return Failure("cannot create a pty (posix_openpt)");
    }
    if (grantpt(link.master) != 0) {
        return Failure("cannot create a pty (grantpt)");
    }
    if (unlockpt(link.master) != 0) {
        return Failure("cannot create a pty (unlockpt)");
    }

    char path[64];
    if (ptsname_r(link.master, path, sizeof path) != 0) {
        return Failure("cannot name the pty (ptsname)");
    }
    link.slavePath = path;

    link.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.slave < 0) {
        return Failure("cannot open the pty slave");
    }
    if (raw) {
        std::string problem = MakeRaw(link.slave);
        if (!problem.empty()) {
            return problem;
        }
    }

    int on = 1;
    if (ioctl(link.master, TIOCPKT, &on) != 0) {
        return Failure("cannot put the pty in packet mode");
    }
    const int flags = fcntl(link.master, F_GETFL);
    if (flags < 0 || fcntl(link.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        return Failure("cannot make the pty master nonblocking");
    }
    return std::string();
}

} // namespace

std::string OpenPtyLink(bool raw, PtyLink &link)
{
    std::string problem = Open(raw, link);
    if (!problem.empty()) {
        ClosePtyLink(link);
    }
    return problem;
}

void ClosePtyLink(PtyLink &link)
{
    // The slave goes first: closing the master hangs up every slave
    // descriptor, and ours has no business seeing that.
    if (link.slave >= 0) {
        close(link.slave);
    }
    if (link.master >= 0) {
        close(link.master);
    }
    link.slave = -1;
    link.master = -1;
}

std::string HoldControllingTerminal(const PtyLink &link, pid_t &holder)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return Failure("cannot create a pipe");
    }
    const pid_t parent = getpid();
    holder = fork();
    if (holder < 0) {
        close(ready[0]);
        close(ready[1]);
        return Failure("cannot fork the pty's session holder");
    }
    if (holder == 0) {
        // Should devsim die without ending it, the holder goes too. Both
        // calls below fail only for an invalid signal number.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(0);
        }
        (void)signal(SIGHUP, SIG_IGN);
        int error = 0;
        if (setsid() < 0 || ioctl(link.slave, TIOCSCTTY, 0) != 0) {
            error = errno;
        }
        const unsigned char report = static_cast<unsigned char>(error);
        // If the report cannot be written the parent reads end of file,
        // which it takes as failure.
        if (write(ready[1], &report, 1) != 1) {
            _exit(1);
        }
        // The session keeps the pty as its terminal without a descriptor;
        // holding none lets the master's close hang the line up.
        close_range(0, ~0u, 0);
        if (error != 0) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    unsigned char report = 0;
    ssize_t got;
    while ((got = read(ready[0], &report, 1)) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    if (got == 1 && report == 0) {
        return std::string();
    }
    ReleaseControllingTerminal(holder);
    holder = -1;
    errno = got == 1 ? report : EIO;
    return Failure("cannot give the pty a session of its own");
}

void ReleaseControllingTerminal(pid_t holder)
{
    if (holder <= 0) {
        return;
    }
    kill(holder, SIGKILL);
    while (waitpid(holder, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool SlaveInputDrained(const PtyLink &link)
{
    // The kernel hands bytes written to the master over to the slave's
    // queue from a work item; poll() on the slave completes that hand-over,
    // so the count read next includes everything sent so far.
    // When the queue cannot be inspected, waiting for it to drain could last
    // for ever; report it drained instead.
    pollfd slave{link.slave, POLLIN, 0};
    if (poll(&slave, 1, 0) < 0) {
        return true;
    }
    int waiting = 0;
    if (ioctl(link.slave, FIONREAD, &waiting) != 0) {
        return true;
    }
    return waiting == 0;
}

Packet DecodePacket(const std::uint8_t *buffer, std::size_t length)
{
    Packet packet;
    if (buffer[0] != TIOCPKT_DATA) {
        packet.isStatus = true;
        packet.status = buffer[0];
        return packet;
    }
    packet.data = buffer + 1;
    packet.size = length - 1;
    return packet;
}

std::string TurnOnSoftwareFlowControl(const PtyLink &link)
{
    termios settings{};
    if (tcgetattr(link.slave, &settings) != 0) {
        return Failure("cannot read the pty's terminal settings");
    }
    settings.c_iflag |= IXON | IXOFF;
    if (tcsetattr(link.slave, TCSANOW, &settings) != 0) {
        return Failure("cannot turn on the pty's software flow control");
    }
    return std::string();
}

} // namespace devsim
