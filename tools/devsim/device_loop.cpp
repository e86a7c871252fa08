#include "device_loop.h"

#include "monotonic_clock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>

#include <poll.h>
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

class DeviceLoop {
public:
    DeviceLoop(const LoopSettings &settings, Link &link, Device &device, EventLog &log)
        : settings_(settings), link_(link), device_(device), log_(log)
    {
    }

    int Run();

private:
    bool WaitForEvents();
    void ReadFromProgram(bool answer);
    void LineFailed(long got, std::int64_t now);
    void Hear(std::int64_t time, const std::uint8_t *data, std::size_t size, bool answer);
    void Schedule(std::int64_t due, const Bytes &bytes);
    void ReleaseDue(std::int64_t now);
    void WriteToProgram();
    bool ReplyTaken() const;
    void HangUpWhenReplyTaken();
    void HangUp(std::int64_t time);
    void HandleSignals();
    int Abandon(const char *what) const;

    const LoopSettings &settings_;
    Link &link_;
    Device &device_;
    EventLog &log_;
    std::deque<Scheduled> scheduled_; // ordered by due time
    Bytes outgoing_;                  // released, not yet written
    std::size_t outgoingSent_ = 0;    // how much of outgoing_ is written
    bool vanishArmed_ = false;        // the last reply is out or on its way
    std::int64_t takenSince_ = -1;    // when the last reply was seen read
    bool childDone_ = false;
    int childStatus_ = 0;
};

int DeviceLoop::Run()
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
    ReadFromProgram(false);
    log_.RecordNumber(MonotonicUs(), "exit", CommandExitStatus(childStatus_));
    return childStatus_;
}

// Sleeps in ppoll until the program writes, the line takes more output, a
// signal comes or the next scheduled reply is due; handles what woke it.
bool DeviceLoop::WaitForEvents()
{
    pollfd fds[2] = {{settings_.signalFd, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (link_.Descriptor() >= 0) {
        short events = POLLIN | POLLPRI;
        if (link_.IsOpen() && outgoingSent_ < outgoing_.size()) {
            events |= POLLOUT;
        }
        fds[1] = pollfd{link_.Descriptor(), events, 0};
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
        ReadFromProgram(true);
    }
    return true;
}

void DeviceLoop::ReadFromProgram(bool answer)
{
    std::uint8_t buffer[ReadBufferSize];
    while (link_.Descriptor() >= 0) {
        Packet packet;
        const long got = link_.Receive(buffer, sizeof buffer, packet);
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
        if (packet.isStatus) {
            if (packet.inputFlushed) {
                log_.Record(now, "flush-in");
            }
            if (packet.outputFlushed) {
                log_.Record(now, "flush-out");
            }
        } else {
            Hear(now, packet.data, packet.size, answer);
        }
    }
}

// A read from the line returned end of file or failed.
void DeviceLoop::LineFailed(long got, std::int64_t now)
{
    if (link_.ReportFailedRead(got) == ReadFailure::DeviceHangsUp) {
        HangUp(now);
    } else {
        link_.Close();
    }
}

void DeviceLoop::Hear(std::int64_t time, const std::uint8_t *data, std::size_t size, bool answer)
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

void DeviceLoop::Schedule(std::int64_t due, const Bytes &bytes)
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

void DeviceLoop::ReleaseDue(std::int64_t now)
{
    while (!scheduled_.empty() && scheduled_.front().due <= now) {
        const Bytes &bytes = scheduled_.front().bytes;
        outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
        scheduled_.pop_front();
    }
}

void DeviceLoop::WriteToProgram()
{
    while (link_.IsOpen() && outgoingSent_ < outgoing_.size()) {
        const long written = link_.Send(outgoing_.data() + outgoingSent_, outgoing_.size() - outgoingSent_);
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

// Hanging up while the reply still sits in the line would throw it away
// with the rest of the line's queue, so the device waits until the program
// has read it all.
bool DeviceLoop::ReplyTaken() const
{
    if (!vanishArmed_ || !link_.IsOpen() || !scheduled_.empty() || !outgoing_.empty()) {
        return false;
    }
    return link_.FarEndTookEverything();
}

// A program that reads the last reply and sends nothing more still sees
// the line go down, a little later.
void DeviceLoop::HangUpWhenReplyTaken()
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

void DeviceLoop::HangUp(std::int64_t time)
{
    link_.Close();
    vanishArmed_ = false;
    scheduled_.clear();
    outgoing_.clear();
    outgoingSent_ = 0;
    log_.Record(time, "hangup");
}

void DeviceLoop::HandleSignals()
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

int DeviceLoop::Abandon(const char *what) const
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

int RunDeviceLoop(const LoopSettings &settings, Link &link, Device &device, EventLog &log)
{
    DeviceLoop loop(settings, link, device, log);
    return loop.Run();
}

} // namespace devsim
