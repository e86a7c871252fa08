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
    bool holdsPort = false;
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

void CheckAccess(const Root &root, const struct stat &node, Report &report)
{
    Identity identity;
    if (!ReadIdentity(root, identity)) {
        report.unseen.push_back(root.At("/proc/self/status") + ": " + SystemError(errno) +
                                " (whether this user may use the port is not checked)");
        return;
    }
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
    if (((node.st_mode >> 3u) & ReadWrite) != ReadWrite) {
        Add(report, "no-access",
            identity.user + " may not read and write " + PortPath + ", and its group " + groupName +
                " may not either (" + mode + ")",
            std::string("sudo chgrp dialout ") + PortPath + " && sudo chmod 660 " + PortPath +
                " (until the next boot), then join dialout: sudo usermod -aG dialout $USER, and log in again");
        return;
    }
    const bool listed = owner != nullptr &&
                        std::find(owner->members.begin(), owner->members.end(), identity.user) != owner->members.end();
    if (listed || (identity.loginGidKnown && identity.loginGid == node.st_gid)) {
        Add(report, "new-login-needed",
            identity.user + " is in group " + groupName + " (/etc/group), which may use " + PortPath + " (" + mode +
                "), but this login session does not have the group yet",
            "log out and log in again (a new login picks up the group); until then: sg " + groupName + " -c comtrace");
        return;
    }
    Add(report, "no-access",
        identity.user + " may not read and write " + PortPath + ": it belongs to group " + groupName + " (" + mode +
            "), which " + identity.user + " is not in",
        "sudo usermod -aG " + groupName +
            " $USER, then log out and log in again (the group applies from the next login)");
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
            std::string(PortPath) + " has no UART behind it: the serial driver reports port type 0 (unknown), so "
                                    "nothing goes out or comes in, and the trace looks like a silent device",
            "use a USB serial adapter (see the adapter lines), or enable the serial port in the firmware setup");
    }
}

// ---- what holds the port -----------------------------------------------------

bool IsGettyName(const std::string &comm)
{
    return comm == "agetty" || comm == "getty" || comm == "mgetty" || comm == "uugetty";
}

void CheckProcesses(const std::vector<Process> &processes, Report &report)
{
    const std::string unit = std::string("serial-getty@") + PortName + ".service";
    for (const Process &process : processes) {
        const bool inUnit = process.cgroup.find("/" + unit) != std::string::npos;
        const bool namesPort =
            std::any_of(process.arguments.begin(), process.arguments.end(),
                        [](const std::string &argument) { return argument == PortName || argument == PortPath; });
        if (inUnit || (IsGettyName(process.comm) && namesPort)) {
            Add(report, "getty",
                "a getty runs a login prompt on " + std::string(PortName) + ": " + Named(process) +
                    (inUnit ? ", of " + unit : std::string()) + "; it answers the device and takes its bytes",
                inUnit ? Cat({"sudo systemctl stop ", unit, " && sudo systemctl mask ", unit,
                              " (mask keeps it off after reboots; unmask undoes it)"})
                       : "sudo kill " + std::to_string(process.pid) +
                             " (if it comes back, remove its line from /etc/inittab)");
        } else if (process.holdsPort) {
            Add(report, "held-by-process",
                std::string(PortPath) + " is open in " + Named(process) + ": close " + process.comm + ", or end it",
                "kill " + std::to_string(process.pid));
        }
        if (process.comm == "ModemManager") {
            Add(report, "modemmanager",
                "ModemManager runs (" + Named(process) +
                    "): it probes every new ttyUSB or ttyACM port for about 10 s, sending AT commands to the device",
                "sudo systemctl stop ModemManager (for good: sudo systemctl disable --now ModemManager), or keep it "
                "off the adapter with a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
        }
    }
}

// A path as one word of a bash command: as it is when it has no character
// the shell treats specially, else in single quotes.
std::string ShellWord(const std::string &text)
{
    const bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                               "0123456789_./+-:@%,=") == std::string::npos;
    if (plain) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Who holds the port by the rule the program's own open applies: the
// processes that have it open, and the lock files in /var/lock and
// /run/lock under any name the program looks for. Marks the processes that
// have the port open.
std::unique_ptr<holders::Findings> FindPortHolders(const Root &root, bool isDevice, dev_t rdev,
                                                   std::vector<Process> &processes, Report &report)
{
    auto findings = std::make_unique<holders::Findings>();
    const holders::Places places{root.prefix.c_str(), holders::SystemLockDirectories,
                                 holders::SystemLockDirectoryCount};
    holders::FindHolders(PortPath, isDevice, rdev, places, *findings);
    if (findings->hiddenProcesses > 0) {
        report.unseen.push_back("the open files of " + std::to_string(findings->hiddenProcesses) +
                                " processes of other users (sudo portdoctor looks at them too)");
    }
    if (findings->dropped > 0) {
        report.unseen.push_back(std::to_string(findings->dropped) + " more holders of the port than are listed");
    }
    for (std::size_t i = 0; i < findings->count; ++i) {
        const holders::Entry &entry = findings->entries[i];
        for (Process &process : processes) {
            if (entry.reason == holders::Reason::OpenInProcess &&
                process.pid == static_cast<unsigned long>(entry.pid)) {
                process.holdsPort = true;
            }
        }
    }
    return findings;
}

constexpr const char *StaleLockConsequence =
    ": it is stale (left in place); programs that honour lock files refuse the port while it is there";

// The lock files the holder rule found, each with the one command that
// deals with it: a lock is answered with "kill" only when the process it
// names has the port open.
void CheckLockFiles(const holders::Findings &findings, bool procRead, Report &report)
{
    for (std::size_t i = 0; i < findings.count; ++i) {
        const holders::Entry &entry = findings.entries[i];
        const std::string pid = std::to_string(entry.pid);
        const std::string named = "PID " + pid + (entry.command[0] != '\0' ? Cat({" (", entry.command, ")"}) : "");
        const std::string remove = "sudo rm " + ShellWord(entry.lockPath);
        if (entry.reason == holders::Reason::LockOfLiveProcess) {
            if (entry.lockOwnerHasDevice == holders::HasDevice::Yes) {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " says ", named, " uses ", PortPath,
                         ", and it has the port open: close ", entry.command, ", or end it"}),
                    "kill " + pid);
            } else if (entry.lockOwnerHasDevice == holders::HasDevice::No) {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " names ", named, ", which does not have ", PortPath,
                         " open: the lock is left over, and comtrace refuses the port while it is there"}),
                    remove);
            } else {
                Add(report, "lock-file",
                    Cat({"the lock file ", entry.lockPath, " names ", named, ", whose open files this user cannot ",
                         "see: if it does not use ", PortPath, ", the lock is left over; comtrace refuses the port ",
                         "while it is there"}),
                    "sudo portdoctor");
            }
        } else if (entry.reason == holders::Reason::StaleLock && procRead) {
            const std::string names =
                entry.pid == 0 ? std::string("no valid process ID") : "PID " + pid + ", which no longer runs";
            Add(report, "stale-lock-file",
                "the lock file " + std::string(entry.lockPath) + " names " + names + StaleLockConsequence, remove);
        } else if (entry.reason == holders::Reason::NotALockFile) {
            Add(report, "stale-lock-file",
                Cat({entry.lockPath, " is a link or no regular file, so no lock file (it was not opened); a program "
                                     "that follows it may refuse the port or open what it names"}),
                remove);
        }
    }
}

void CheckFileLocks(const Root &root, const struct stat &node, const std::vector<Process> &processes, Report &report)
{
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
            std::string(PortPath) + " is locked (" + kind + ") by " +
                (owner != nullptr ? Named(*owner) + ": close " + owner->comm + ", or end it"
                                  : "PID " + fields[4] + ": find the program that has it, and close it"),
            owner != nullptr ? "kill " + std::to_string(pid) : std::string("fuser -v ") + PortPath);
    }
}

// ---- the console, udev rules, adapters ---------------------------------------

void CheckConsole(const Root &root, Report &report)
{
    std::string text;
    if (!ReadText(root.At("/proc/cmdline"), text)) {
        report.unseen.push_back(root.At("/proc/cmdline") + ": " + SystemError(errno) +
                                " (a serial console is not checked)");
        return;
    }
    std::istringstream stream(text);
    std::string word;
    const std::string console = std::string("console=") + PortName;
    while (stream >> word) {
        if (word == console || word.compare(0, console.size() + 1, console + ",") == 0) {
            Add(report, "serial-console",
                "the kernel's console is on " + std::string(PortName) + " (" + word +
                    " on the kernel command line): its messages go out to the device",
                "remove " + word +
                    " from GRUB_CMDLINE_LINUX in /etc/default/grub, then run sudo update-grub and reboot");
        }
    }
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
                         "): it takes such an adapter for a braille display, and its ttyUSB port disappears"}),
                    "sudo apt remove brltty (if no braille display is used; else copy " + path +
                        " to /etc/udev/rules.d/, delete the adapter's line there and run sudo udevadm control "
                        "--reload-rules)");
            }
        }
    }
}

void ListAdapters(const Root &root, bool portExists, Report &report)
{
    const std::string folder = "/dev/serial/by-id";
    std::vector<std::string> names;
    if (!ListFolder(root.At(folder), names)) {
        return; // no USB serial adapter (or no udev to name one)
    }
    for (const std::string &name : names) {
        char target[4096];
        const ssize_t length = readlink(root.At(Cat({folder, "/", name})).c_str(), target, sizeof target - 1);
        if (length <= 0) {
            continue;
        }
        target[length] = '\0';
        const char *slash = std::strrchr(target, '/');
        const std::string device = slash != nullptr ? slash + 1 : target;
        // A bind mount needs its mount point; without /dev/ttyS0 an empty file serves.
        const std::string mountPoint = portExists ? "" : std::string("touch ") + PortPath + " && ";
        const std::string byId = Cat({folder, "/", name});
        Add(report, "adapter",
            Cat({byId, " is ", device, ", a USB serial adapter (its by-id name stays when it is plugged in again, ",
                 device, " may change)"}),
            Cat({"unshare -m sh -c '", mountPoint, "mount --bind ", byId, " ", PortPath, " && exec comtrace'"}));
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
    std::string fix;
    if (error == EACCES || error == EPERM) {
        fix = "join the port's group: sudo usermod -aG dialout $USER, then log out and log in again";
    } else if (error == EBUSY) {
        fix = "another program has the port open for itself alone: close it (sudo portdoctor names it)";
    } else if (error == ENXIO || error == ENODEV || error == EIO) {
        fix = "no hardware answers behind the port: use a USB serial adapter (see the adapter lines)";
    } else {
        fix = "this is the error comtrace's open gets: see the findings above";
    }
    Add(report, "open-failed", std::string("opening ") + PortPath + " failed: " + SystemError(error), fix);
}

} // namespace

void LookAtPort(const Options &options, Report &report)
{
    const Root root{options.root};
    struct stat node {};
    bool exists = true;
    if (stat(root.At(PortPath).c_str(), &node) != 0) {
        exists = false;
        if (errno == ENOENT) {
            Add(report, "missing-node", std::string(PortPath) + " does not exist: this machine shows no COM1",
                "use a USB serial adapter (see the adapter lines), or enable the serial port in the firmware setup");
        } else {
            report.unseen.push_back(root.At(PortPath) + ": " + SystemError(errno));
        }
    }
    const bool isDevice = exists && S_ISCHR(node.st_mode);
    if (exists && !isDevice) {
        Add(report, "not-a-device",
            std::string(PortPath) + " is not a character device (" + ModeText(node.st_mode) +
                "), so no port: an empty file may be left by a bind mount's mount point",
            std::string("sudo rm ") + PortPath + " (a reboot recreates the real nodes)");
    }
    if (isDevice) {
        CheckUart(root, node, report);
        CheckAccess(root, node, report);
    }
    std::vector<Process> processes;
    const bool procRead = ReadProcesses(root, processes, report);
    const std::unique_ptr<holders::Findings> holders = FindPortHolders(root, isDevice, node.st_rdev, processes, report);
    CheckProcesses(processes, report);
    CheckLockFiles(*holders, procRead, report);
    if (isDevice) {
        CheckFileLocks(root, node, processes, report);
    }
    CheckConsole(root, report);
    CheckBrltty(root, report);
    ListAdapters(root, exists, report);
    if (options.open && isDevice) {
        TryOpen(root, report);
    }
}

} // namespace portdoctor
