// The Linux look at COM1, /dev/ttyS0: the node, the UART behind it, this
// user's access, the processes, lock files and locks that hold it, the
// console and the getty on it, the services that get in the way of serial
// ports, and the USB serial adapters present.
//
// Everything is read from files under the root (--root, "/" by default),
// this process's identity included (/proc/self/status, the same groups
// getgroups(2) gives), so that a test can build the whole system in a
// folder. The port itself is opened only with --open.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "doctor.h"
#include "holders/holders.h"

namespace portdoctor {

namespace {

constexpr const char *PortPath = "/dev/ttyS0";
constexpr const char *PortName = "ttyS0";
// The most read of any one file: /proc and /etc files are far smaller.
constexpr std::size_t FileLimit = 1u << 20;
// What to do when there is no UART behind COM1, and the command that shows
// the adapters it can be done with.
constexpr const char *NoPortRemedy = "use a USB serial adapter (the adapter lines give the command that runs comtrace "
                                     "on one, and this lists them once one is plugged in), or enable the serial port "
                                     "in the firmware setup";
constexpr const char *AdapterListing = "ls -l /dev/serial/by-id";

// A file system path under the root.
struct Root {
    std::string prefix; // "" for "/"
    std::string At(const std::string &path) const { return prefix + path; }
};

// Reads a whole small file (never the port: only /proc, /sys, /etc and lock
// files). Returns false with errno set when it cannot be read.
bool ReadText(const std::string &path, std::string &text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    text.clear();
    char buffer[4096];
    while (text.size() < FileLimit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            const int error = got < 0 ? errno : 0;
            (void)close(fd); // read-only: nothing is lost
            errno = error;
            return got == 0;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    (void)close(fd); // as above
    return true;
}

// The names in a folder, sorted; false with errno set when it cannot be read.
bool ListFolder(const std::string &path, std::vector<std::string> &names)
{
    DIR *folder = opendir(path.c_str());
    if (folder == nullptr) {
        return false;
    }
    names.clear();
    errno = 0;
    // readdir_r is deprecated; this stream is read by one thread only.
    // cppcheck-suppress readdirCalled
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    (void)closedir(folder); // a listing already read is complete
    std::sort(names.begin(), names.end());
    return true;
}

std::string Trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream stream(text);
    while (std::getline(stream, field, separator)) {
        fields.push_back(field);
    }
    return fields;
}

// A whole decimal number that fits an unsigned long; false otherwise.
bool ParseNumber(const std::string &text, unsigned long &value, int base = 10)
{
    if (text.empty() || text.size() > 12) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '-' || text[0] == '+') {
        return false;
    }
    value = parsed;
    return true;
}

// The parts, one after the other (one allocation, where + would make one per part).
std::string Cat(std::initializer_list<std::string_view> parts)
{
    std::string text;
    for (std::string_view part : parts) {
        text.append(part);
    }
    return text;
}

std::string SystemError(int error)
{
    return std::strerror(error);
}

// ---- processes -------------------------------------------------------------

struct Process {
    unsigned long pid = 0;
    std::string comm;
    std::vector<std::string> arguments;
    std::string cgroup;
};

std::string Named(const Process &process)
{
    return "PID " + std::to_string(process.pid) + " (" + process.comm + ")";
}

// Every process under /proc, with its name, arguments and control group.
// What cannot be read goes to report.unseen.
bool ReadProcesses(const Root &root, std::vector<Process> &processes, Report &report)
{
    std::vector<std::string> names;
    if (!ListFolder(root.At("/proc"), names)) {
        report.unseen.push_back(root.At("/proc") + ": " + SystemError(errno) +
                                " (the processes that hold the port, the getty and ModemManager are not checked)");
        return false;
    }
    for (const std::string &name : names) {
        Process process;
        if (!ParseNumber(name, process.pid) ||
            (root.prefix.empty() && process.pid == static_cast<unsigned long>(getpid()))) {
            continue;
        }
        const std::string folder = "/proc/" + name;
        std::string text;
        if (!ReadText(root.At(folder + "/comm"), process.comm)) {
            continue; // ended since the listing
        }
        process.comm = Trimmed(process.comm);
        if (ReadText(root.At(folder + "/cmdline"), text)) {
            process.arguments = Split(text, '\0');
        }
        if (ReadText(root.At(folder + "/cgroup"), text)) {
            process.cgroup = text;
        }
        processes.push_back(std::move(process));
    }
    return true;
}

const Process *FindProcess(const std::vector<Process> &processes, unsigned long pid)
{
    const auto found =
        std::find_if(processes.begin(), processes.end(), [pid](const Process &process) { return process.pid == pid; });
    return found != processes.end() ? &*found : nullptr;
}

// ---- the node, the UART and access -------------------------------------------

std::string ModeText(mode_t mode)
{
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400u >> static_cast<unsigned>(bit))) != 0 ? letters[bit] : '-';
    }
    return text;
}

struct GroupEntry {
    std::string name;
    unsigned long gid = 0;
    std::vector<std::string> members;
};

struct Identity {
    unsigned long uid = 0;
    unsigned long gid = 0;
    std::vector<unsigned long> groups; // this session's supplementary groups
    std::string user;                  // from /etc/passwd, else "uid N"
    unsigned long loginGid = 0;        // the primary group /etc/passwd gives
    bool loginGidKnown = false;
};

// This process's effective user, group and groups, from /proc/self/status.
bool ReadIdentity(const Root &root, Identity &identity)
{
    std::string status;
    if (!ReadText(root.At("/proc/self/status"), status)) {
        return false;
    }
    bool haveUid = false;
    bool haveGid = false;
    for (const std::string &line : Split(status, '\n')) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        unsigned long real = 0;
        if (key == "Uid:") {
            haveUid = static_cast<bool>(fields >> real >> identity.uid);
        } else if (key == "Gid:") {
            haveGid = static_cast<bool>(fields >> real >> identity.gid);
        } else if (key == "Groups:") {
            unsigned long group = 0;
            while (fields >> group) {
                identity.groups.push_back(group);
            }
        }
    }
    if (!haveUid || !haveGid) {
        errno = EINVAL;
        return false;
    }
    identity.user = "uid " + std::to_string(identity.uid);
    std::string passwd;
    if (ReadText(root.At("/etc/passwd"), passwd)) {
        for (const std::string &line : Split(passwd, '\n')) {
            const std::vector<std::string> fields = Split(line, ':');
            unsigned long uid = 0;
            if (fields.size() >= 4 && ParseNumber(fields[2], uid) && uid == identity.uid) {
                identity.user = fields[0];
                identity.loginGidKnown = ParseNumber(fields[3], identity.loginGid);
                break;
            }
        }
    }
    return true;
}

std::vector<GroupEntry> ReadGroups(const Root &root)
{
    std::vector<GroupEntry> groups;
    std::string text;
    if (!ReadText(root.At("/etc/group"), text)) {
        return groups;
    }
    for (const std::string &line : Split(text, '\n')) {
        const std::vector<std::string> fields = Split(line, ':');
        GroupEntry entry;
        if (fields.size() >= 3 && ParseNumber(fields[2], entry.gid)) {
            entry.name = fields[0];
            if (fields.size() >= 4) {
                entry.members = Split(fields[3], ',');
            }
            groups.push_back(std::move(entry));
        }
    }
    return groups;
}

// The bits of mode that apply to identity: owner, group or others.
unsigned AccessBits(const struct stat &node, const Identity &identity)
{
    const unsigned mode = node.st_mode;
    if (node.st_uid == identity.uid) {
        return (mode >> 6u) & 7u;
    }
    const bool inGroup = node.st_gid == identity.gid || std::find(identity.groups.begin(), identity.groups.end(),
                                                                  node.st_gid) != identity.groups.end();
    return inGroup ? (mode >> 3u) & 7u : mode & 7u;
}

// Whether identity may read and write the device at path (node), and if not
// what makes it so. consoleOnPort: the kernel's console or a getty has the
// port, which then belongs to group tty until they are moved off it and the
// machine restarts, so its group is not the thing to change.
void CheckAccess(const Root &root, const Identity &identity, const std::string &path, const struct stat &node,
                 bool consoleOnPort, Report &report)
{
    constexpr unsigned ReadWrite = 6u;
    if (identity.uid == 0 || (AccessBits(node, identity) & ReadWrite) == ReadWrite) {
        return;
    }
    const std::vector<GroupEntry> groups = ReadGroups(root);
    const auto found = std::find_if(groups.begin(), groups.end(),
                                    [&node](const GroupEntry &group) { return group.gid == node.st_gid; });
    const GroupEntry *owner = found != groups.end() ? &*found : nullptr;
    const std::string groupName = owner != nullptr ? owner->name : std::to_string(node.st_gid);
    const std::string mode = ModeText(node.st_mode);
    const std::string join = "sudo usermod -aG dialout \"$USER\"";
    if (((node.st_mode >> 3u) & ReadWrite) != ReadWrite) {
        if (consoleOnPort) {
            Add(report, "no-access",
                Cat({identity.user, " may not read and write ", path, ", and its group ", groupName,
                     " may not either (", mode, "): the console or the getty above has it; once they are off it and ",
                     "the machine restarted, it is back in group dialout, which ", identity.user,
                     " must be in (from the next login)"}),
                join);
            return;
        }
        Add(report, "no-access",
            Cat({identity.user, " may not read and write ", path, ", and its group ", groupName, " may not either (",
                 mode, "): give it to group dialout until the next boot and join dialout (from the next login)"}),
            Cat({"sudo chgrp dialout ", path, " && sudo chmod 660 ", path, " && ", join}));
        return;
    }
    const bool listed = owner != nullptr &&
                        std::find(owner->members.begin(), owner->members.end(), identity.user) != owner->members.end();
    if (listed || (identity.loginGidKnown && identity.loginGid == node.st_gid)) {
        Add(report, "new-login-needed",
            Cat({identity.user, " is in group ", groupName, " (/etc/group), which may use ", path, " (", mode,
                 "), but this login session does not have the group yet: log out and log in again, or until then ",
                 "run comtrace in the group"}),
            "sg " + groupName + " -c comtrace");
        return;
    }
    Add(report, "no-access",
        Cat({identity.user, " may not read and write ", path, ": it belongs to group ", groupName, " (", mode,
             "), which ", identity.user, " is not in (the group applies from the next login)"}),
        "sudo usermod -aG " + groupName + " \"$USER\"");
}

void CheckUart(const Root &root, const struct stat &node, Report &report)
{
    const std::string folder = "/sys/dev/char";
    struct stat sysfs {};
    if (stat(root.At(folder).c_str(), &sysfs) != 0) {
        report.unseen.push_back(root.At(folder) + ": " + SystemError(errno) +
                                " (whether a UART is behind the port is not checked)");
        return;
    }
    const std::string device = std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
    std::string type;
    if (!ReadText(root.At(folder + "/" + device + "/type"), type)) {
        return; // not a port of the serial core: a USB adapter, a pty
    }
    if (Trimmed(type) == "0") {
        Add(report, "no-uart",
            std::string(PortPath) +
                " has no UART behind it: the serial driver reports port type 0 (unknown), so "
                "nothing goes out or comes in, and the trace looks like a silent device; " +
                NoPortRemedy,
            AdapterListing);
    }
}

// ---- what holds the port -----------------------------------------------------

bool IsGettyName(const std::string &comm)
{
    return comm == "agetty" || comm == "getty" || comm == "mgetty" || comm == "uugetty";
}

// A device comtrace may be run on: COM1 itself, or an adapter bound over it.
struct Device {
    std::string path;     // "/dev/ttyS0", "/dev/ttyUSB0"
    std::string lockName; // the name its UUCP lock files carry: "ttyS0"
    struct stat node {};
};

// Is the process a getty on ttyS0, and of which systemd unit ("" for none)?
bool IsGettyOnPort(const Process &process, std::string &unit)
{
    unit.clear();
    for (const char *prefix : {"serial-getty@", "getty@"}) {
        const std::string name = Cat({prefix, PortName, ".service"});
        if (process.cgroup.find("/" + name) != std::string::npos) {
            unit = name;
            return true;
        }
    }
    const bool namesPort =
        std::any_of(process.arguments.begin(), process.arguments.end(),
                    [](const std::string &argument) { return argument == PortName || argument == PortPath; });
    return IsGettyName(process.comm) && namesPort;
}

// The gettys on ttyS0 and ModemManager.
void CheckServices(const std::vector<Process> &processes, Report &report)
{
    for (const Process &process : processes) {
        std::string unit;
        if (IsGettyOnPort(process, unit) && !unit.empty()) {
            // systemd starts the unit again whenever the getty ends: only masking keeps it off.
            Add(report, "getty",
                Cat({"a getty runs a login prompt on ", PortName, ": ", Named(process), ", of ", unit,
                     "; it answers the device and takes its bytes (mask keeps it off after reboots; unmask undoes ",
                     "it)"}),
                Cat({"sudo systemctl stop ", unit, " && sudo systemctl mask ", unit}));
        } else if (IsGettyOnPort(process, unit)) {
            Add(report, "getty",
                Cat({"a getty runs a login prompt on ", PortName, ": ", Named(process),
                     "; it answers the device and takes its bytes (if init starts it again, remove its line from ",
                     "/etc/inittab)"}),
                "sudo kill " + std::to_string(process.pid));
        }
        if (process.comm == "ModemManager") {
            Add(report, "modemmanager",
                "ModemManager runs (" + Named(process) +
                    "): it probes every new ttyUSB or ttyACM port for about 10 s, sending AT commands to the "
                    "device; stop it for good, or keep it off the adapter with a udev rule setting "
                    "ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                "sudo systemctl disable --now ModemManager");
        }
    }
}

// Was portdoctor started through sudo (SUDO_UID in its environment, read
// under the root as its identity is)? Its lines are then pasted by the user
// behind sudo, who needs sudo again where root needs nothing.
bool StartedBySudo(const Root &root)
{
    std::string environment;
    if (!ReadText(root.At("/proc/self/environ"), environment)) {
        return false;
    }
    const std::vector<std::string> variables = Split(environment, '\0');
    return std::any_of(variables.begin(), variables.end(),
                       [](const std::string &variable) { return variable.rfind("SUDO_UID=", 0) == 0; });
}

// The word as bash reads it back: as it is when it holds nothing the shell
// treats specially, else in single quotes.
std::string ShellWord(const std::string &word)
{
    if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                                                "@%+=:,./_-") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Who holds the device by the rule comtrace's own open applies: the
// processes that have it open, and the lock files in /var/lock and
// /run/lock under any name comtrace looks for. isDevice: the path is a
// character device whose processes can be looked for.
std::unique_ptr<holders::Findings> FindDeviceHolders(const Root &root, const Device &device, bool isDevice,
                                                     Report &report)
{
    auto findings = std::make_unique<holders::Findings>();
    const holders::Places places{root.prefix.c_str(), holders::SystemLockDirectories,
                                 holders::SystemLockDirectoryCount};
    holders::FindHolders(device.path.c_str(), isDevice, device.node.st_rdev, places, *findings);
    if (findings->hiddenProcesses > 0) {
        report.unseen.push_back("the open files of " + std::to_string(findings->hiddenProcesses) +
                                " processes of other users (sudo portdoctor looks at them too)");
    }
    if (findings->dropped > 0) {
        report.unseen.push_back(
            Cat({std::to_string(findings->dropped), " more holders of ", device.path, " than are listed"}));
    }
    return findings;
}

// The processes that have the device open, a getty on ttyS0 aside (it has
// a finding of its own).
void CheckHolders(const holders::Findings &findings, const std::vector<Process> &processes, const Device &device,
                  Report &report)
{
    for (std::size_t i = 0; i < findings.count; ++i) {
        const holders::Entry &entry = findings.entries[i];
        const Process *process = FindProcess(processes, static_cast<unsigned long>(entry.pid));
        std::string unit;
        if (entry.reason != holders::Reason::OpenInProcess || (process != nullptr && IsGettyOnPort(*process, unit))) {
            continue;
        }
        const std::string pid = std::to_string(entry.pid);
        Add(report, "held-by-process",
            Cat({device.path, " is open in PID ", pid, " (", entry.command, "): close ", entry.command, ", or end it"}),
            "kill " + pid);
    }
}

constexpr const char *StaleLockConsequence =
    ": it is stale (left in place); programs that honour lock files refuse the port while it is there";

// The lock files the holder rule found, each with the one command that
// deals with it: a lock is answered with "kill" only when the process it
// names has the device open.
void CheckLockFiles(const holders::Findings &findings, bool procRead, const Device &device, Report &report)
{
    for (std::size_t i = 0; i < findings.count; ++i) {
        const holders::Entry &entry = findings.entries[i];
        const std::string pid = std::to_string(entry.pid);
        const std::string named = "PID " + pid + (entry.command[0] != '\0' ? Cat({" (", entry.command, ")"}) : "");
        const std::string remove = "sudo rm " + ShellWord(entry.lockPath);
        if (entry.reason == holders::Reason::LockOfLiveProcess) {
            if (entry.lockOwnerHasDevice == holders::HasDevice::Yes) {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " says ", named, " uses ", device.path,
                         ", and it has the port open: close ", entry.command, ", or end it"}),
                    "kill " + pid);
            } else if (entry.lockOwnerHasDevice == holders::HasDevice::No) {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " names ", named, ", which does not have ", device.path,
                         " open: the lock is left over, and comtrace refuses the port while it is there"}),
                    remove);
            } else {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " names ", named, ", whose open files this user cannot ",
                         "see: if it does not use ", device.path, ", the lock is left over; comtrace refuses the ",
                         "port while it is there"}),
                    "sudo portdoctor");
            }
        } else if (entry.reason == holders::Reason::StaleLock && procRead) {
            const std::string names =
                entry.pid == 0 ? std::string("no valid process ID") : "PID " + pid + ", which no longer runs";
            Add(report, "stale-lock-file",
                "the lock file " + std::string(entry.lockPath) + " names " + names + StaleLockConsequence, remove);
        } else if (entry.reason == holders::Reason::NotALockFile) {
            Add(report, "stale-lock-file",
                Cat({entry.lockPath, " is a link or no regular file, so no lock file (it was not opened); a program ",
                     "that follows it may refuse the port or open what it names"}),
                remove);
        }
    }
}

void CheckFileLocks(const Root &root, const Device &device, const std::vector<Process> &processes, Report &report)
{
    const struct stat &node = device.node;
    std::string text;
    if (!ReadText(root.At("/proc/locks"), text)) {
        report.unseen.push_back(root.At("/proc/locks") + ": " + SystemError(errno) +
                                " (locks on the port are not checked)");
        return;
    }
    for (const std::string &line : Split(text, '\n')) {
        std::istringstream stream(line);
        std::vector<std::string> fields;
        std::string field;
        while (stream >> field) {
            if (field != "->") { // a waiter for the lock before it
                fields.push_back(field);
            }
        }
        // "1: FLOCK ADVISORY WRITE 1234 00:05:85 0 EOF": the file as major:minor (hex) of its file
        // system and its inode.
        const std::vector<std::string> file = fields.size() >= 6 ? Split(fields[5], ':') : std::vector<std::string>();
        unsigned long fileMajor = 0;
        unsigned long fileMinor = 0;
        unsigned long inode = 0;
        if (file.size() != 3 || !ParseNumber(file[0], fileMajor, 16) || !ParseNumber(file[1], fileMinor, 16) ||
            !ParseNumber(file[2], inode) || fileMajor != major(node.st_dev) || fileMinor != minor(node.st_dev) ||
            inode != node.st_ino) {
            continue;
        }
        unsigned long pid = 0;
        const Process *owner = ParseNumber(fields[4], pid) ? FindProcess(processes, pid) : nullptr;
        const std::string kind = fields[1] == "FLOCK" ? "an flock" : "a " + fields[1] + " lock";
        Add(report, "flock",
            Cat({device.path, " is locked (", kind, ") by ", owner != nullptr ? Named(*owner) : "PID " + fields[4],
                 owner != nullptr ? ": close " + owner->comm + ", or end it"
                                  : ": this names the program, to be closed"}),
            owner != nullptr ? "kill " + std::to_string(pid) : "fuser -v " + device.path);
    }
}

// ---- the console, udev rules, adapters ---------------------------------------

// I/O port of the first 8250 UART, which the kernel names ttyS0.
constexpr unsigned long FirstUartIoPort = 0x3f8;

// Does the console= word of the kernel command line put a console on
// ttyS0: by its name, or as the 8250 UART at ttyS0's I/O port
// ("console=uart8250,io,0x3f8,115200n8", the early console that becomes
// ttyS0)?
bool NamesPortConsole(const std::string &word)
{
    const std::string key = "console=";
    if (word.compare(0, key.size(), key) != 0) {
        return false;
    }
    const std::vector<std::string> fields = Split(word.substr(key.size()), ',');
    if (fields.empty()) {
        return false;
    }
    unsigned long ioPort = 0;
    return fields[0] == PortName ||
           ((fields[0] == "uart8250" || fields[0] == "uart") && fields.size() >= 3 && fields[1] == "io" &&
            ParseNumber(fields[2], ioPort, 0) && ioPort == FirstUartIoPort);
}

// Is the kernel's console on ttyS0? /proc/consoles names the devices the
// kernel writes to, however they were chosen (the firmware's serial console
// table puts one there with nothing on the command line); the command line
// says where it was asked for. Returns whether it is.
bool CheckConsole(const Root &root, Report &report)
{
    std::string cmdline;
    std::string consoles;
    const bool cmdlineRead = ReadText(root.At("/proc/cmdline"), cmdline);
    if (!cmdlineRead) {
        report.unseen.push_back(root.At("/proc/cmdline") + ": " + SystemError(errno) +
                                " (a serial console is not checked)");
    }
    const bool consolesRead = cmdlineRead && ReadText(root.At("/proc/consoles"), consoles);
    if (cmdlineRead && !consolesRead) {
        report.unseen.push_back(root.At("/proc/consoles") + ": " + SystemError(errno) +
                                " (a console the command line does not name is not checked)");
    }
    std::string asked;
    std::istringstream words(cmdline);
    std::string word;
    while (words >> word) {
        if (NamesPortConsole(word)) {
            asked += (asked.empty() ? "" : " ") + word;
        }
    }
    bool listed = false;
    for (const std::string &line : Split(consoles, '\n')) {
        std::istringstream fields(line);
        std::string name;
        listed = listed || (fields >> name && name == PortName);
    }
    if (!asked.empty()) {
        Add(report, "serial-console",
            Cat({"the kernel's console is on ", PortName, " (", asked,
                 " on the kernel command line): its messages go out to the device; remove ", asked,
                 " from GRUB_CMDLINE_LINUX in /etc/default/grub, then reboot"}),
            "sudoedit /etc/default/grub && sudo update-grub");
    } else if (listed) {
        Add(report, "serial-console",
            Cat({"the kernel's console is on ", PortName,
                 " (/proc/consoles lists it, though the kernel command line names no console there: the firmware "
                 "chose it): its messages go out to the device; add console=tty0 to GRUB_CMDLINE_LINUX in "
                 "/etc/default/grub, then reboot"}),
            "sudoedit /etc/default/grub && sudo update-grub");
    }
    return !asked.empty() || listed;
}

struct KnownAdapter {
    const char *vendor;
    const char *product;
    const char *chip;
};

// The USB serial chips most adapters carry.
constexpr KnownAdapter KnownAdapters[] = {
    {"1a86", "7523", "CH340"},
    {"10c4", "ea60", "CP210x"},
    {"0403", "6001", "FT232R"},
    {"067b", "2303", "PL2303"},
};

// Does the rule text claim the adapter: "1a86/7523" as udev's PRODUCT
// writes it (hex without leading zeros), or idVendor and idProduct on one line?
bool ClaimsAdapter(const std::string &rules, const KnownAdapter &adapter)
{
    std::string vendor = adapter.vendor;
    vendor.erase(0, std::min(vendor.find_first_not_of('0'), vendor.size()));
    if (rules.find(vendor + "/" + adapter.product) != std::string::npos) {
        return true;
    }
    const std::string vendorTest = Cat({"idVendor}==\"", adapter.vendor, "\""});
    const std::string productTest = Cat({"idProduct}==\"", adapter.product, "\""});
    const std::vector<std::string> lines = Split(rules, '\n');
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.find(vendorTest) != std::string::npos && line.find(productTest) != std::string::npos;
    });
}

void CheckBrltty(const Root &root, Report &report)
{
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const char *folder : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        std::vector<std::string> names;
        if (!ListFolder(root.At(folder), names)) {
            continue; // no udev rules there
        }
        for (const std::string &name : names) {
            const std::string path = std::string(folder) + "/" + name;
            struct stat file {};
            std::string rules;
            if (name.find("brltty") == std::string::npos || name.size() < 6 ||
                name.compare(name.size() - 6, 6, ".rules") != 0 || stat(root.At(path).c_str(), &file) != 0 ||
                !seen.insert({file.st_dev, file.st_ino}).second || !ReadText(root.At(path), rules)) {
                continue;
            }
            std::string claimed;
            for (const KnownAdapter &adapter : KnownAdapters) {
                if (ClaimsAdapter(rules, adapter)) {
                    claimed += std::string(claimed.empty() ? "" : ", ") + adapter.chip + " " + adapter.vendor + ":" +
                               adapter.product;
                }
            }
            if (!claimed.empty()) {
                Add(report, "brltty",
                    Cat({"brltty is installed, and its udev rule ", path, " claims USB serial adapters (", claimed,
                         "): it takes such an adapter for a braille display, and its ttyUSB port disappears; remove ",
                         "brltty if no braille display is used, else copy the rule to /etc/udev/rules.d/, delete the ",
                         "adapter's line there and run sudo udevadm control --reload-rules"}),
                    "sudo apt remove brltty");
            }
        }
    }
}

// Can an unprivileged user make a user namespace (unshare -r), and so the
// mount namespace the adapter line needs, without sudo? The kernel's own
// switch and those Debian and Ubuntu add, where present, must allow it.
bool UserNamespacesWork(const Root &root)
{
    std::string text;
    unsigned long most = 0;
    if (!ReadText(root.At("/proc/sys/user/max_user_namespaces"), text) || !ParseNumber(Trimmed(text), most) ||
        most == 0) {
        return false;
    }
    if (ReadText(root.At("/proc/sys/kernel/unprivileged_userns_clone"), text) && Trimmed(text) != "1") {
        return false;
    }
    return !ReadText(root.At("/proc/sys/kernel/apparmor_restrict_unprivileged_userns"), text) || Trimmed(text) == "0";
}

// The command that runs comtrace with the adapter (its by-id path) in the
// place of /dev/ttyS0, in a mount namespace of its own that unshare (as
// given) makes, so that nothing changes outside it. Without a /dev/ttyS0 to mount over (or only a dangling link), the
// namespace gets a /dev of its own whose entries lead to the real one's: a
// mount point made in the real /dev would outlive the run.
std::string AdapterCommand(const std::string &unshare, const std::string &byId, bool portExists)
{
    const std::string name = byId.substr(byId.rfind('/') + 1);
    const std::string script =
        portExists
            ? Cat({"mount --bind ", ShellWord(byId), " ", PortPath, " && exec comtrace"})
            : Cat({"mount --rbind /dev /mnt && mount -t tmpfs dev /dev && ln -s /mnt/* /dev/ && rm -f ", PortPath,
                   " && ln -s ", ShellWord("/mnt/serial/by-id/" + name), " ", PortPath, " && exec comtrace"});
    return Cat({unshare, " sh -c ", ShellWord(script)});
}

// Each USB serial adapter, checked as COM1 is for the user who runs its
// line: whether that user may open it, and what holds it, by its own lock
// name too; its problems come first, then the line that runs comtrace on it.
// The line needs no sudo as root, and none where this user may make a user
// namespace (the user's groups still open the adapter); whoever ran
// portdoctor through sudo pastes it without, and gets sudo in it.
void ListAdapters(const Root &root, const Identity *identity, const std::vector<Process> &processes, bool procRead,
                  bool portExists, Report &report)
{
    const std::string folder = "/dev/serial/by-id";
    std::vector<std::string> names;
    if (!ListFolder(root.At(folder), names)) {
        return; // no USB serial adapter (or no udev to name one)
    }
    const bool asRoot = identity != nullptr && identity->uid == 0;
    const bool viaSudo = asRoot ? StartedBySudo(root) : !UserNamespacesWork(root);
    const std::string unshare = viaSudo ? "sudo unshare -m" : asRoot ? "unshare -m" : "unshare -rm";
    for (const std::string &name : names) {
        const std::string byId = Cat({folder, "/", name});
        char target[4096];
        const ssize_t length = readlink(root.At(byId).c_str(), target, sizeof target - 1);
        Device adapter;
        if (length <= 0 || stat(root.At(byId).c_str(), &adapter.node) != 0 || !S_ISCHR(adapter.node.st_mode)) {
            continue; // gone since it was named, or no device: no line would work
        }
        target[length] = '\0';
        const char *slash = std::strrchr(target, '/');
        adapter.lockName = slash != nullptr ? slash + 1 : target;
        adapter.path = "/dev/" + adapter.lockName;
        const std::size_t before = report.findings.size();
        if (identity != nullptr && !viaSudo && !asRoot) {
            CheckAccess(root, *identity, adapter.path, adapter.node, false, report);
        }
        const std::unique_ptr<holders::Findings> holders = FindDeviceHolders(root, adapter, true, report);
        CheckHolders(*holders, processes, adapter, report);
        CheckLockFiles(*holders, procRead, adapter, report);
        CheckFileLocks(root, adapter, processes, report);
        const bool blocked = report.findings.size() > before;
        Add(report, "adapter",
            Cat({byId, " is ", adapter.lockName, ", a USB serial adapter (its by-id name stays when it is plugged in ",
                 "again, ", adapter.lockName, " may change)",
                 blocked ? "; the line works once the findings above on " + adapter.path + " are dealt with" : ""}),
            AdapterCommand(unshare, byId, portExists));
    }
}

void TryOpen(const Root &root, Report &report)
{
    const int fd = open(root.At(PortPath).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        (void)close(fd); // nothing was written
        Add(report, "opened", std::string(PortPath) + " opened and was closed again", "comtrace");
        return;
    }
    const int error = errno;
    std::string advice;
    std::string fix;
    if (error == EACCES || error == EPERM) {
        advice = "join the port's group (from the next login)";
        fix = "sudo usermod -aG dialout \"$USER\"";
    } else if (error == EBUSY) {
        advice = "another program has the port open for itself alone: close it (as root, portdoctor names it)";
        fix = "sudo portdoctor";
    } else if (error == ENXIO || error == ENODEV || error == EIO) {
        advice = Cat({"no hardware answers behind the port; ", NoPortRemedy});
        fix = AdapterListing;
    } else {
        advice = "this is the error comtrace's open gets: see the findings above; the kernel's last messages may "
                 "say more";
        fix = "sudo dmesg | tail -n 20";
    }
    Add(report, "open-failed", Cat({"opening ", PortPath, " failed: ", SystemError(error), "; ", advice}), fix);
}

// The order the user must act in: the port itself, then what the system
// runs on it (fixing those gives the port back its usual group), then other
// programs, then this user's access, then what hinders adapters.
int Rank(const std::string &name)
{
    static const char *const order[] = {"missing-node", "not-a-device",    "no-uart",          "serial-console",
                                        "getty",        "held-by-process", "lock-file",        "stale-lock-file",
                                        "flock",        "no-access",       "new-login-needed", "modemmanager",
                                        "brltty"};
    const auto *const found = std::find(std::begin(order), std::end(order), name);
    return static_cast<int>(found - std::begin(order));
}

} // namespace

void LookAtPort(const Options &options, Report &report)
{
    const Root root{options.root};
    Device port{PortPath, PortName, {}};
    bool exists = true;
    if (stat(root.At(PortPath).c_str(), &port.node) != 0) {
        exists = false;
        if (errno == ENOENT) {
            Add(report, "missing-node",
                std::string(PortPath) + " does not exist: this machine shows no COM1; " + NoPortRemedy, AdapterListing);
        } else {
            report.unseen.push_back(root.At(PortPath) + ": " + SystemError(errno));
        }
    }
    const bool isDevice = exists && S_ISCHR(port.node.st_mode);
    if (exists && !isDevice) {
        Add(report, "not-a-device",
            std::string(PortPath) + " is not a character device (" + ModeText(port.node.st_mode) +
                "), so no port: an empty file may be left by a bind mount's mount point (a reboot recreates the "
                "real nodes once it is gone)",
            std::string("sudo rm ") + PortPath);
    }
    Identity identity;
    const bool identityRead = ReadIdentity(root, identity);
    if (!identityRead) {
        report.unseen.push_back(root.At("/proc/self/status") + ": " + SystemError(errno) +
                                " (whether this user may use the port is not checked)");
    }
    const bool console = CheckConsole(root, report);
    std::vector<Process> processes;
    const bool procRead = ReadProcesses(root, processes, report);
    CheckServices(processes, report);
    const bool gettyOnPort = std::any_of(report.findings.begin(), report.findings.end(),
                                         [](const Finding &finding) { return finding.name == "getty"; });
    const std::unique_ptr<holders::Findings> holders = FindDeviceHolders(root, port, isDevice, report);
    CheckHolders(*holders, processes, port, report);
    CheckLockFiles(*holders, procRead, port, report);
    if (isDevice) {
        CheckUart(root, port.node, report);
        if (identityRead) {
            CheckAccess(root, identity, PortPath, port.node, console || gettyOnPort, report);
        }
        CheckFileLocks(root, port, processes, report);
    }
    CheckBrltty(root, report);
    std::stable_sort(report.findings.begin(), report.findings.end(),
                     [](const Finding &a, const Finding &b) { return Rank(a.name) < Rank(b.name); });
    ListAdapters(root, identityRead ? &identity : nullptr, processes, procRead, exists, report);
    if (options.open && isDevice) {
        TryOpen(root, report);
    }
    // COM1 and each adapter meet the same unreadable files: say so once.
    std::vector<std::string> unseen;
    for (std::string &line : report.unseen) {
        if (std::find(unseen.begin(), unseen.end(), line) == unseen.end()) {
            unseen.push_back(std::move(line));
        }
    }
    report.unseen = std::move(unseen);
}

} // namespace portdoctor
