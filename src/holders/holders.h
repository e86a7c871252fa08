// Who else has a serial device on Linux, and why: the one rule that both the
// POSIX shim's exclusive open and portdoctor apply, so that portdoctor names
// a holder exactly when the program's open is refused.
//
// It looks at three things, none of which can make it wait: the open files
// of every process /proc shows (a descriptor is examined only when its name
// can be the device: a path under /dev or one of the device's own paths, so
// a file on a stalled network or FUSE mount is never touched), the UUCP lock
// files that name the device (opened only when they are regular files, never
// through a link), and the pty's master end (the process there plays the
// device and holds nothing). Everything is read under a root folder, so that
// a test or portdoctor's --root can stand in a whole system.
//
// Plain C++17 over fixed buffers: no exceptions, no allocation, no classes.
#ifndef COMTRACE_HOLDERS_HOLDERS_H
#define COMTRACE_HOLDERS_HOLDERS_H

#include <cstddef>

#include <sys/types.h>

namespace holders {

// The longest path of a device or a lock file.
constexpr std::size_t PathSize = 4096;
// Room for a process's name as /proc/PID/comm gives it (15 characters).
constexpr std::size_t CommandSize = 64;
// The most entries one look records; more are counted in `dropped`.
constexpr std::size_t EntryCapacity = 16;

// Why an entry is there. The first two keep another program out.
enum class Reason {
    OpenInProcess,     // another process has the device open
    LockOfLiveProcess, // a UUCP lock file names a running process other than this one
    PtyFarEnd,         // the process holds the pty's master: it plays the device (not a holder)
    StaleLock,         // a lock file names no valid process ID, or one that is not running (not a holder)
    NotALockFile,      // LCK..NAME is a link or no regular file: never opened, not a holder
};

// For a lock file of a running process: whether that process has the
// device open itself (a lock naming one that does not is left over).
enum class HasDevice {
    Yes,
    No,
    Unknown, // its open files are hidden from this user
};

struct Entry {
    Reason reason;
    long pid;                     // the process, or the ID the lock file names (0: none valid)
    char command[CommandSize];    // that process's name, "" when unknown
    char lockPath[PathSize];      // the lock file as the system names it (root left off); "" for a process
    HasDevice lockOwnerHasDevice; // for LockOfLiveProcess
};

// Where to look. Every path is read under root.
struct Places {
    const char *root;                   // "" for "/"
    const char *const *lockDirectories; // as the system names them: "/var/lock", "/run/lock"
    std::size_t lockDirectoryCount;
};

// About 70 KB: keep one in static storage or on the heap, not on a small
// stack.
struct Findings {
    Entry entries[EntryCapacity];
    std::size_t count;           // entries filled, processes first, in /proc's order, then lock files
    std::size_t dropped;         // entries that did not fit
    std::size_t hiddenProcesses; // processes whose open files this user cannot list
    bool processesListed;        // false when root's /proc could not be read
};

// The lock directories UUCP programs use on Linux.
extern const char *const SystemLockDirectories[];
extern const std::size_t SystemLockDirectoryCount;

// Whether the entry keeps another program out of the device.
bool KeepsOthersOut(const Entry &entry);

// The first entry that keeps others out; nullptr when none does.
const Entry *FirstHolder(const Findings &findings);

// Looks for everything that bears on the device at path (as the system
// names it, read under places.root): when isDevice, the processes with the
// character device `device` open and the pty's far end; always, the lock
// files "LCK..NAME" in each lock directory, NAME being the path's own name,
// its name behind links and the name of a file bound over it. This process
// (/proc/self) is never a holder. What cannot be read is left out, and
// counted where the findings say so; nothing waits on a file system.
void FindHolders(const char *path, bool isDevice, dev_t device, const Places &places, Findings &findings);

// The process ID a lock file of size bytes holds: ASCII digits (leading
// spaces allowed, then a newline or nothing), or, for exactly four bytes
// that are not such text, a binary int. 0 when it holds neither, or when
// the ID is 0, negative or above pidMax.
long LockFileProcessId(const char *text, std::size_t size, long pidMax);

} // namespace holders

#endif
