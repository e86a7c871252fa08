// The holder rule over /proc and the lock directories. Each file it opens
// is one that cannot make it wait: procfs entries, the device node's own
// path, and lock files that lstat() showed to be regular (opened
// non-blocking and never through a link, so a link planted in the
// world-writable /run/lock cannot make it open a device).
#include "holders/holders.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace holders {

const char *const SystemLockDirectories[] = {"/var/lock", "/run/lock"};
const std::size_t SystemLockDirectoryCount = sizeof SystemLockDirectories / sizeof SystemLockDirectories[0];

namespace {

// A lock file holds ten ASCII digits and a newline, or a binary int: one
// longer than this is no lock file of that kind.
constexpr std::size_t LockFileSize = 64;
constexpr std::size_t LockNameCount = 3;
constexpr std::size_t NameSize = 256;
constexpr std::size_t MountInfoLineSize = 4096;
constexpr std::size_t BinaryPidSize = 4;
// The most digits an ASCII PID has.
constexpr std::size_t PidDigitCount = 10;
// PID_MAX_LIMIT on 64-bit Linux: the highest pid_max can be set to.
constexpr long PidMaxLimit = 4194304;
// Unix98 pty slaves: majors 136 to 143, 256 minors each; /dev/ptmx is 5:2.
constexpr unsigned PtySlaveFirstMajor = 136;
constexpr unsigned PtySlaveMajorCount = 8;
constexpr unsigned PtySlaveMinorCount = 256;
constexpr unsigned PtyMasterMajor = 5;
constexpr unsigned PtyMasterMinor = 2;

// What a look needs to know about the device and the system.
struct Device {
    const char *root;
    bool isDevice;
    dev_t device;
    long ptyIndex;           // -1 when the device is no pty slave
    const char *path;        // as the system names it
    char resolved[PathSize]; // behind links, root left off; "" when unknown
};

// root followed by path; false when it does not fit.
bool Under(const char *root, const char *path, char *out, std::size_t size)
{
    const int length = std::snprintf(out, size, "%s%s", root, path);
    return length > 0 && static_cast<std::size_t>(length) < size;
}

bool StartsWith(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

const char *BaseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The number a /proc entry names; 0 for any other name.
long ProcessIdOf(const char *name)
{
    long pid = 0;
    for (const char *c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || pid > LONG_MAX / 10) {
            return 0;
        }
        pid = pid * 10 + (*c - '0');
    }
    return pid;
}

// Reads at most size - 1 bytes of a small file at the start, with a NUL
// after them; the count, or -1 when it cannot be read.
ssize_t ReadSmallFile(const char *path, char *text, std::size_t size)
{
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ssize_t got = 0;
    do {
        got = read(fd, text, size - 1);
    } while (got < 0 && errno == EINTR);
    (void)close(fd); // read only
    text[got > 0 ? got : 0] = '\0';
    return got;
}

// This process as root's /proc names it (in the PID namespace of that
// /proc, which getpid() need not be); 0 when it does not say.
long SelfOf(const char *root)
{
    char path[PathSize];
    char target[NameSize];
    if (!Under(root, "/proc/self", path, sizeof path)) {
        return 0;
    }
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) {
        return 0;
    }
    target[length] = '\0';
    return ProcessIdOf(target);
}

long PidMaxOf(const char *root)
{
    char path[PathSize];
    char text[NameSize];
    if (!Under(root, "/proc/sys/kernel/pid_max", path, sizeof path) || ReadSmallFile(path, text, sizeof text) <= 0) {
        return PidMaxLimit;
    }
    const long pidMax = std::strtol(text, nullptr, 10);
    return pidMax > 0 ? pidMax : PidMaxLimit;
}

void CommandOf(const char *root, long pid, char *command, std::size_t size)
{
    char path[PathSize];
    (void)std::snprintf(path, sizeof path, "%s/proc/%ld/comm", root, pid);
    if (ReadSmallFile(path, command, size) <= 0) {
        command[0] = '\0';
        return;
    }
    command[std::strcspn(command, "\n")] = '\0';
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

// The pty index a master descriptor serves (its fdinfo's tty-index); -1
// when it cannot be read.
long MasterIndexOf(const char *root, long pid, const char *fd)
{
    char path[PathSize];
    char text[MountInfoLineSize];
    (void)std::snprintf(path, sizeof path, "%s/proc/%ld/fdinfo/%s", root, pid, fd);
    if (ReadSmallFile(path, text, sizeof text) <= 0) {
        return -1;
    }
    const char *line = std::strstr(text, "tty-index:");
    return line != nullptr ? std::strtol(line + std::strlen("tty-index:"), nullptr, 10) : -1;
}

// Whether a descriptor's name can be the device: a node under /dev (a
// file system of device nodes, which never waits on anything) or one of
// the device's own paths. Everything else, a file on a mount that has
// stopped answering included, is never looked at further.
bool CanBeTheDevice(const char *target, const Device &port)
{
    return StartsWith(target, "/dev/") || std::strcmp(target, port.path) == 0 ||
           (port.resolved[0] != '\0' && std::strcmp(target, port.resolved) == 0);
}

enum class Holding {
    Nothing,
    Device,
    FarEnd,
    Hidden, // its open files cannot be listed by this user
    Unseen, // its open files are not shown at all (ended, or no /proc)
};

// What the process has of the device.
Holding ProcessHolding(const Device &port, long pid)
{
    char path[PathSize];
    (void)std::snprintf(path, sizeof path, "%s/proc/%ld/fd", port.root, pid);
    DIR *fds = opendir(path);
    if (fds == nullptr) {
        return errno == EACCES || errno == EPERM ? Holding::Hidden : Holding::Unseen;
    }
    bool holds = false;
    bool holdsMaster = false;
    // readdir_r is deprecated; readdir is safe on a stream no one else reads.
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(fds)) {
        char target[PathSize];
        const ssize_t length = readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (length <= 0) {
            continue; // "." and "..", or closed since the listing
        }
        target[length] = '\0';
        struct stat file {};
        if (!CanBeTheDevice(target, port) || fstatat(dirfd(fds), entry->d_name, &file, 0) != 0 ||
            !S_ISCHR(file.st_mode)) {
            continue;
        }
        if (file.st_rdev == port.device) {
            holds = true;
        } else if (port.ptyIndex >= 0 && major(file.st_rdev) == PtyMasterMajor &&
                   minor(file.st_rdev) == PtyMasterMinor &&
                   MasterIndexOf(port.root, pid, entry->d_name) == port.ptyIndex) {
            holdsMaster = true;
        }
    }
    (void)closedir(fds); // read only
    if (holdsMaster) {
        return Holding::FarEnd;
    }
    return holds ? Holding::Device : Holding::Nothing;
}

// Adds an entry, or counts it when there is no room; the entry or nullptr.
Entry *Add(Findings &findings, Reason reason, long pid)
{
    if (findings.count == EntryCapacity) {
        ++findings.dropped;
        return nullptr;
    }
    Entry &entry = findings.entries[findings.count++];
    entry = Entry{};
    entry.reason = reason;
    entry.pid = pid;
    return &entry;
}

void LookAtProcesses(const Device &port, long self, Findings &findings)
{
    char path[PathSize];
    DIR *processes = Under(port.root, "/proc", path, sizeof path) ? opendir(path) : nullptr;
    if (processes == nullptr) {
        return; // no /proc: nothing to see
    }
    findings.processesListed = true;
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(processes)) {
        const long pid = ProcessIdOf(entry->d_name);
        if (pid <= 0 || pid == self) {
            continue;
        }
        const Holding holding = ProcessHolding(port, pid);
        if (holding == Holding::Hidden) {
            ++findings.hiddenProcesses;
            continue;
        }
        if (holding == Holding::Nothing || holding == Holding::Unseen) {
            continue;
        }
        Entry *added = Add(findings, holding == Holding::Device ? Reason::OpenInProcess : Reason::PtyFarEnd, pid);
        if (added != nullptr) {
            CommandOf(port.root, pid, added->command, sizeof added->command);
        }
    }
    (void)closedir(processes); // read only
}

// Whether the process runs: its /proc folder, or, with no /proc at all,
// whether a signal could reach it.
bool IsRunning(const char *root, long pid)
{
    char path[PathSize];
    struct stat folder {};
    (void)std::snprintf(path, sizeof path, "%s/proc/%ld", root, pid);
    if (stat(path, &folder) == 0) {
        return true;
    }
    char self[PathSize];
    if (Under(root, "/proc/self", self, sizeof self) && access(self, F_OK) == 0) {
        return false; // /proc is there and does not show it
    }
    if (root[0] != '\0') {
        return true; // no /proc in the folder: a lock cannot be judged stale
    }
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
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
void BindSourceNameOf(const char *root, const char *path, char *name, std::size_t size)
{
    name[0] = '\0';
    char mountInfo[PathSize];
    FILE *mounts =
        Under(root, "/proc/self/mountinfo", mountInfo, sizeof mountInfo) ? std::fopen(mountInfo, "re") : nullptr;
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

// The path behind links, with root left off when it lies under root.
void ResolvedOf(const char *root, const char *path, char *resolved)
{
    resolved[0] = '\0';
    char full[PathSize];
    char behind[PATH_MAX];
    if (!Under(root, path, full, sizeof full) || realpath(full, behind) == nullptr) {
        return;
    }
    const std::size_t rootLength = std::strlen(root);
    const bool underRoot = rootLength > 0 && std::strncmp(behind, root, rootLength) == 0 && behind[rootLength] == '/';
    (void)std::snprintf(resolved, PathSize, "%s", underRoot ? behind + rootLength : behind);
}

// Whether the process has the device open, for a lock file that names it.
HasDevice ProcessHasDevice(const Device &port, long pid)
{
    if (!port.isDevice) {
        return HasDevice::Unknown;
    }
    switch (ProcessHolding(port, pid)) {
    case Holding::Device:
    case Holding::FarEnd:
        return HasDevice::Yes;
    case Holding::Hidden:
    case Holding::Unseen:
        return HasDevice::Unknown;
    case Holding::Nothing:
        break;
    }
    return HasDevice::No;
}

// The lock files a look has met, by device and inode: /var/lock is usually
// a link to /run/lock, and one file is reported once.
struct SeenFiles {
    static constexpr std::size_t Capacity = LockNameCount * 4;
    dev_t devices[Capacity];
    ino_t inodes[Capacity];
    std::size_t count;
};

// Whether the file was met before; records it when not.
bool SeenBefore(SeenFiles &seen, const struct stat &file)
{
    for (std::size_t i = 0; i < seen.count; ++i) {
        if (seen.devices[i] == file.st_dev && seen.inodes[i] == file.st_ino) {
            return true;
        }
    }
    if (seen.count < SeenFiles::Capacity) {
        seen.devices[seen.count] = file.st_dev;
        seen.inodes[seen.count] = file.st_ino;
        ++seen.count;
    }
    return false;
}

// The process ID in a lock file that lstat() showed to be regular (0 for
// none valid); regular is false when what was opened is not a regular
// file after all (replaced since the look).
long ReadLockFile(const char *full, long pidMax, bool &regular)
{
    const int fd = open(full, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened {};
    regular = fd >= 0 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
    char text[LockFileSize + 1] = {};
    std::size_t size = 0;
    while (regular && size < sizeof text) {
        const ssize_t got = read(fd, text + size, sizeof text - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    if (fd >= 0) {
        (void)close(fd); // read only
    }
    return regular && size <= LockFileSize ? LockFileProcessId(text, size, pidMax) : 0;
}

// Adds the lock file's entry, unless the file is absent or already seen.
void LookAtLockFile(const Device &port, const char *lockPath, long self, long pidMax, SeenFiles &seen,
                    Findings &findings)
{
    char full[PathSize];
    struct stat file {};
    if (!Under(port.root, lockPath, full, sizeof full) || lstat(full, &file) != 0 || SeenBefore(seen, file)) {
        return;
    }
    bool regular = S_ISREG(file.st_mode);
    const long pid = regular ? ReadLockFile(full, pidMax, regular) : 0;
    if (regular && pid == self && pid != 0) {
        return; // this process's own lock
    }
    const bool running = regular && pid > 0 && IsRunning(port.root, pid);
    const Reason reason = !regular ? Reason::NotALockFile : running ? Reason::LockOfLiveProcess : Reason::StaleLock;
    Entry *entry = Add(findings, reason, pid);
    if (entry == nullptr) {
        return;
    }
    (void)std::snprintf(entry->lockPath, sizeof entry->lockPath, "%s", lockPath);
    if (running) {
        CommandOf(port.root, pid, entry->command, sizeof entry->command);
        entry->lockOwnerHasDevice = ProcessHasDevice(port, pid);
    }
}

void LookAtLockFiles(const Device &port, const Places &places, long self, Findings &findings)
{
    // A lock file names the device as its owner knew it: by the path's own
    // name, by the name it has behind links, or by the name of the device
    // bound over the path.
    char names[LockNameCount][PathSize] = {};
    (void)std::snprintf(names[0], sizeof names[0], "%s", BaseName(port.path));
    if (port.resolved[0] != '\0') {
        (void)std::snprintf(names[1], sizeof names[1], "%s", BaseName(port.resolved));
        BindSourceNameOf(port.root, port.resolved, names[2], sizeof names[2]);
    }
    const long pidMax = PidMaxOf(port.root);
    SeenFiles seen{};
    for (std::size_t d = 0; d < places.lockDirectoryCount; ++d) {
        for (std::size_t n = 0; n < LockNameCount; ++n) {
            char lockPath[PathSize];
            const int length =
                std::snprintf(lockPath, sizeof lockPath, "%s/LCK..%s", places.lockDirectories[d], names[n]);
            if (names[n][0] != '\0' && length > 0 && static_cast<std::size_t>(length) < sizeof lockPath) {
                LookAtLockFile(port, lockPath, self, pidMax, seen, findings);
            }
        }
    }
}

// The digits of an ASCII PID with leading spaces and trailing white space;
// -1 when the text is not one.
long AsciiProcessId(const char *text, std::size_t size)
{
    std::size_t at = 0;
    while (at < size && text[at] == ' ') {
        ++at;
    }
    const std::size_t first = at;
    long pid = 0;
    while (at < size && text[at] >= '0' && text[at] <= '9' && at - first < PidDigitCount) {
        pid = pid * 10 + (text[at++] - '0');
    }
    if (at == first) {
        return -1;
    }
    while (at < size && (text[at] == '\n' || text[at] == '\r' || text[at] == ' ' || text[at] == '\t')) {
        ++at;
    }
    return at == size ? pid : -1;
}

} // namespace

bool KeepsOthersOut(const Entry &entry)
{
    return entry.reason == Reason::OpenInProcess || entry.reason == Reason::LockOfLiveProcess;
}

const Entry *FirstHolder(const Findings &findings)
{
    for (std::size_t i = 0; i < findings.count; ++i) {
        if (KeepsOthersOut(findings.entries[i])) {
            return &findings.entries[i];
        }
    }
    return nullptr;
}

long LockFileProcessId(const char *text, std::size_t size, long pidMax)
{
    long pid = AsciiProcessId(text, size);
    if (pid < 0 && size == BinaryPidSize) {
        std::int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
    }
    return pid > 0 && pid <= pidMax ? pid : 0;
}

void FindHolders(const char *path, bool isDevice, dev_t device, const Places &places, Findings &findings)
{
    findings.count = 0;
    findings.dropped = 0;
    findings.hiddenProcesses = 0;
    findings.processesListed = false;
    Device port{};
    port.root = places.root;
    port.isDevice = isDevice;
    port.device = device;
    port.ptyIndex = isDevice ? PtyIndexOf(device) : -1;
    port.path = path;
    ResolvedOf(places.root, path, port.resolved);
    long self = SelfOf(places.root);
    if (self == 0 && places.root[0] == '\0') {
        self = static_cast<long>(getpid()); // no /proc: the lock files are all there is to see
    }
    if (isDevice) {
        LookAtProcesses(port, self, findings);
    }
    LookAtLockFiles(port, places, self, findings);
}

} // namespace holders
