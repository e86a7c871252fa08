#include "pty_link.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

[[nodiscard]] std::string MakeRaw(int slave)
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

} // namespace

PtyLink::~PtyLink()
{
    Close();
    ReleaseControllingTerminal();
}

std::string PtyLink::OpenPair(bool raw)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        return Failure("cannot create a pty (posix_openpt)");
    }
    if (grantpt(master_) != 0) {
        return Failure("cannot create a pty (grantpt)");
    }
    if (unlockpt(master_) != 0) {
        return Failure("cannot create a pty (unlockpt)");
    }

    char path[64];
    if (ptsname_r(master_, path, sizeof path) != 0) {
        return Failure("cannot name the pty (ptsname)");
    }
    slavePath_ = path;

    slave_ = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        return Failure("cannot open the pty slave");
    }
    if (raw) {
        std::string problem = MakeRaw(slave_);
        if (!problem.empty()) {
            return problem;
        }
    }

    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) {
        return Failure("cannot put the pty in packet mode");
    }
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return Failure("cannot make the pty master nonblocking");
    }
    return std::string();
}

std::string PtyLink::Open(bool raw)
{
    std::string problem = OpenPair(raw);
    if (!problem.empty()) {
        Close();
    }
    return problem;
}

void PtyLink::Close()
{
    // The slave goes first: closing the master hangs up every slave
    // descriptor, and ours has no business seeing that.
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
    slave_ = -1;
    master_ = -1;
}

std::string PtyLink::HoldControllingTerminal()
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return Failure("cannot create a pipe");
    }
    const pid_t parent = getpid();
    holder_ = fork();
    if (holder_ < 0) {
        close(ready[0]);
        close(ready[1]);
        return Failure("cannot fork the pty's session holder");
    }
    if (holder_ == 0) {
        // Should devsim die without ending it, the holder goes too. Both
        // calls below fail only for an invalid signal number.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(0);
        }
        (void)signal(SIGHUP, SIG_IGN);
        int error = 0;
        if (setsid() < 0 || ioctl(slave_, TIOCSCTTY, 0) != 0) {
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
    ReleaseControllingTerminal();
    errno = got == 1 ? report : EIO;
    return Failure("cannot give the pty a session of its own");
}

void PtyLink::ReleaseControllingTerminal()
{
    if (holder_ <= 0) {
        return;
    }
    kill(holder_, SIGKILL);
    while (waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
    }
    holder_ = -1;
}

bool PtyLink::FarEndTookEverything() const
{
    // The kernel hands bytes written to the master over to the slave's
    // queue from a work item; poll() on the slave completes that hand-over,
    // so the count read next includes everything sent so far.
    // When the queue cannot be inspected, waiting for it to drain could last
    // for ever; report it drained instead.
    pollfd slave{slave_, POLLIN, 0};
    if (poll(&slave, 1, 0) < 0) {
        return true;
    }
    int waiting = 0;
    if (ioctl(slave_, FIONREAD, &waiting) != 0) {
        return true;
    }
    return waiting == 0;
}

long PtyLink::Receive(std::uint8_t *buffer, std::size_t size, Packet &packet)
{
    const ssize_t got = read(master_, buffer, size);
    if (got > 0) {
        packet = DecodePacket(buffer, static_cast<std::size_t>(got));
    }
    return got;
}

long PtyLink::Send(const std::uint8_t *data, std::size_t size)
{
    return write(master_, data, size);
}

ReadFailure PtyLink::ReportFailedRead(long got)
{
    (void)std::fprintf(stderr, "devsim: the pty stopped working (%s); the device hangs up\n",
                       got < 0 ? std::strerror(errno) : "end of file");
    return ReadFailure::DeviceHangsUp;
}

Packet DecodePacket(const std::uint8_t *buffer, std::size_t length)
{
    Packet packet;
    if (buffer[0] != TIOCPKT_DATA) {
        packet.isStatus = true;
        packet.inputFlushed = (buffer[0] & TIOCPKT_FLUSHREAD) != 0;
        packet.outputFlushed = (buffer[0] & TIOCPKT_FLUSHWRITE) != 0;
        return packet;
    }
    packet.data = buffer + 1;
    packet.size = length - 1;
    return packet;
}

std::string PtyLink::TurnOnSoftwareFlowControl() const
{
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0) {
        return Failure("cannot read the pty's terminal settings");
    }
    settings.c_iflag |= IXON | IXOFF;
    if (tcsetattr(slave_, TCSANOW, &settings) != 0) {
        return Failure("cannot turn on the pty's software flow control");
    }
    return std::string();
}

} // namespace devsim
