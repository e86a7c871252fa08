// devsim_probe: a quick stand-in for the program under test, run by the
// devsim process tests as devsim's COMMAND. It talks to /dev/ttyS0 without
// the real program's pacing and checks what the device answers.
//
// It must only ever reach devsim's pty: before opening /dev/ttyS0 it makes
// sure, from /proc/self/mountinfo alone, that a devpts node is mounted
// there, and after opening it checks the descriptor is a pty slave.
// Otherwise it stops with status 99 before writing anything.
//
//   devsim_probe dialogue [OPTIONS]  the whole dialogue, every reply checked
//                                    against the device model for the devsim
//                                    OPTIONS given
//   devsim_probe vanish N            the dialogue up to block N and its ACK,
//                                    then expect the line to hang up
//   devsim_probe flush               purge both queues, 100 ms, purge output,
//                                    200 ms, send 02
//   devsim_probe send [--exit N] HEX...  send the bytes, print what comes
//                                    back within 100 ms, exit N
//
// With --connect PATH before the mode, the probe talks over the Unix
// stream socket devsim listens on at PATH (devsim --socket) instead; it
// then never looks at /dev/ttyS0, and a hang-up is the connection closing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "devsim/device.h"
#include "devsim/event_log.h"
#include "devsim/options.h"

namespace {

constexpr int Mismatch = 1;
constexpr int Usage = 2;
constexpr int Refused = 99;
// Unix98 pty slaves use majors 136 to 143.
constexpr unsigned PtySlaveMajorFirst = 136;
constexpr unsigned PtySlaveMajorLast = 143;

using devsim::Bytes;

[[noreturn]] void Stop(int status, const std::string &message)
{
    (void)std::fprintf(stderr, "devsim_probe: %s\n", message.c_str()); // stderr is where it would be said
    std::exit(status);
}

// Reads a whole number in the given base (10, or 16 for bytes) no larger
// than limit; stops with a usage error otherwise.
unsigned long ParseArgument(const std::string &text, int base, unsigned long limit)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > limit) {
        Stop(Usage, "not a number up to " + std::to_string(limit) + ": '" + text + "'");
    }
    return value;
}

void SleepMs(long millis)
{
    timespec wait{millis / 1000, (millis % 1000) * 1000000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// True when the topmost mount at /dev/ttyS0 is a devpts node: devsim's
// bind mount. Reads only mountinfo; the path itself is not touched.
bool PortIsStandIn()
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    std::string fsType;
    while (std::getline(mountinfo, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::vector<std::string> fields;
        std::size_t start = 0;
        while (start <= line.size()) {
            const std::size_t end = line.find(' ', start);
            fields.push_back(line.substr(start, end - start));
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        if (fields.size() < 7 || fields[4] != "/dev/ttyS0") {
            continue;
        }
        for (std::size_t i = 6; i + 1 < fields.size(); ++i) {
            if (fields[i] == "-") {
                fsType = fields[i + 1];
                break;
            }
        }
    }
    return fsType == "devpts";
}

// --connect: the socket devsim plays the device on, or empty.
std::string ConnectPath;

int ConnectToDevice()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (ConnectPath.size() >= sizeof address.sun_path) {
        Stop(Usage, "socket path too long: " + ConnectPath);
    }
    std::memcpy(address.sun_path, ConnectPath.c_str(), ConnectPath.size() + 1);
    const int line = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (line < 0 || connect(line, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        Stop(Refused, "cannot connect to " + ConnectPath + ": " + std::strerror(errno));
    }
    return line;
}

int OpenStandIn()
{
    if (!ConnectPath.empty()) {
        return ConnectToDevice();
    }
    if (!PortIsStandIn()) {
        Stop(Refused, "/dev/ttyS0 is not devsim's pty here; not opening it");
    }
    const int port = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        Stop(Refused, std::string("cannot open /dev/ttyS0: ") + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(port, &info) != 0 || !S_ISCHR(info.st_mode) || major(info.st_rdev) < PtySlaveMajorFirst ||
        major(info.st_rdev) > PtySlaveMajorLast || !isatty(port)) {
        close(port);
        Stop(Refused, "/dev/ttyS0 is not a pty slave; not using it");
    }
    termios settings{};
    if (tcgetattr(port, &settings) != 0) {
        Stop(Refused, "cannot read the port's settings");
    }
    cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(port, TCSANOW, &settings) != 0) {
        Stop(Refused, "cannot make the port raw");
    }
    return port;
}

void Send(int port, const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        // send() on the socket, so that a closed line fails rather than
        // raising SIGPIPE.
        const ssize_t written = ConnectPath.empty()
                                    ? write(port, bytes.data() + done, bytes.size() - done)
                                    : send(port, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (written < 0) {
            Stop(Mismatch, std::string("write failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(written);
    }
}

// Reads until count bytes have come or timeoutMs has passed; returns what came.
Bytes Receive(int port, std::size_t count, int timeoutMs)
{
    Bytes got;
    const long long deadline = devsim::MonotonicUs() + static_cast<long long>(timeoutMs) * 1000;
    while (got.size() < count) {
        const long long left = deadline - devsim::MonotonicUs();
        if (left <= 0) {
            break;
        }
        pollfd fd{port, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>((left + 999) / 1000)) <= 0) {
            continue;
        }
        std::uint8_t buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - got.size());
        const ssize_t n = read(port, buffer, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

devsim::DeviceOptions ModelOptions(const std::vector<std::string> &arguments)
{
    devsim::Options options;
    std::vector<std::string> withCommand = arguments;
    withCommand.push_back("--");
    withCommand.push_back("probe");
    std::string problem = devsim::ParseOptions(withCommand, options);
    if (problem.empty() && !options.imagePath.empty()) {
        problem = devsim::LoadImage(options.imagePath, options.device.image);
    }
    if (problem.empty() && !options.replayPath.empty()) {
        std::vector<Bytes> collections;
        problem = devsim::LoadReplay(options.replayPath, collections);
        options.device.replay = std::move(collections);
    }
    if (!problem.empty()) {
        Stop(Usage, problem);
    }
    return options.device;
}

// Sends one exchange's request and checks its reply chunk by chunk: each
// complete, in order, and none before its time.
void RunExchange(int port, const devsim::Exchange &exchange)
{
    const long long sentAt = devsim::MonotonicUs();
    Send(port, exchange.sent);
    for (const devsim::ReplyChunk &chunk : exchange.reply) {
        const Bytes got = Receive(port, chunk.bytes.size(), static_cast<int>(chunk.afterMs) + 2000);
        const long long elapsedMs = (devsim::MonotonicUs() - sentAt) / 1000;
        if (got != chunk.bytes) {
            Stop(Mismatch, "reply to the " + devsim::DescribeExchange(exchange) + ": expected " +
                               devsim::FormatHex(chunk.bytes) + ", got " + devsim::FormatHex(got));
        }
        if (elapsedMs < chunk.afterMs) {
            Stop(Mismatch, "reply to the " + devsim::DescribeExchange(exchange) + " came after " +
                               std::to_string(elapsedMs) + " ms, not " + std::to_string(chunk.afterMs));
        }
    }
}

int RunDialogue(const std::vector<std::string> &arguments)
{
    const std::vector<devsim::Exchange> dialogue = devsim::BuildDialogue(ModelOptions(arguments));
    const int port = OpenStandIn();
    for (const devsim::Exchange &exchange : dialogue) {
        RunExchange(port, exchange);
    }
    const Bytes extra = Receive(port, 1, 100);
    if (!extra.empty()) {
        Stop(Mismatch, "unexpected byte " + devsim::FormatHex(extra) + " after the end request");
    }
    std::printf("dialogue complete\n");
    return 0;
}

int RunVanish(unsigned lastBlock)
{
    const std::vector<devsim::Exchange> dialogue = devsim::BuildDialogue(devsim::DeviceOptions());
    const int port = OpenStandIn();
    for (const devsim::Exchange &exchange : dialogue) {
        RunExchange(port, exchange);
        if (exchange.request == trace::RequestKind::BlockAck && exchange.block == lastBlock) {
            break;
        }
    }
    if (!ConnectPath.empty()) {
        // Over the socket the hang-up is the connection closing: end of file.
        std::uint8_t byte = 0;
        if (!Receive(port, 1, 2000).empty() || recv(port, &byte, 1, MSG_DONTWAIT) != 0) {
            Stop(Mismatch, "the connection was not closed");
        }
        std::printf("hung up\n");
        return 0;
    }
    // With VMIN and VTIME at 0 a read returns 0 whether or not the line is
    // up, so the hang-up is taken from poll(); after it writes fail with EIO.
    pollfd line{port, POLLIN, 0};
    if (poll(&line, 1, 2000) <= 0 || !(line.revents & POLLHUP)) {
        Stop(Mismatch, "the line did not hang up");
    }
    std::uint8_t byte = 0;
    const ssize_t got = read(port, &byte, 1);
    if (got != 0) {
        Stop(Mismatch, "a read after the hang-up did not return end of file");
    }
    const std::uint8_t ack = devsim::Ack;
    if (write(port, &ack, 1) != -1 || errno != EIO) {
        Stop(Mismatch, "a write after the hang-up did not fail with EIO");
    }
    std::printf("hung up\n");
    return 0;
}

int RunFlush()
{
    const int port = OpenStandIn();
    if (tcflush(port, TCIOFLUSH) != 0) {
        Stop(Mismatch, "tcflush failed");
    }
    SleepMs(100);
    if (tcflush(port, TCOFLUSH) != 0) {
        Stop(Mismatch, "tcflush failed");
    }
    SleepMs(200);
    Send(port, Bytes{0x02});
    return 0;
}

int RunSend(std::vector<std::string> arguments)
{
    int status = 0;
    if (arguments.size() >= 2 && arguments[0] == "--exit") {
        status = static_cast<int>(ParseArgument(arguments[1], 10, 255));
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    Bytes bytes(arguments.size());
    std::transform(arguments.begin(), arguments.end(), bytes.begin(),
                   [](const std::string &hex) { return static_cast<std::uint8_t>(ParseArgument(hex, 16, 0xFF)); });
    const int port = OpenStandIn();
    Send(port, bytes);
    std::printf("%s\n", devsim::FormatHex(Receive(port, 4096, 100)).c_str());
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        Stop(Usage, "usage: devsim_probe dialogue|vanish|flush|send ...");
    }
    int first = 1;
    if (std::string(argv[1]) == "--connect" && argc >= 4) {
        ConnectPath = argv[2];
        first = 3;
    }
    const std::string mode = argv[first];
    const std::vector<std::string> rest(argv + first + 1, argv + argc);
    if (mode == "dialogue") {
        return RunDialogue(rest);
    }
    if (mode == "vanish" && rest.size() == 1) {
        return RunVanish(static_cast<unsigned>(ParseArgument(rest[0], 10, devsim::BlockCount - 1)));
    }
    if (mode == "flush") {
        return RunFlush();
    }
    if (mode == "send") {
        return RunSend(rest);
    }
    Stop(Usage, "unknown mode " + mode);
}
