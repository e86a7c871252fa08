#include "socket_link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace devsim {

SocketLink::~SocketLink()
{
    Close();
    StopListening();
}

std::string SocketLink::Listen(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return "the socket path " + path + " must be 1 to " + std::to_string(sizeof address.sun_path - 1) +
               " characters long";
    }
    // bind() would refuse an existing path too, but a plain file there is
    // worth naming rather than reporting as "address in use".
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        return path + " already exists; devsim makes the socket itself";
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return std::string("cannot create a socket: ") + std::strerror(errno);
    }
    if (bind(listener_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::string problem = "cannot bind a socket to " + path + ": " + std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return problem;
    }
    path_ = path;
    if (listen(listener_, 1) != 0) {
        std::string problem = "cannot listen on " + path + ": " + std::strerror(errno);
        StopListening();
        return problem;
    }
    awaitingPeer_ = true;
    return std::string();
}

void SocketLink::AcceptPeer()
{
    while ((connection_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (connection_ >= 0) {
        awaitingPeer_ = false;
        return;
    }
    // A connection given up before it was accepted leaves nothing to take.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
        (void)std::fprintf(stderr, "devsim: cannot accept the connection: %s\n", std::strerror(errno));
        awaitingPeer_ = false;
    }
}

long SocketLink::Receive(std::uint8_t *buffer, std::size_t size, Packet &packet)
{
    if (awaitingPeer_) {
        AcceptPeer();
    }
    if (!IsOpen()) {
        errno = EAGAIN;
        return -1;
    }
    const ssize_t got = read(connection_, buffer, size);
    if (got > 0) {
        packet = Packet{false, false, false, buffer, static_cast<std::size_t>(got)};
    }
    return got;
}

long SocketLink::Send(const std::uint8_t *data, std::size_t size)
{
    return send(connection_, data, size, MSG_NOSIGNAL);
}

ReadFailure SocketLink::ReportFailedRead(long got)
{
    if (got < 0) {
        (void)std::fprintf(stderr, "devsim: the connection failed (%s)\n", std::strerror(errno));
    }
    return ReadFailure::PeerLeft;
}

bool SocketLink::FarEndTookEverything() const
{
    // For a Unix stream socket SIOCOUTQ counts what the peer has not read yet.
    int unread = 0;
    if (ioctl(connection_, SIOCOUTQ, &unread) != 0) {
        return true;
    }
    return unread == 0;
}

void SocketLink::Close()
{
    if (connection_ >= 0) {
        close(connection_);
    }
    connection_ = -1;
}

void SocketLink::StopListening()
{
    if (listener_ < 0) {
        return;
    }
    close(listener_);
    listener_ = -1;
    awaitingPeer_ = false;
    // A socket file someone else removed already is no loss.
    (void)unlink(path_.c_str());
}

} // namespace devsim
