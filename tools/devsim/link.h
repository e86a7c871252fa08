// The line the device talks over, seen from the device's end. devsim has
// one implementation per transport, each in a file of its own: a pty
// (pty_link.h) whose slave stands in for /dev/ttyS0, and a Unix stream
// socket (socket_link.h) for a command that brings its own serial port.
// The device loop works any of them through this interface alone.
#ifndef COMTRACE_DEVSIM_LINK_H
#define COMTRACE_DEVSIM_LINK_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

// What one successful read from a link brought: data, or a status in its
// place (a pty reports so that the program purged a queue; the changes of
// flow control it also reports are no concern of the device's).
struct Packet {
    bool isStatus = false;
    bool inputFlushed = false;  // when isStatus: the program purged its input queue
    bool outputFlushed = false; // when isStatus: ... and its output queue
    const std::uint8_t *data = nullptr;
    std::size_t size = 0; // data bytes when !isStatus
};

// What a read that returned end of file or failed means for the dialogue.
enum class ReadFailure {
    DeviceHangsUp, // the line is unusable: the device hangs up
    PeerLeft,      // the far end closed the line: nothing more can cross it
};

class Link {
public:
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    // Closes whatever the link still holds.
    virtual ~Link() = default;

    // The device file that stands in for /dev/ttyS0 in the command's
    // namespace; empty when the command reaches the line another way.
    virtual std::string StandInPath() const { return std::string(); }

    // True while the link carries bytes between the device and the program.
    virtual bool IsOpen() const = 0;
    // The descriptor to wait on for what Receive takes (and, while open,
    // for room to write); -1 when there is nothing to wait for.
    virtual int Descriptor() const = 0;

    // Reads what the program sent, as read() does (-1 with errno set, 0 at
    // end of file); after a successful read, packet says what came. A link
    // that is not open yet but has a Descriptor() takes what readiness there
    // means (its far end connecting) and fails with EAGAIN when nothing has
    // come over the line.
    virtual long Receive(std::uint8_t *buffer, std::size_t size, Packet &packet) = 0;
    // Writes as write() does; a far end that has gone makes it fail with
    // EPIPE, never raises SIGPIPE.
    virtual long Send(const std::uint8_t *data, std::size_t size) = 0;
    // Says on stderr why a read returned got (0 or -1, with errno), as far
    // as it is worth saying, and what that means for the dialogue.
    virtual ReadFailure ReportFailedRead(long got) = 0;
    // True when the program has read everything the device sent, or when
    // that cannot be told (waiting on it could last for ever).
    virtual bool FarEndTookEverything() const = 0;
    // Closes the line: the program's end sees it hang up. Nothing crosses
    // it afterwards.
    virtual void Close() = 0;
};

// --absent: no line at all; the device stays idle.
class NoLink final : public Link {
public:
    bool IsOpen() const override { return false; }
    int Descriptor() const override { return -1; }
    long Receive(std::uint8_t * /*buffer*/, std::size_t /*size*/, Packet & /*packet*/) override { return NoLine(); }
    long Send(const std::uint8_t * /*data*/, std::size_t /*size*/) override { return NoLine(); }
    ReadFailure ReportFailedRead(long /*got*/) override { return ReadFailure::PeerLeft; }
    bool FarEndTookEverything() const override { return true; }
    void Close() override {}

private:
    static long NoLine()
    {
        errno = EBADF;
        return -1;
    }
};

} // namespace devsim

#endif
