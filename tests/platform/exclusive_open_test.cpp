// The shim's exclusive open (exclusive_open.cpp) against real ptys: a port
// this program holds, another program holds or a lock file names is
// refused, and an open port keeps later openers out. The look for other
// holders is also run against a file system that has stopped answering: a
// FUSE mount whose server never replies, so that anything that looks at a
// file under it waits until the connection is aborted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"
#include "pty_port.h"

namespace platform_tests {
namespace {

TEST_F(Pty, APortAlreadyHeldCannotBeOpenedUntilItIsReleased)
{
    const HANDLE first = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(first));
    const HANDLE second = Open();
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(second));
}

// The parts of the exclusive-open cases below. What runs in a child reports
// through its exit status, never through gtest.
namespace exclusive {

constexpr int NoLaterOpener = -1;
constexpr int Nobody = 65534;
// Exit statuses of a case's child beside the open's error code.
constexpr int Skipped = 250;
constexpr int LaterOpenerBase = 100;

enum class Other { Nobody, Process, FarEnd };
enum class Lock {
    None,
    LiveText,
    LiveBinary,
    Stale,
    InitInFourBytes, // "  1\n": ASCII though four bytes long, naming a process that always runs
    BeyondAnyPid,    // 2^32, which a PID of 32 bits would wrap to 0
    LinkToLive,      // a link to a file that names a running process
};

void WriteFile(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const ssize_t written = fd >= 0 ? write(fd, text.data(), text.size()) : -1;
    EXPECT_TRUE(fd < 0 || close(fd) == 0);
    ASSERT_EQ(written, static_cast<ssize_t>(text.size()));
}

// The PID of a process that has ended.
pid_t EndedProcess()
{
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    EXPECT_EQ(waitpid(gone, nullptr, 0), gone);
    return gone;
}

// A lock file naming the PID, as ten ASCII digits and a newline or as a binary int.
void WriteLockFile(const std::string &path, pid_t owner, bool binary)
{
    char text[16] = {};
    std::size_t size = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(owner)));
    if (binary) {
        const int value = owner;
        std::memcpy(text, &value, sizeof value);
        size = sizeof value;
    }
    WriteFile(path, std::string(text, size));
}

// The lock file of the kind at path; a link points to a file beside it.
void WriteLock(const std::string &path, Lock lock)
{
    switch (lock) {
    case Lock::None:
        break;
    case Lock::LiveText:
    case Lock::LiveBinary:
        // The test itself is another process, and alive.
        WriteLockFile(path, getpid(), lock == Lock::LiveBinary);
        break;
    case Lock::Stale:
        WriteLockFile(path, EndedProcess(), false);
        break;
    case Lock::InitInFourBytes:
        WriteFile(path, "  1\n");
        break;
    case Lock::BeyondAnyPid:
        WriteFile(path, "4294967296\n");
        break;
    case Lock::LinkToLive:
        WriteLockFile(path + ".target", getpid(), false);
        ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
        break;
    }
}

// Starts a process that holds the slave open (and the master too, for the
// pty's far end) until `release` is closed; -1 when it could not.
pid_t StartHolder(const std::string &slavePath, int master, Other other, const int ready[2], const int release[2])
{
    const pid_t holder = fork();
    if (holder == 0) {
        if (other == Other::Process) {
            close(master);
        }
        const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        close(release[1]);
        char byte = slave >= 0 ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1) {
            _exit(1);
        }
        const ssize_t released = read(release[0], &byte, 1); // returns once the case is over
        _exit(released < 0 ? 1 : 0);
    }
    char byte = 0;
    return holder > 0 && read(ready[0], &byte, 1) == 1 && byte == 'y' ? holder : -1;
}

// A plain open of the slave by the user: 0 when it opens, else its errno.
int LaterOpen(const std::string &slavePath, int uid)
{
    const pid_t later = fork();
    if (later == 0) {
        if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) {
            _exit(Skipped);
        }
        const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (later < 0 || waitpid(later, &status, 0) != later || !WIFEXITED(status)) {
        return Skipped;
    }
    return WEXITSTATUS(status);
}

// In a child: opens the port at the slave, or at a file it is bound over
// in a mount namespace of the child's own, with lock files looked for in the
// directory, then lets a later opener try. The exit status is the open's
// error, or LaterOpenerBase plus the later opener's errno.
[[noreturn]] void OpenPortInChild(const std::string &slavePath, int master, const std::string &boundPath,
                                  const char *directory, int laterUid, bool ownPidNamespace)
{
    close(master); // the device's end: holding it would make this process the device

    // A PID namespace without a /proc of its own: getpid() is 1 in it, while
    // /proc shows the process under its outer PID.
    if (ownPidNamespace) {
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(Skipped);
        }
        const pid_t inner = fork();
        if (inner != 0) {
            int status = 0;
            _exit(inner > 0 && waitpid(inner, &status, 0) == inner && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                                        : Skipped);
        }
    }
    std::string path = slavePath;
    if (!boundPath.empty()) {
        const int file = open(boundPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (file < 0 || close(file) != 0 || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(slavePath.c_str(), boundPath.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(Skipped);
        }
        path = boundPath;
    }
    const char *const directories[] = {directory};
    const HANDLE port = win32_over_posix::OpenPort(path.c_str(), directories, 1);
    if (port == INVALID_HANDLE_VALUE) {
        _exit(static_cast<int>(GetLastError()));
    }
    int outcome = 0;
    if (laterUid != NoLaterOpener) {
        const int later = laterUid != 0 && getuid() != 0 ? Skipped : LaterOpen(slavePath, laterUid);
        outcome = later == Skipped ? Skipped : LaterOpenerBase + later;
    }
    _exit(CloseHandle(port) ? outcome : Skipped);
}

// Exit statuses of a stalled-mount case's child, beside Skipped.
constexpr int Passed = 0;
constexpr int Stalled = 251;     // the open waited on the stalled mount
constexpr int NeverWaited = 252; // the look never reached the stalled mount
// How long a look may take before it counts as held up.
constexpr long LookLimitMs = 5000;
constexpr long PollMs = 10;

// A FUSE mount in this process's own mount namespace whose server never
// answers; the folder is "" when one cannot be made (no root, no FUSE).
struct StalledMount {
    int device = -1;
    std::string folder;
};

StalledMount MountStalled()
{
    StalledMount mount;
    char folder[] = "/tmp/comtrace-stalled-XXXXXX";
    if (unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mkdtemp(folder) == nullptr) {
        return mount;
    }
    mount.device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    char options[128];
    (void)std::snprintf(options, sizeof options, "fd=%d,rootmode=40000,user_id=0,group_id=0", mount.device);
    if (mount.device >= 0 && ::mount("stalled", folder, "fuse", MS_NOSUID | MS_NODEV, options) == 0) {
        mount.folder = folder;
    } else {
        (void)rmdir(folder);
    }
    return mount;
}

// Aborts the connection (anything waiting on the mount fails), unmounts it
// and removes its folder.
void Release(StalledMount &mount)
{
    (void)close(mount.device);
    (void)umount2(mount.folder.c_str(), MNT_DETACH);
    (void)rmdir(mount.folder.c_str());
}

long ElapsedMs(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

void PauseMs(long ms)
{
    const timespec pause{0, ms * 1000000};
    nanosleep(&pause, nullptr);
}

// Waits up to the limit for the child; its exit status, or -1 while it runs.
int WaitUpTo(pid_t child, long limitMs)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : Skipped;
        }
        PauseMs(PollMs);
    } while (ElapsedMs(start) < limitMs);
    return -1;
}

// Whether the process sleeps where no signal but SIGKILL wakes it: where a
// look at a stalled FUSE mount leaves it.
bool IsBlocked(pid_t pid)
{
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE *stat = std::fopen(path, "re");
    char state = '?';
    if (stat != nullptr) {
        // "PID (comm) STATE ...": comm is this test's own name.
        (void)std::fscanf(stat, "%*d (%*[^)]) %c", &state);
        (void)std::fclose(stat);
    }
    return state == 'D';
}

// Opens the port at the slave in a child, with the stalled mount's device
// closed so that aborting the connection reaches it; the child's exit
// status is the open's error.
pid_t OpenPortBesideStalledMount(const std::string &slavePath, int master, const StalledMount &mount,
                                 const char *const *lockDirectories, std::size_t lockDirectoryCount)
{
    const pid_t child = fork();
    if (child == 0) {
        (void)close(master);
        (void)close(mount.device);
        const HANDLE port = win32_over_posix::OpenPort(slavePath.c_str(), lockDirectories, lockDirectoryCount);
        _exit(port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : (CloseHandle(port) ? 0 : Skipped));
    }
    return child;
}

// Runs the case in a child with a stalled mount in a mount namespace of
// its own, the slave open to every user (for an unprivileged opener); the
// case's exit status, or Skipped without root or FUSE.
template <typename Case> int RunWithStalledMount(const std::string &slavePath, Case run)
{
    if (chmod(slavePath.c_str(), 0666) != 0) {
        return Skipped;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (getuid() != 0) {
            _exit(Skipped);
        }
        StalledMount mount = MountStalled();
        if (mount.folder.empty()) {
            _exit(Skipped);
        }
        const int outcome = run(mount);
        Release(mount);
        _exit(outcome);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : Skipped;
}

} // namespace exclusive

// Another program that has the port keeps this one out, whether it shows as
// a process holding the device (under any name) or as a UUCP lock file that
// names a live process; once open, the port keeps later openers out, root
// excepted. Each case opens the port in a child of its own, so that a bind
// mount stays private to it.
TEST_F(Pty, APortAnotherProgramHasIsRefusedAndLaterOpenersAreKeptOut)
{
    using namespace exclusive;
    const struct {
        const char *name;
        Other other;                  // holds the slave while the port is opened
        Lock lock;                    // LCK..<the slave's name> in the lock directory
        bool bound;                   // the slave opened as a file it is bound over, named ttyS0
        DWORD openError;              // what the open fails with; 0 when it opens
        int laterUid;                 // a plain open by this user while the port is open
        int laterErrno;               // what that open fails with; 0 when it opens
        bool ownPidNamespace = false; // opened in a PID namespace of its own, /proc the outer one's
    } cases[] = {
        {"nobody else", Other::Nobody, Lock::None, false, 0, NoLaterOpener, 0},
        {"held by another process", Other::Process, Lock::None, false, ERROR_ACCESS_DENIED, NoLaterOpener, 0},
        {"held by the pty's far end, the device", Other::FarEnd, Lock::None, false, 0, NoLaterOpener, 0},
        {"a live lock file in text", Other::Nobody, Lock::LiveText, false, ERROR_ACCESS_DENIED, NoLaterOpener, 0},
        {"a live lock file in binary", Other::Nobody, Lock::LiveBinary, false, ERROR_ACCESS_DENIED, NoLaterOpener, 0},
        {"a stale lock file", Other::Nobody, Lock::Stale, false, 0, NoLaterOpener, 0},
        {"bound over ttyS0", Other::Nobody, Lock::None, true, 0, NoLaterOpener, 0},
        {"bound over ttyS0, held under its own name", Other::Process, Lock::None, true, ERROR_ACCESS_DENIED,
         NoLaterOpener, 0},
        {"bound over ttyS0, a live lock file under its own name", Other::Nobody, Lock::LiveText, true,
         ERROR_ACCESS_DENIED, NoLaterOpener, 0},
        {"bound over ttyS0, a stale lock file under its own name", Other::Nobody, Lock::Stale, true, 0, NoLaterOpener,
         0},
        {"an unprivileged later opener", Other::Nobody, Lock::None, false, 0, Nobody, EBUSY},
        {"root as a later opener", Other::Nobody, Lock::None, false, 0, 0, 0},
        {"a four-byte ASCII lock file naming a running process", Other::Nobody, Lock::InitInFourBytes, false,
         ERROR_ACCESS_DENIED, NoLaterOpener, 0},
        {"a lock file naming a PID beyond any process", Other::Nobody, Lock::BeyondAnyPid, false, 0, NoLaterOpener, 0},
        {"a link where the lock file would be", Other::Nobody, Lock::LinkToLive, false, 0, NoLaterOpener, 0},
        {"in a PID namespace without its own /proc", Other::Nobody, Lock::None, false, 0, NoLaterOpener, 0, true},
        {"in a PID namespace, held by another process", Other::Process, Lock::None, false, ERROR_ACCESS_DENIED,
         NoLaterOpener, 0, true},
    };
    ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0); // for the unprivileged opener
    const std::string slaveName = slavePath.substr(slavePath.rfind('/') + 1);
    std::vector<std::string> skipped;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char directory[] = "/tmp/comtrace-lock-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        const std::string lockPath = std::string(directory) + "/LCK.." + slaveName;
        const std::string boundPath = c.bound ? std::string(directory) + "/ttyS0" : std::string();
        WriteLock(lockPath, c.lock);
        int ready[2] = {-1, -1};
        int release[2] = {-1, -1};
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(release), 0);
        const pid_t holder = c.other == Other::Nobody ? 0 : StartHolder(slavePath, master, c.other, ready, release);
        ASSERT_GE(holder, 0);

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            OpenPortInChild(slavePath, master, boundPath, directory, c.laterUid, c.ownPidNamespace);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(release[1]);
        if (holder > 0) {
            ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
        }
        for (int fd : {release[0], ready[0], ready[1]}) {
            close(fd);
        }
        unlink(boundPath.c_str()); // only ever mounted over in the child's namespace
        unlink(lockPath.c_str());
        unlink((lockPath + ".target").c_str());
        rmdir(directory);

        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == Skipped) {
            skipped.emplace_back(c.name);
            continue;
        }
        const int expected = c.openError != 0              ? static_cast<int>(c.openError)
                             : c.laterUid == NoLaterOpener ? 0
                                                           : LaterOpenerBase + c.laterErrno;
        EXPECT_EQ(WEXITSTATUS(status), expected) << "the open's error, or 100 + the later opener's errno";
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << "needs root for a private mount or another user: " << testing::PrintToString(skipped);
    }
}

// Another process has a file on a mount that no longer answers open (here
// the mount's root, held without opening it). The look for holders never
// examines what cannot be the port, so the open neither waits nor fails.
TEST_F(Pty, AFileOnAStalledMountInAnotherProcessDoesNotHoldUpTheOpen)
{
    using namespace exclusive;
    const int outcome = RunWithStalledMount(slavePath, [this](StalledMount &mount) {
        int release[2] = {-1, -1};
        int ready[2] = {-1, -1};
        if (pipe(release) != 0 || pipe(ready) != 0) {
            return Skipped;
        }
        const pid_t holder = fork();
        if (holder == 0) {
            (void)close(master);
            (void)close(mount.device);
            (void)close(release[1]);
            const int held = open(mount.folder.c_str(), O_PATH | O_DIRECTORY);
            const char byte = held >= 0 ? 'y' : 'n';
            char ignored = 0;
            _exit(write(ready[1], &byte, 1) == 1 && read(release[0], &ignored, 1) >= 0 ? 0 : 1);
        }
        (void)close(release[0]);
        char byte = 'n';
        if (holder < 0 || read(ready[0], &byte, 1) != 1 || byte != 'y') {
            return Skipped;
        }
        const pid_t opener = OpenPortBesideStalledMount(slavePath, master, mount, nullptr, 0);
        int outcome = WaitUpTo(opener, LookLimitMs);
        if (outcome < 0) {
            (void)close(mount.device); // lets the open go on
            mount.device = -1;
            (void)WaitUpTo(opener, LookLimitMs);
            outcome = Stalled;
        }
        (void)close(release[1]);
        (void)waitpid(holder, nullptr, 0);
        return outcome;
    });
    if (outcome == Skipped) {
        GTEST_SKIP() << "needs root and FUSE for a stalled mount";
    }
    EXPECT_NE(outcome, Stalled) << "the open waited on a file that cannot be the port";
    EXPECT_EQ(outcome, Passed) << "the open's error";
}

// The look for holders can take a while (here it waits on a lock directory
// that does not answer). An unprivileged program that opens the port
// meanwhile is kept out: the port is made exclusive before the look.
TEST_F(Pty, LaterOpenersAreKeptOutWhileTheLookRuns)
{
    using namespace exclusive;
    const int outcome = RunWithStalledMount(slavePath, [this](StalledMount &mount) {
        const char *const directories[] = {mount.folder.c_str()};
        const pid_t opener = OpenPortBesideStalledMount(slavePath, master, mount, directories, 1);
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (!IsBlocked(opener) && ElapsedMs(start) < LookLimitMs) {
            PauseMs(PollMs);
        }
        const bool waited = IsBlocked(opener);
        const int laterErrno = LaterOpen(slavePath, Nobody);
        (void)close(mount.device); // lets the look go on: the lock directory now fails
        mount.device = -1;
        const int opened = WaitUpTo(opener, LookLimitMs);
        if (!waited) {
            return NeverWaited;
        }
        return opened == 0 ? laterErrno : Skipped;
    });
    if (outcome == Skipped) {
        GTEST_SKIP() << "needs root and FUSE for a stalled mount";
    }
    EXPECT_NE(outcome, NeverWaited) << "the look never reached the stalled lock directory";
    EXPECT_EQ(outcome, EBUSY) << "the later opener's errno (0: it got the port too)";
}

// A program that holds the port and made it exclusive itself keeps it so
// when an open (here root's, which TIOCEXCL lets in) finds it and gives up.
TEST_F(Pty, ARefusedOpenLeavesTheHoldersExclusiveUseInPlace)
{
    using namespace exclusive;
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root, whom the holder's TIOCEXCL lets in, and another user";
    }
    ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0); // for the unprivileged opener
    int ready[2] = {-1, -1};
    int release[2] = {-1, -1};
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(master);
        close(release[1]);
        const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        char byte = slave >= 0 && ioctl(slave, TIOCEXCL) == 0 ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1) {
            _exit(1);
        }
        _exit(read(release[0], &byte, 1) < 0 ? 1 : 0); // returns once the case is over
    }
    char byte = 'n';
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');

    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(LaterOpen(slavePath, Nobody), EBUSY) << "the holder's port is open to everyone again";

    close(release[1]);
    EXPECT_EQ(waitpid(holder, nullptr, 0), holder);
    for (int fd : {release[0], ready[0], ready[1]}) {
        close(fd);
    }
}

} // namespace
} // namespace platform_tests
