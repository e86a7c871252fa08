#include "device_loop.h"

#include "socket_link.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace devsim {

namespace {

constexpr std::size_t ReadBufferSize = 4096;
// While waiting to hang up: how often to look whether the program has
// read the last reply, and how long to wait after that for its next byte.
constexpr std::int64_t DrainCheckUs = 10000;
constexpr std::int64_t VanishGraceUs = 250000;

struct Scheduled {
    std::int64_t due = 0; // MonotonicUs() at which the bytes go out
    Bytes bytes;
};

class DeviceSide {
public:
    DeviceSide(const LoopSettings &settings, Device &device, EventLog &log)
        : settings_(settings), device_(device), log_(log),
          lineOpen_(settings.link != nullptr && settings.link->master >= 0),
          lineFd_(lineOpen_ ? settings.link->master : -1), awaitingPeer_(settings.listener >= 0)
    {
    }

    int Run();

private:
    bool WaitForEvents();
    void ReadFromProgram(bool answer);
    void LineFailed(ssize_t got, std::int64_t now);
    void Hear(std::int64_t time, const std::uint8_t *data, std::size_t size, bool answer);
    void Schedule(std::int64_t due, const Bytes &bytes);
    void ReleaseDue(std::int64_t now);
    void WriteToProgram();
    bool ReplyTaken() const;
    void HangUpWhenReplyTaken();
    void HangUp(std::int64_t time);
    void HandleSignals();
    void AcceptPeer();
    long WriteLine(const std::uint8_t *data, std::size_t size) const;
    void CloseLine();
    int Abandon(const char *what) const;

    const LoopSettings &settings_;
    Device &device_;
    EventLog &log_;
    bool lineOpen_;
    int lineFd_;                      // the pty master or the accepted connection
    bool awaitingPeer_;               // --socket: no connection accepted yet
    std::deque<Scheduled> scheduled_; // ordered by due time
    Bytes outgoing_;                  // released, not yet written
    std::size_t outgoingSent_ = 0;    // how much of outgoing_ is written
    bool vanishArmed_ = false;        // the last reply is out or on its way
    std::int64_t takenSince_ = -1;    // when the last reply was seen read
    bool childDone_ = false;
    int childStatus_ = 0;
};

int DeviceSide::Run()
{
    while (!childDone_) {
        ReleaseDue(MonotonicUs());
        WriteToProgram();
        HangUpWhenReplyTaken();
        if (!WaitForEvents()) {
            return Abandon("cannot wait for the program");
        }
    }
    // Whatever the program wrote just before it ended still counts for
    // the dialogue; nobody is left to answer.
    if (awaitingPeer_) {
        AcceptPeer();
    }
    if (lineOpen_) {
        ReadFromProgram(false);
    }
    log_.RecordNumber(MonotonicUs(), "exit", CommandExitStatus(childStatus_));
    return childStatus_;
}

// Sleeps in ppoll until the program writes, the pty takes more output, a
// signal comes or the next scheduled reply is due; handles what woke it.
bool DeviceSide::WaitForEvents()
{
    pollfd fds[2] = {{settings_.signalFd, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (lineOpen_) {
        short events = POLLIN | POLLPRI;
        if (outgoingSent_ < outgoing_.size()) {
            events |= POLLOUT;
        }
        fds[1] = pollfd{lineFd_, events, 0};
        count = 2;
    } else if (awaitingPeer_) {
        fds[1] = pollfd{settings_.listener, POLLIN, 0};
        count = 2;
    }

    std::int64_t waitUs = -1;
    if (!scheduled_.empty()) {
        waitUs = std::max<std::int64_t>(0, scheduled_.front().due - MonotonicUs());
    }
    if (vanishArmed_ && (waitUs < 0 || waitUs > DrainCheckUs)) {
        waitUs = DrainCheckUs;
    }
    timespec timeout{waitUs / 1000000, (waitUs % 1000000) * 1000};

    const int ready = ppoll(fds, count, waitUs < 0 ? nullptr : &timeout, nullptr);
    if (ready < 0) {
        return errno == EINTR;
    }
    if (fds[0].revents & POLLIN) {
        HandleSignals();
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR))) {
        if (lineOpen_) {
            ReadFromProgram(true);
        } else {
            AcceptPeer();
        }
    }
    return true;
}

void DeviceSide::ReadFromProgram(bool answer)
{
    std::uint8_t buffer[ReadBufferSize];
    while (lineOpen_) {
        const ssize_t got = read(lineFd_, buffer, sizeof buffer);
        // The time is taken right after the read so the log shows when
        // each byte arrived, not when it was dealt with.
        const std::int64_t now = MonotonicUs();
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (got <= 0) {
            LineFailed(got, now);
            return;
        }
        // Only a pty in packet mode reports flushes; a socket carries data alone.
        const Packet packet = settings_.link != nullptr ? DecodePacket(buffer, static_cast<std::size_t>(got))
                                                        : Packet{false, 0, buffer, static_cast<std::size_t>(got)};
        if (packet.isStatus) {
            // Other status bits report flow-control changes, which the
            // device has no view on.
            if (packet.status & TIOCPKT_FLUSHREAD) {
                log_.Record(now, "flush-in");
            }
            if (packet.status & TIOCPKT_FLUSHWRITE) {
                log_.Record(now, "flush-out");
            }
        } else {
            Hear(now, packet.data, packet.size, answer);
        }
    }
}

// A read from the line returned end of file or failed.
void DeviceSide::LineFailed(ssize_t got, std::int64_t now)
{
    if (settings_.link == nullptr) {
        // The command closed its end of the socket, usually because it is
        // ending; nothing more can cross the line.
        if (got < 0) {
            (void)std::fprintf(stderr, "devsim: the connection failed (%s)\n", std::strerror(errno));
        }
        CloseLine();
        return;
    }
    // devsim holds a slave descriptor, so the master cannot see the far end
    // close; anything else here leaves the line unusable.
    (void)std::fprintf(stderr, "devsim: the pty stopped working (%s); the device hangs up\n",
                       got < 0 ? std::strerror(errno) : "end of file");
    HangUp(now);
}

void DeviceSide::Hear(std::int64_t time, const std::uint8_t *data, std::size_t size, bool answer)
{
    for (std::size_t i = 0; i < size; ++i) {
        log_.RecordByte(time, "rx", data[i]);
        const Device::Reaction reaction = device_.Receive(data[i]);
        if (!reaction.deviation.empty()) {
            (void)std::fprintf(stderr, "devsim: protocol deviation: %s; the device stops answering\n",
                               reaction.deviation.c_str());
        }
        // A device about to vanish answers nothing after its last reply.
        if (!answer || vanishArmed_) {
            continue;
        }
        for (const ReplyChunk &chunk : reaction.reply) {
            Schedule(time + std::int64_t{chunk.afterMs} * 1000, chunk.bytes);
        }
        const Exchange *completed = reaction.completed;
        if (completed != nullptr && settings_.vanishAfter && completed->request == trace::RequestKind::Block &&
            completed->block == *settings_.vanishAfter) {
            vanishArmed_ = true;
        }
    }
    // The program speaking again once it has read the last reply (its
    // acknowledgement) is the moment to vanish.
    if (answer && ReplyTaken()) {
        HangUp(time);
    }
}

void DeviceSide::Schedule(std::int64_t due, const Bytes &bytes)
{
    if (bytes.empty()) {
        return;
    }
    // Equal due times keep their order: a reply's halves, and replies to
    // requests that came in one read, go out as they were produced.
    auto later = scheduled_.end();
    while (later != scheduled_.begin() && std::prev(later)->due > due) {
        --later;
    }
    scheduled_.insert(later, Scheduled{due, bytes});
}

void DeviceSide::ReleaseDue(std::int64_t now)
{
    while (!scheduled_.empty() && scheduled_.front().due <= now) {
        const Bytes &bytes = scheduled_.front().bytes;
        outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
        scheduled_.pop_front();
    }
}

void DeviceSide::WriteToProgram()
{
    while (lineOpen_ && outgoingSent_ < outgoing_.size()) {
        const long written = WriteLine(outgoing_.data() + outgoingSent_, outgoing_.size() - outgoingSent_);
        const std::int64_t now = MonotonicUs();
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // POLLOUT resumes
        }
        if (written < 0) {
            (void)std::fprintf(stderr, "devsim: cannot send to the program: %s; %zu bytes dropped\n",
                               std::strerror(errno), outgoing_.size() - outgoingSent_);
            outgoingSent_ = outgoing_.size();
            break;
        }
        for (long i = 0; i < written; ++i) {
            log_.RecordByte(now, "tx", outgoing_[outgoingSent_ + i]);
        }
        outgoingSent_ += static_cast<std::size_t>(written);
    }
    if (outgoingSent_ == outgoing_.size()) {
        outgoing_.clear();
        outgoingSent_ = 0;
    }
}

// Hanging up while the reply still sits in the pty would throw it away
// with the rest of the line's queue, so the device waits until the program
// has read it all.
bool DeviceSide::ReplyTaken() const
{
    if (!vanishArmed_ || !lineOpen_ || !scheduled_.empty() || !outgoing_.empty()) {
        return false;
    }
    // Over a socket the device can only know that the command took the
    // bytes, not whether the program behind it has read them.
    return settings_.link != nullptr ? SlaveInputDrained(*settings_.link) : PeerTookEverything(lineFd_);
}

// A program that reads the last reply and sends nothing more still sees
// the line go down, a little later.
void DeviceSide::HangUpWhenReplyTaken()
{
    if (!ReplyTaken()) {
        takenSince_ = -1;
        return;
    }
    const std::int64_t now = MonotonicUs();
    if (takenSince_ < 0) {
        takenSince_ = now;
    }
    if (now - takenSince_ >= VanishGraceUs) {
        HangUp(now);
    }
}

void DeviceSide::HangUp(std::int64_t time)
{
    CloseLine();
    vanishArmed_ = false;
    scheduled_.clear();
    outgoing_.clear();
    outgoingSent_ = 0;
    log_.Record(time, "hangup");
}

void DeviceSide::HandleSignals()
{
    signalfd_siginfo info;
    for (;;) {
        const ssize_t got = read(settings_.signalFd, &info, sizeof info);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != static_cast<ssize_t>(sizeof info)) {
            break;
        }
        if (info.ssi_signo == SIGCHLD) {
            continue;
        }
        // A terminal's signal reaches the whole foreground group, the child
        // included; only signals aimed at devsim itself are passed on.
        if (info.ssi_code == SI_KERNEL) {
            continue;
        }
        if (kill(settings_.child, static_cast<int>(info.ssi_signo)) != 0 && errno != ESRCH) {
            (void)std::fprintf(stderr, "devsim: cannot pass signal %u on: %s\n", info.ssi_signo, std::strerror(errno));
        }
    }
    int status = 0;
    const pid_t reaped = waitpid(settings_.child, &status, WNOHANG);
    if (reaped == settings_.child) {
        childDone_ = true;
        childStatus_ = status;
    }
}

void DeviceSide::AcceptPeer()
{
    lineFd_ = AcceptLine(settings_.listener);
    if (lineFd_ >= 0) {
        lineOpen_ = true;
        awaitingPeer_ = false;
        return;
    }
    // A connection given up before it was accepted leaves nothing to take.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
        (void)std::fprintf(stderr, "devsim: cannot accept the connection: %s\n", std::strerror(errno));
        awaitingPeer_ = false;
    }
}

long DeviceSide::WriteLine(const std::uint8_t *data, std::size_t size) const
{
    if (settings_.link != nullptr) {
        return write(lineFd_, data, size);
    }
    return SendToPeer(lineFd_, data, size);
}

void DeviceSide::CloseLine()
{
    if (settings_.link != nullptr) {
        ClosePtyLink(*settings_.link);
    } else if (lineFd_ >= 0) {
        close(lineFd_);
    }
    lineFd_ = -1;
    lineOpen_ = false;
}

int DeviceSide::Abandon(const char *what) const
{
    (void)std::fprintf(stderr, "devsim: %s: %s\n", what, std::strerror(errno));
    (void)kill(settings_.child, SIGKILL); // it may have gone already; the wait below tells
    int status = 0;
    while (waitpid(settings_.child, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

} // namespace

int CommandExitStatus(int waitStatus)
{
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return WEXITSTATUS(waitStatus);
}

int PlayDevice(const LoopSettings &settings, Device &device, EventLog &log)
{
    DeviceSide side(settings, device, log);
    return side.Run();
}

} // namespace devsim
