// The line's transports through the one interface the device loop uses:
// each row of the table is a transport, with the program's end opened as
// the program would open it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "devsim/pty_link.h"
#include "devsim/socket_link.h"
#include "scratch.h"

namespace devsim {
namespace {

constexpr int WaitMs = 2000;

bool Readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, WaitMs) == 1;
}

// Reads count bytes from fd, however they are split; fewer if they do not come.
std::size_t ReadBytes(int fd, std::size_t count)
{
    std::size_t got = 0;
    std::uint8_t buffer[64];
    while (got < count && Readable(fd)) {
        const ssize_t part = read(fd, buffer, std::min(sizeof buffer, count - got));
        if (part <= 0) {
            break;
        }
        got += static_cast<std::size_t>(part);
    }
    return got;
}

// name and reportsFlushes are read through GetParam() and the name
// generator, which cppcheck does not follow.
struct Transport {
    // cppcheck-suppress unusedStructMember
    const char *name;
    // Opens the link and the program's end of it; returns that end's
    // descriptor, or -1 with the test failed.
    std::function<int(std::unique_ptr<Link> &)> open;
    // cppcheck-suppress unusedStructMember
    bool reportsFlushes;
};

int OpenPty(std::unique_ptr<Link> &link)
{
    auto pty = std::make_unique<PtyLink>();
    const std::string problem = pty->Open(true);
    EXPECT_EQ(problem, "");
    const int program = problem.empty() ? open(pty->StandInPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    link = std::move(pty);
    return program;
}

int OpenSocket(std::unique_ptr<Link> &link)
{
    const std::string path = support::TempPath("devsim", "link.sock");
    auto socketLink = std::make_unique<SocketLink>();
    EXPECT_EQ(socketLink->Listen(path), "");
    EXPECT_TRUE(socketLink->AwaitsPeer() && !socketLink->IsOpen());
    const int program = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (void)std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(connect(program, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    EXPECT_TRUE(Readable(socketLink->Descriptor()));
    socketLink->AcceptPeer();
    EXPECT_FALSE(socketLink->AwaitsPeer());
    link = std::move(socketLink);
    return program;
}

class Links : public ::testing::TestWithParam<Transport> {};

TEST_P(Links, CarryBytesBothWaysTellWhenTheyAreReadAndHangUp)
{
    std::unique_ptr<Link> link;
    const int program = GetParam().open(link);
    ASSERT_GE(program, 0);
    ASSERT_TRUE(link->IsOpen());

    const std::uint8_t request[] = {0x02, 0x50, 0x11};
    ASSERT_EQ(write(program, request, sizeof request), static_cast<ssize_t>(sizeof request));
    ASSERT_TRUE(Readable(link->Descriptor()));
    std::uint8_t buffer[64];
    Packet packet;
    ASSERT_EQ(link->Receive(buffer, sizeof buffer, packet), GetParam().reportsFlushes ? 4 : 3);
    EXPECT_FALSE(packet.isStatus);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.data, packet.data + packet.size),
              std::vector<std::uint8_t>(request, request + sizeof request));

    const std::uint8_t reply[] = {0x06, 0x13};
    ASSERT_EQ(link->Send(reply, sizeof reply), 2);
    EXPECT_FALSE(link->FarEndTookEverything());
    ASSERT_EQ(ReadBytes(program, sizeof reply), sizeof reply);
    EXPECT_TRUE(link->FarEndTookEverything());

    if (GetParam().reportsFlushes) {
        ASSERT_EQ(tcflush(program, TCIFLUSH), 0);
        ASSERT_TRUE(Readable(link->Descriptor()));
        ASSERT_EQ(link->Receive(buffer, sizeof buffer, packet), 1);
        EXPECT_TRUE(packet.isStatus && packet.inputFlushed);
    }

    link->Close();
    EXPECT_FALSE(link->IsOpen());
    ASSERT_TRUE(Readable(program)) << "the program's end saw nothing of the hangup";
    EXPECT_LE(read(program, buffer, sizeof buffer), 0);
    close(program);
}

INSTANTIATE_TEST_SUITE_P(Transports, Links,
                         ::testing::Values(Transport{"Pty", OpenPty, true}, Transport{"Socket", OpenSocket, false}),
                         [](const ::testing::TestParamInfo<Transport> &info) { return info.param.name; });

} // namespace
} // namespace devsim
