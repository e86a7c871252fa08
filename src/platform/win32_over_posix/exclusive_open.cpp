// Whether another program already has the port: a process that holds the
// same device open, as far as /proc shows this user, or a UUCP lock file
// that names a live process. Linux only lets a tty be kept from later
// openers (TIOCEXCL); a program that had it first is found by looking.
#include "platform/win32_over_posix/win32_serial_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace win32_over_posix {

const char *const LockDirectories[] = {"/var/lock", "/run/lock"};
const std::size_t LockDirectoryCount = sizeof LockDirectories / sizeof LockDirectories[0];

namespace {

// Room for "/proc/PID/fdinfo/FD" with both names as long as a directory
// entry may be.
constexpr std::size_t ProcPathSize = 600;
constexpr std::size_t NameSize = 256;
constexpr std::size_t LockNameSize = DevicePathSize;
constexpr std::size_t MountInfoLineSize = 4096;
// A lock file holds a PID as ten ASCII digits and a newline, or as a binary
// int; anything longer is no lock file of that kind.
constexpr std::size_t LockFileSize = 64;
// Unix98 pty slaves: majors 136 to 143, 256 minors each.
constexpr unsigned PtySlaveFirstMajor = 136;
constexpr unsigned PtySlaveMajorCount = 8;
constexpr unsigned PtySlaveMinorCount = 256;
constexpr unsigned PtyMasterMajor = 5;
constexpr unsigned PtyMasterMinor = 2;

bool IsProcessId(const char *name)
{
    if (*name == '\0') {
        return false;
    }
    for (const char *c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

// The pty index of a Unix98 pty slave; -1 for any other device.
long PtyIndexOf(dev_t device)
{
    const unsigned majorNumber = major(device);
    if (majorNumber < PtySlaveFirstMajor || majorNumber >= PtySlaveFirstMajor + PtySlaveMajorCount) {
        return -1;
    }
    return static_cast<long>(majorNumber - PtySlaveFirstMajor) * static_cast<long>(PtySlaveMinorCount) +
           static_cast<long>(minor(device));
}

// The pty index a master descriptor of the process serves (its fdinfo's
// tty-index); -1 when it cannot be read.
long MasterIndexOf(const char *pid, const char *fd)
{
    char path[ProcPathSize];
    (void)std::snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
    FILE *info = std::fopen(path, "re");
    if (info == nullptr) {
        return -1;
    }
    long index = -1;
    char line[NameSize];
    while (std::fgets(line, sizeof line, info) != nullptr) {
        if (std::strncmp(line, "tty-index:", 10) == 0) {
            index = std::strtol(line + 10, nullptr, 10);
            break;
        }
    }
    (void)std::fclose(info); // opened for reading only
    return index;
}

// Whether the process has the device open. The process that holds a pty's
// master is the far end of that line, the device, not a second user of the
// port, even when it holds the slave as well.
bool ProcessHolds(const char *pid, dev_t device)
{
    char path[ProcPathSize];
    (void)std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    DIR *fds = opendir(path);
    if (fds == nullptr) {
        return false; // gone, or another user's: /proc does not show it
    }
    const long ptyIndex = PtyIndexOf(device);
    bool holds = false;
    bool holdsMaster = false;
    // readdir_r is deprecated; readdir is safe on a stream no one else reads.
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(fds)) {
        if (!IsProcessId(entry->d_name)) {
            continue;
        }
        char fdPath[ProcPathSize];
        (void)std::snprintf(fdPath, sizeof fdPath, "/proc/%s/fd/%s", pid, entry->d_name);
        // Only descriptors of files in the tree: a pipe, socket or anonymous
        // inode is no device, and stat() on them tells nothing.
        char target[NameSize];
        const ssize_t length = readlink(fdPath, target, sizeof target - 1);
        if (length <= 0 || target[0] != '/') {
            continue;
        }
        struct stat file {};
        if (stat(fdPath, &file) != 0 || !S_ISCHR(file.st_mode)) {
            continue;
        }
        if (file.st_rdev == device) {
            holds = true;
        } else if (ptyIndex >= 0 && major(file.st_rdev) == PtyMasterMajor && minor(file.st_rdev) == PtyMasterMinor &&
                   MasterIndexOf(pid, entry->d_name) == ptyIndex) {
            holdsMaster = true;
        }
    }
    (void)closedir(fds); // read only
    return holds && !holdsMaster;
}

bool HeldByAnotherProcess(dev_t device)
{
    DIR *processes = opendir("/proc");
    if (processes == nullptr) {
        return false; // no /proc: nothing to see
    }
    char self[ProcPathSize];
    (void)std::snprintf(self, sizeof self, "%ld", static_cast<long>(getpid()));
    bool held = false;
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(processes)) {
        if (IsProcessId(entry->d_name) && std::strcmp(entry->d_name, self) != 0 &&
            ProcessHolds(entry->d_name, device)) {
            held = true;
            break;
        }
    }
    (void)closedir(processes); // read only
    return held;
}

// The PID a lock file names: ten ASCII digits (space-padded, a newline
// after them) or a binary int; 0 when the file holds neither.
long LockOwnerOf(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[LockFileSize + 1] = {};
    ssize_t size = 0;
    do {
        size = read(fd, text, LockFileSize);
    } while (size < 0 && errno == EINTR);
    (void)close(fd); // read only
    if (size == static_cast<ssize_t>(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    if (size <= 0 || size == static_cast<ssize_t>(LockFileSize)) {
        return 0;
    }
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    while (*end == ' ' || *end == '\n' || *end == '\t' || *end == '\r') {
        ++end;
    }
    return *end == '\0' ? pid : 0;
}

bool IsLiveOtherProcess(long pid)
{
    if (pid <= 0 || pid == static_cast<long>(getpid())) {
        return false;
    }
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

const char *BaseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Undoes mountinfo's octal escapes (\040 for a space) in place.
void Unescape(char *text)
{
    char *out = text;
    for (const char *in = text; *in != '\0'; ++out) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' &&
            in[3] <= '7') {
            *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

// The name of the file bound over the path, when the path is a bind mount
// of a single file (an adapter's ttyUSB0 bound over /dev/ttyS0); empty
// otherwise.
void BindSourceNameOf(const char *path, char *name, std::size_t size)
{
    name[0] = '\0';
    FILE *mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) {
        return;
    }
    char line[MountInfoLineSize];
    while (std::fgets(line, sizeof line, mounts) != nullptr) {
        // id parent major:minor root mount-point ...
        char *fields[5] = {};
        char *rest = line;
        std::size_t count = 0;
        while (count < 5) {
            char *field = strsep(&rest, " ");
            if (field == nullptr) {
                break;
            }
            fields[count++] = field;
        }
        if (count < 5) {
            continue;
        }
        Unescape(fields[3]);
        Unescape(fields[4]);
        // The last mount at the path is the one on top.
        if (std::strcmp(fields[4], path) == 0 && std::strcmp(fields[3], "/") != 0) {
            (void)std::snprintf(name, size, "%s", BaseName(fields[3]));
        }
    }
    (void)std::fclose(mounts); // read only
}

bool LockedByLiveProcess(const char *name, const char *const *lockDirectories, std::size_t directoryCount)
{
    if (name[0] == '\0') {
        return false;
    }
    for (std::size_t i = 0; i < directoryCount; ++i) {
        char lockPath[DevicePathSize];
        const int length = std::snprintf(lockPath, sizeof lockPath, "%s/LCK..%s", lockDirectories[i], name);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof lockPath &&
            IsLiveOtherProcess(LockOwnerOf(lockPath))) {
            return true;
        }
    }
    return false;
}

} // namespace

DWORD CheckNobodyElseHolds(int fd, const char *path, const char *const *lockDirectories, std::size_t directoryCount)
{
    struct stat port {};
    if (fstat(fd, &port) != 0) {
        return Win32ErrorFor(errno);
    }
    if (S_ISCHR(port.st_mode) && HeldByAnotherProcess(port.st_rdev)) {
        return ERROR_ACCESS_DENIED;
    }
    // A lock file names the device as its owner knew it: by the path's own
    // name, by the name it has under any links, or by the name of the
    // device bound over the path.
    char names[3][LockNameSize] = {};
    (void)std::snprintf(names[0], sizeof names[0], "%s", BaseName(path));
    char resolved[DevicePathSize];
    if (realpath(path, resolved) != nullptr) {
        (void)std::snprintf(names[1], sizeof names[1], "%s", BaseName(resolved));
        BindSourceNameOf(resolved, names[2], sizeof names[2]);
    }
    const bool locked = std::any_of(std::begin(names), std::end(names), [&](const char *name) {
        return LockedByLiveProcess(name, lockDirectories, directoryCount);
    });
    return locked ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

} // namespace win32_over_posix
