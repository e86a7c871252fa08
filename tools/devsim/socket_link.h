// The serial line carried over a Unix stream socket instead of a pty, for a
// command that presents a real serial port of its own, such as QEMU with
// its socket character device: devsim listens, the command connects once,
// and the bytes of the line travel over that connection. Nothing but data
// crosses it: no modem lines, no breaks and no queue flushes.
#ifndef COMTRACE_DEVSIM_SOCKET_LINK_H
#define COMTRACE_DEVSIM_SOCKET_LINK_H

#include <string>

namespace devsim {

// Creates a Unix stream socket listening at path (nonblocking,
// close-on-exec, one pending connection). An existing file at path is
// left alone and reported. Returns an empty string and the listener, else
// what failed (nothing is left open or created then).
std::string ListenOnSocket(const std::string &path, int &listener);

// Takes the pending connection as the line: nonblocking, close-on-exec.
// Returns its descriptor, else -1 with errno set (EAGAIN: none pending).
int AcceptLine(int listener);

// True when the peer has read everything written to the connection, or
// when that cannot be told (waiting on it could last for ever).
bool PeerTookEverything(int connection);

// Writes as write() does, but a peer that has gone makes it fail with
// EPIPE instead of raising SIGPIPE.
long SendToPeer(int connection, const void *data, unsigned long size);

// Closes the listener, if open, and removes the socket file devsim made.
void StopListening(const std::string &path, int &listener);

} // namespace devsim

#endif
