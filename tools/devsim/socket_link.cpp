#include "socket_link.h"

#include <cerrno>
#include <cstring>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace devsim {

std::string ListenOnSocket(const std::string &path, int &listener)
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

    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return std::string("cannot create a socket: ") + std::strerror(errno);
    }
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::string problem = "cannot bind a socket to " + path + ": " + std::strerror(errno);
        close(listener);
        listener = -1;
        return problem;
    }
    if (listen(listener, 1) != 0) {
        std::string problem = "cannot listen on " + path + ": " + std::strerror(errno);
        StopListening(path, listener);
        return problem;
    }
    return std::string();
}

int AcceptLine(int listener)
{
    int connection;
    while ((connection = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0 && errno == EINTR) {
    }
    return connection;
}

bool PeerTookEverything(int connection)
{
    // For a Unix stream socket SIOCOUTQ counts what the peer has not read yet.
    int unread = 0;
    if (ioctl(connection, SIOCOUTQ, &unread) != 0) {
        return true;
    }
    return unread == 0;
}

long SendToPeer(int connection, const void *data, unsigned long size)
{
    return send(connection, data, size, MSG_NOSIGNAL);
}

void StopListening(const std::string &path, int &listener)
{
    if (listener < 0) {
        return;
    }
    close(listener);
    listener = -1;
    // A socket file someone else removed already is no loss.
    (void)unlink(path.c_str());
}

} // namespace devsim
