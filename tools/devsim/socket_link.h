// The serial line carried over a Unix stream socket instead of a pty, for a
// command that presents a real serial port of its own, such as QEMU with
// its socket character device: devsim listens, the command connects once,
// and the bytes of the line travel over that connection. Nothing but data
// crosses it: no modem lines, no breaks and no queue flushes.
#ifndef COMTRACE_DEVSIM_SOCKET_LINK_H
#define COMTRACE_DEVSIM_SOCKET_LINK_H

#include <string>

#include "link.h"

namespace devsim {

class SocketLink final : public Link {
public:
    SocketLink() = default;
    // Closes the connection and the listener, and removes the socket file
    // devsim made.
    ~SocketLink() override;

    // Creates a Unix stream socket listening at path (nonblocking,
    // close-on-exec, one pending connection). An existing file at path is
    // left alone and reported. Returns an empty string on success, else
    // what failed (nothing is left open or created then).
    [[nodiscard]] std::string Listen(const std::string &path);

    bool IsOpen() const override { return connection_ >= 0; }
    // True while the link waits for its far end to connect; only the first
    // connection becomes the line.
    bool AwaitsPeer() const { return awaitingPeer_; }
    // While open, the connection; while awaiting the far end, the listener.
    int Descriptor() const override { return IsOpen() ? connection_ : awaitingPeer_ ? listener_ : -1; }
    // Takes the far end's pending connection. A failure other than none
    // pending is reported on stderr and ends the wait for one.
    void AcceptPeer();
    // A socket carries data alone. While awaiting the far end, takes its
    // connection first, if it is there.
    long Receive(std::uint8_t *buffer, std::size_t size, Packet &packet) override;
    long Send(const std::uint8_t *data, std::size_t size) override;
    // End of file is the command closing its end, usually because it is
    // ending.
    ReadFailure ReportFailedRead(long got) override;
    // The device can only know that the command took the bytes, not
    // whether the program behind it has read them.
    bool FarEndTookEverything() const override;
    void Close() override;

private:
    void StopListening();

    std::string path_;
    int listener_ = -1;
    int connection_ = -1;
    bool awaitingPeer_ = false; // listening, no connection accepted yet
};

} // namespace devsim

#endif
