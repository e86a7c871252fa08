// The exclusive open's look for other holders against a file system that
// has stopped answering: a FUSE mount whose server never replies, so that
// anything that looks at a file under it waits until the connection is
// aborted. Each case runs in a child with a mount namespace of its own,
// and reports through its exit status, never through gtest.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"

namespace {

// Exit statuses of a case's child.
constexpr int Passed = 0;
constexpr int Skipped = 250;
constexpr int Stalled = 251;     // the open waited on the stalled mount
constexpr int NeverWaited = 252; // the look never reached the stalled mount
constexpr int Nobody = 65534;
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
pid_t OpenPortInChild(const std::string &slavePath, int master, const StalledMount &mount,
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

class ExclusiveOpen : public ::testing::Test {
protected:
    int master = -1;
    std::string slavePath;

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0); // for the unprivileged opener
    }

    void TearDown() override { close(master); }

    // Runs the case in a child; its exit status.
    template <typename Case> int RunCase(Case run)
    {
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
};

// Another process has a file on a mount that no longer answers open (here
// the mount's root, held without opening it). The look for holders never
// examines what cannot be the port, so the open neither waits nor fails.
TEST_F(ExclusiveOpen, AFileOnAStalledMountInAnotherProcessDoesNotHoldUpTheOpen)
{
    const int outcome = RunCase([this](StalledMount &mount) {
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
        const pid_t opener = OpenPortInChild(slavePath, master, mount, nullptr, 0);
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
TEST_F(ExclusiveOpen, LaterOpenersAreKeptOutWhileTheLookRuns)
{
    const int outcome = RunCase([this](StalledMount &mount) {
        const char *const directories[] = {mount.folder.c_str()};
        const pid_t opener = OpenPortInChild(slavePath, master, mount, directories, 1);
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (!IsBlocked(opener) && ElapsedMs(start) < LookLimitMs) {
            PauseMs(PollMs);
        }
        const bool waited = IsBlocked(opener);
        const pid_t later = fork();
        if (later == 0) {
            if (setresgid(Nobody, Nobody, Nobody) != 0 || setresuid(Nobody, Nobody, Nobody) != 0) {
                _exit(Skipped);
            }
            const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        const int laterErrno = waitpid(later, &status, 0) == later && WIFEXITED(status) ? WEXITSTATUS(status) : Skipped;
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

} // namespace
