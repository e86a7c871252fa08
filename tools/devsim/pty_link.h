// The pty that stands in for the serial line: the program gets the slave
// (as /dev/ttyS0), the device works the master.
#ifndef COMTRACE_DEVSIM_PTY_LINK_H
#define COMTRACE_DEVSIM_PTY_LINK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace devsim {

struct PtyLink {
    int master = -1;       // nonblocking, packet mode, close-on-exec
    int slave = -1;        // devsim's own slave descriptor, close-on-exec
    std::string slavePath; // /dev/pts/N
};

// Creates a pty pair. The master is put in packet mode so that the
// program's queue flushes show up as status bytes; devsim keeps a slave
// descriptor (opened O_NOCTTY) so the pty lives on while the program opens
// and closes its end. The slave keeps the kernel's default terminal
// settings unless raw is set, then it is made fully raw with all software
// flow control off. Returns an empty string on success, else what failed
// (nothing is left open then).
std::string OpenPtyLink(bool raw, PtyLink &link);

// Makes the pty the controlling terminal of a session of its own, held by
// a small child process that ignores SIGHUP. A pty can belong to one
// session only, so no process of the command's can take it over as its
// controlling terminal by opening it (a daemon that called setsid() and
// opens the port without O_NOCTTY, as wineserver does) and then be sent
// SIGHUP when the device hangs up. Call with SIGHUP blocked. Returns an
// empty string and the holder's pid, else what failed.
std::string HoldControllingTerminal(const PtyLink &link, pid_t &holder);

// Turns software flow control on both ways (IXON and IXOFF) on the slave,
// as an earlier program may leave a serial port. Returns an empty string on
// success, else what failed.
std::string TurnOnSoftwareFlowControl(const PtyLink &link);

// Ends the holder started by HoldControllingTerminal and reaps it.
void ReleaseControllingTerminal(pid_t holder);

// Closes both descriptors that are still open; the program's end of the
// pty then hangs up.
void ClosePtyLink(PtyLink &link);

// True when the program has read everything the device sent: nothing
// waits in the slave's input queue. Uses devsim's slave descriptor, which
// it never reads from.
bool SlaveInputDrained(const PtyLink &link);

// One read from a packet-mode master: either a status byte (flush, flow
// control) or data.
struct Packet {
    bool isStatus = false;
    std::uint8_t status = 0; // TIOCPKT_* bits when isStatus
    const std::uint8_t *data = nullptr;
    std::size_t size = 0; // data bytes when !isStatus
};

// Splits what one read() from the master returned (length >= 1).
Packet DecodePacket(const std::uint8_t *buffer, std::size_t length);

} // namespace devsim

#endif
