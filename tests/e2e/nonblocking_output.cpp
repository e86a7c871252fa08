// Runs a command with its standard output in non-blocking mode, as some
// launchers and script runtimes hand it to their children: a write the
// reader cannot take yet fails with EAGAIN instead of waiting.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        (void)std::fprintf(stderr, "usage: nonblocking_output COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) {
        (void)std::fprintf(stderr, "nonblocking_output: %s\n", std::strerror(errno));
        return 2;
    }
    execv(argv[1], argv + 1);
    (void)std::fprintf(stderr, "nonblocking_output: %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
