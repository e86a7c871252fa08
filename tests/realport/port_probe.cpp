// port_probe: runs inside the QEMU guest beside comtrace and records what
// only a real serial driver shows: the modem lines and line settings while
// the program holds the port, and the driver's counters once it has let go.
//
//   port_probe PORT PID
//
// It opens PORT only after process PID has opened it (a first open would
// raise DTR and RTS by itself), never reads or writes it, and samples it
// until PID lets go. Its findings go to standard output, one line each:
//
//   probe opened-after-ms N
//   probe modem samples=N dtr=N rts=N span-ms=N last=HEX
//   probe termios iflag=HEX oflag=HEX cflag=HEX lflag=HEX ispeed=HEX ospeed=HEX
//   probe counters tx=N rx=N frame=N overrun=N parity=N brk=N buf_overrun=N
//   probe error WHAT
//
// The flags and speeds are the raw termios values of the guest's C
// library; the test decodes them with the same constants.
//
// It runs only in the guest run_guest.sh boots (its kernel command line
// names realport=MODE): on any other machine PORT may be a live serial
// line or the system console, which it has no business opening.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int Refused = 99;
constexpr long SampleMs = 50;
// Time the program has to open the port after it starts; the bring-up
// opens it first thing.
constexpr long OpenWaitMs = 60000;

long long NowMs()
{
    timespec now{};
    // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(long millis)
{
    timespec wait{millis / 1000, (millis % 1000) * 1000000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

int Fail(const std::string &what)
{
    std::printf("probe error %s\n", what.c_str());
    return 1;
}

bool InRealportGuest()
{
    std::FILE *file = std::fopen("/proc/cmdline", "r");
    if (file == nullptr) {
        return false;
    }
    char line[4096] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    (void)std::fclose(file); // read-only: nothing to lose
    return read && std::strstr(line, " realport=") != nullptr;
}

enum class Holding { Yes, No, Gone };

// Whether process pid has a descriptor open on the character device
// device, told from the devices its descriptors lead to, whatever name
// (a bind mount, say) it opened them by.
Holding ProcessHolds(const std::string &pid, dev_t device)
{
    const std::string folder = "/proc/" + pid + "/fd";
    DIR *descriptors = opendir(folder.c_str());
    if (descriptors == nullptr) {
        return Holding::Gone;
    }
    Holding holds = Holding::No;
    // Single-threaded, and readdir_r is deprecated in its favour.
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(descriptors)) {
        struct stat target {};
        if (entry->d_name[0] != '.' && stat((folder + "/" + entry->d_name).c_str(), &target) == 0 &&
            S_ISCHR(target.st_mode) && target.st_rdev == device) {
            holds = Holding::Yes;
            break;
        }
    }
    closedir(descriptors);
    return holds;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: port_probe PORT PID\n"); // nowhere else to say it
        return 2;
    }
    if (!InRealportGuest()) {
        (void)std::fprintf(stderr, "port_probe: not in a realport guest; not opening any port\n"); // nowhere else
        return Refused;
    }
    const char *portPath = argv[1];
    const std::string pid = argv[2];
    struct stat port {};
    if (stat(portPath, &port) != 0 || !S_ISCHR(port.st_mode)) {
        return Fail(std::string("no-port ") + portPath);
    }

    const long long started = NowMs();
    Holding holding = ProcessHolds(pid, port.st_rdev);
    while (holding == Holding::No && NowMs() - started < OpenWaitMs) {
        SleepMs(1);
        holding = ProcessHolds(pid, port.st_rdev);
    }
    if (holding != Holding::Yes) {
        return Fail(holding == Holding::Gone ? "program-ended-before-opening" : "program-never-opened");
    }
    std::printf("probe opened-after-ms %lld\n", NowMs() - started);

    // Nonblocking, so that an open with the modem lines down and CLOCAL
    // off cannot wait for carrier.
    const int fd = open(portPath, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(std::string("open ") + std::strerror(errno));
    }
    long samples = 0;
    long dtr = 0;
    long rts = 0;
    int lines = 0;
    termios settings{};
    bool haveSettings = false;
    const long long firstSample = NowMs();
    long long lastSample = firstSample;
    for (;;) {
        int now = 0;
        termios current{};
        const bool linesRead = ioctl(fd, TIOCMGET, &now) == 0;
        const bool settingsRead = tcgetattr(fd, &current) == 0;
        // A sample counts only if the program still held the port after it
        // was taken: the one after its close belongs to nobody's dialogue.
        if (ProcessHolds(pid, port.st_rdev) != Holding::Yes) {
            break;
        }
        if (!linesRead || !settingsRead) {
            return Fail(std::string("sample ") + std::strerror(errno));
        }
        ++samples;
        dtr += (now & TIOCM_DTR) != 0 ? 1 : 0;
        rts += (now & TIOCM_RTS) != 0 ? 1 : 0;
        lines = now;
        settings = current;
        haveSettings = true;
        lastSample = NowMs();
        SleepMs(SampleMs);
    }
    std::printf("probe modem samples=%ld dtr=%ld rts=%ld span-ms=%lld last=%X\n", samples, dtr, rts,
                lastSample - firstSample, static_cast<unsigned>(lines));
    if (haveSettings) {
        std::printf("probe termios iflag=%X oflag=%X cflag=%X lflag=%X ispeed=%X ospeed=%X\n", settings.c_iflag,
                    settings.c_oflag, settings.c_cflag, settings.c_lflag, cfgetispeed(&settings),
                    cfgetospeed(&settings));
    }

    serial_icounter_struct counters{};
    if (ioctl(fd, TIOCGICOUNT, &counters) != 0) {
        return Fail(std::string("TIOCGICOUNT ") + std::strerror(errno));
    }
    std::printf("probe counters tx=%d rx=%d frame=%d overrun=%d parity=%d brk=%d buf_overrun=%d\n", counters.tx,
                counters.rx, counters.frame, counters.overrun, counters.parity, counters.brk, counters.buf_overrun);
    // The descriptor was only ever read from; nothing is lost if closing fails.
    (void)close(fd);
    return 0;
}
