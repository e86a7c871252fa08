// The pty that stands in for the serial line: the program gets the slave
// (as /dev/ttyS0), the device works the master.
#ifndef COMTRACE_DEVSIM_PTY_LINK_H
#define COMTRACE_DEVSIM_PTY_LINK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

#include "link.h"

namespace devsim {

class PtyLink final : public Link {
public:
    PtyLink() = default;
    // Closes both descriptors and ends the session holder, if any.
    ~PtyLink() override;

    // Creates a pty pair. The master is put in packet mode so that the
    // program's queue flushes show up as status bytes; devsim keeps a
    // slave descriptor (opened O_NOCTTY) so the pty lives on while the
    // program opens and closes its end. The slave keeps the kernel's
    // default terminal settings unless raw is set, then it is made fully
    // raw with all software flow control off. Returns an empty string on
    // success, else what failed (nothing is left open then).
    [[nodiscard]] std::string Open(bool raw);

    // Turns software flow control on both ways (IXON and IXOFF) on the
    // slave, as an earlier program may leave a serial port. Returns an
    // empty string on success, else what failed.
    [[nodiscard]] std::string TurnOnSoftwareFlowControl() const;

    // Makes the pty the controlling terminal of a session of its own, held
    // by a small child process that ignores SIGHUP until the link is
    // destroyed. A pty can belong to one session only, so no process of
    // the command's can take it over as its controlling terminal by
    // opening it (a daemon that called setsid() and opens the port without
    // O_NOCTTY, as wineserver does) and then be sent SIGHUP when the
    // device hangs up. Call with SIGHUP blocked. Returns an empty string
    // on success, else what failed.
    [[nodiscard]] std::string HoldControllingTerminal();

    // /dev/pts/N.
    std::string StandInPath() const override { return slavePath_; }

    bool IsOpen() const override { return master_ >= 0; }
    int Descriptor() const override { return master_; }
    // The master is in packet mode: a status packet reports the queue
    // flushes of the program's end.
    long Receive(std::uint8_t *buffer, std::size_t size, Packet &packet) override;
    long Send(const std::uint8_t *data, std::size_t size) override;
    // devsim holds a slave descriptor, so the master never sees the far
    // end close: any failure leaves the line unusable.
    ReadFailure ReportFailedRead(long got) override;
    // Nothing waits in the slave's input queue. Uses devsim's slave
    // descriptor, which it never reads from.
    bool FarEndTookEverything() const override;
    // Closes both descriptors; the program's end of the pty hangs up.
    void Close() override;

private:
    [[nodiscard]] std::string OpenPair(bool raw);
    void ReleaseControllingTerminal();

    int master_ = -1;       // nonblocking, packet mode, close-on-exec
    int slave_ = -1;        // devsim's own slave descriptor, close-on-exec
    std::string slavePath_; // /dev/pts/N
    pid_t holder_ = -1;     // the process holding the pty's session
};

// Splits what one read() from a packet-mode master returned (length >= 1)
// into a status, its queue flushes decoded, or data.
Packet DecodePacket(const std::uint8_t *buffer, std::size_t length);

} // namespace devsim

#endif
