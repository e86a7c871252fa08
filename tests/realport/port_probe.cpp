// port_probe: runs inside the QEMU guest beside comtrace and records what
// only a real serial driver shows: the modem lines and line settings while
// the program holds the port, and the driver's counters once it has let go.
//
//   port_probe PORT PID [MARK-RX REQUEST]
//
// It opens PORT only after process PID has opened it (a first open would
// raise DTR and RTS by itself) and gone to sleep for the first time (the
// program looks for other holders of the port as it opens it, and would
// find the probe), never reads or writes it, and samples it until PID
// lets go. Given MARK-RX, it writes REQUEST as a line to standard
// error once the driver has received that many bytes, so that a rig can
// act on the line at a known point of the dialogue. Its findings go to
// standard output, one line each:
//
//   probe opened-after-ms N
//   probe intruder errno=N
//   probe mark rx=N after-ms=N
//   probe modem samples=N dtr=N rts=N span-ms=N last=HEX
//   probe termios iflag=HEX oflag=HEX cflag=HEX lflag=HEX ispeed=HEX ospeed=HEX
//   probe program cpu-ms=N
//   probe hangup after-mark-ms=N errno=N
//   probe counters tx=N rx=N frame=N overrun=N parity=N brk=N buf_overrun=N
//   probe counters unavailable errno=N
//   probe error WHAT
//
// A port whose device went away (a USB adapter pulled) is hung up: the
// probe says when it saw that and what the driver answered, stops sampling
// and waits for PID to let go; the counters went with the device. The
// program's processor time is its own account in /proc, read while it
// still held the port.
//
// Right after the probe opens the port, an unprivileged child of it (user
// and group 65534) tries to open the port too, as any other program might:
// errno 0 means it got in, -1 that the attempt could not be made.
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
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

// The first line of a file under /proc; empty when it cannot be read.
std::string FirstLine(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return std::string();
    }
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    (void)std::fclose(file); // read-only: nothing to lose
    return read ? std::string(line) : std::string();
}

// Whether process pid is blocked in clock_nanosleep, as /proc tells it.
bool Sleeping(const std::string &pid)
{
    const std::string line = FirstLine("/proc/" + pid + "/syscall");
    char *end = nullptr;
    const long number = std::strtol(line.c_str(), &end, 10);
    return end != line.c_str() && number == SYS_clock_nanosleep;
}

// The processor time (user and system) process pid has used, in ms; -1
// when it cannot be read.
long ProcessorMs(const std::string &pid)
{
    // After the name in parentheses (which may hold spaces) come the state,
    // ten numbers, then utime and stime in clock ticks.
    constexpr int UserField = 10;
    const std::string line = FirstLine("/proc/" + pid + "/stat");
    const std::size_t afterName = line.rfind(')');
    if (afterName == std::string::npos || afterName + 3 >= line.size()) {
        return -1;
    }
    const char *field = line.c_str() + afterName + 3; // past ") S"
    unsigned long ticks[UserField + 2] = {};
    for (unsigned long &value : ticks) {
        char *end = nullptr;
        value = std::strtoul(field, &end, 10);
        if (end == field) {
            return -1;
        }
        field = end;
    }
    const long perSecond = sysconf(_SC_CLK_TCK);
    return perSecond > 0 ? static_cast<long>((ticks[UserField] + ticks[UserField + 1]) * 1000 /
                                             static_cast<unsigned long>(perSecond))
                         : -1;
}

// Whether the port behind fd has been hung up under its openers.
bool HungUp(int fd)
{
    pollfd state{fd, 0, 0};
    return poll(&state, 1, 0) == 1 && (state.revents & POLLHUP) != 0;
}

// What an open of path by an unprivileged user fails with; 0 when it
// succeeds, -1 when the attempt could not be made.
int IntruderErrno(const char *path)
{
    constexpr uid_t Nobody = 65534;
    constexpr int CannotDrop = 255;
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0) {
            _exit(CannotDrop);
        }
        const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        _exit(fd >= 0 ? 0 : errno & 0x7F); // the descriptor closes with the child
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != CannotDrop ? WEXITSTATUS(status) : -1;
}

// Waits until process pid has opened the port and gone to sleep for the
// first time: the bring-up's settling wait, which comes after its open has
// looked for other holders. Says whether it holds the port then.
Holding WaitForProgram(const std::string &pid, dev_t device)
{
    const long long started = NowMs();
    Holding holding = ProcessHolds(pid, device);
    while (holding == Holding::No && NowMs() - started < OpenWaitMs) {
        SleepMs(1);
        holding = ProcessHolds(pid, device);
    }
    while (holding == Holding::Yes && !Sleeping(pid) && NowMs() - started < OpenWaitMs) {
        SleepMs(1);
        holding = ProcessHolds(pid, device);
    }
    return holding;
}

// What the probe saw while the program held the port.
struct Watch {
    long samples = 0;
    long dtr = 0;
    long rts = 0;
    int lines = 0;
    termios settings{};
    bool haveSettings = false;
    long processorMs = -1;
    long long firstSample = 0;
    long long lastSample = 0;
    long long markedAt = -1;
    long long hungUpAt = -1;
    int hangupErrno = 0;
    std::string failure; // why the watch stopped early; empty when it did not
};

// One look at the port: modem lines, settings and (when needed) counters.
struct Sample {
    int lines = 0;
    termios settings{};
    serial_icounter_struct counts{};
    int error = 0; // errno of the first call that failed; 0 when none did
};

Sample TakeSample(int fd, bool withCounts)
{
    Sample sample;
    if (ioctl(fd, TIOCMGET, &sample.lines) != 0 || tcgetattr(fd, &sample.settings) != 0 ||
        (withCounts && ioctl(fd, TIOCGICOUNT, &sample.counts) != 0)) {
        sample.error = errno;
    }
    return sample;
}

// Samples the port until process pid lets go of it; once the driver has
// received markRx bytes, writes request to standard error. A hung-up port
// is only watched for the program's release.
Watch WatchPort(int fd, const std::string &pid, dev_t device, long markRx, const char *request)
{
    Watch watch;
    watch.firstSample = NowMs();
    watch.lastSample = watch.firstSample;
    for (;; SleepMs(SampleMs)) {
        const Sample sample = watch.hungUpAt < 0 ? TakeSample(fd, markRx >= 0) : Sample();
        const long used = ProcessorMs(pid);
        // A sample counts only if the program still held the port after it
        // was taken: the one after its close belongs to nobody's dialogue.
        if (ProcessHolds(pid, device) != Holding::Yes) {
            return watch;
        }
        watch.processorMs = used >= 0 ? used : watch.processorMs;
        watch.lastSample = NowMs();
        if (watch.hungUpAt >= 0) {
            continue;
        }
        if (sample.error != 0 && HungUp(fd)) {
            watch.hungUpAt = watch.lastSample;
            watch.hangupErrno = sample.error;
            continue;
        }
        if (sample.error != 0) {
            watch.failure = std::string("sample ") + std::strerror(sample.error);
            return watch;
        }
        ++watch.samples;
        watch.dtr += (sample.lines & TIOCM_DTR) != 0 ? 1 : 0;
        watch.rts += (sample.lines & TIOCM_RTS) != 0 ? 1 : 0;
        watch.lines = sample.lines;
        watch.settings = sample.settings;
        watch.haveSettings = true;
        if (watch.markedAt < 0 && markRx >= 0 && sample.counts.rx >= markRx) {
            watch.markedAt = watch.lastSample;
            (void)std::fprintf(stderr, "%s\n", request); // the rig reads it; unbuffered
            std::printf("probe mark rx=%d after-ms=%lld\n", sample.counts.rx, watch.markedAt - watch.firstSample);
        }
    }
}

void ReportWatch(const Watch &watch)
{
    std::printf("probe modem samples=%ld dtr=%ld rts=%ld span-ms=%lld last=%X\n", watch.samples, watch.dtr, watch.rts,
                watch.lastSample - watch.firstSample, static_cast<unsigned>(watch.lines));
    if (watch.haveSettings) {
        const termios &settings = watch.settings;
        std::printf("probe termios iflag=%X oflag=%X cflag=%X lflag=%X ispeed=%X ospeed=%X\n", settings.c_iflag,
                    settings.c_oflag, settings.c_cflag, settings.c_lflag, cfgetispeed(&settings),
                    cfgetospeed(&settings));
    }
    std::printf("probe program cpu-ms=%ld\n", watch.processorMs);
    if (watch.hungUpAt >= 0) {
        std::printf("probe hangup after-mark-ms=%lld errno=%d\n",
                    watch.markedAt >= 0 ? watch.hungUpAt - watch.markedAt : -1, watch.hangupErrno);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        (void)std::fprintf(stderr, "usage: port_probe PORT PID [MARK-RX REQUEST]\n"); // nowhere else to say it
        return 2;
    }
    if (!InRealportGuest()) {
        (void)std::fprintf(stderr, "port_probe: not in a realport guest; not opening any port\n"); // nowhere else
        return Refused;
    }
    const char *portPath = argv[1];
    const std::string pid = argv[2];
    const long markRx = argc == 5 ? std::strtol(argv[3], nullptr, 10) : -1;
    const char *request = argc == 5 ? argv[4] : nullptr;
    struct stat port {};
    if (stat(portPath, &port) != 0 || !S_ISCHR(port.st_mode)) {
        return Fail(std::string("no-port ") + portPath);
    }

    const long long started = NowMs();
    const Holding holding = WaitForProgram(pid, port.st_rdev);
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
    std::printf("probe intruder errno=%d\n", IntruderErrno(portPath));
    const Watch watch = WatchPort(fd, pid, port.st_rdev, markRx, request);
    if (!watch.failure.empty()) {
        return Fail(watch.failure);
    }
    ReportWatch(watch);

    serial_icounter_struct counters{};
    if (ioctl(fd, TIOCGICOUNT, &counters) != 0) {
        const int error = errno;
        (void)close(fd); // only ever read from: nothing to lose
        if (watch.hungUpAt < 0) {
            return Fail(std::string("TIOCGICOUNT ") + std::strerror(error));
        }
        std::printf("probe counters unavailable errno=%d\n", error);
        return 0;
    }
    std::printf("probe counters tx=%d rx=%d frame=%d overrun=%d parity=%d brk=%d buf_overrun=%d\n", counters.tx,
                counters.rx, counters.frame, counters.overrun, counters.parity, counters.brk, counters.buf_overrun);
    // The descriptor was only ever read from; nothing is lost if closing fails.
    (void)close(fd);
    return 0;
}
