// portdoctor on Linux, run as a process over a system built in a folder
// (--root): each finding with its fix line and the exit status, and a real
// pty that stands in for the port and must come out of a run untouched.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"
#include "process.h"
#include "scratch.h"
#include "text_files.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

struct Output {
    int status = -1;
    std::vector<std::string> lines;
};

// A run that goes on far longer than this has hung.
constexpr long RunLimitMs = 30000;

// Runs a program with arguments; its standard output, line by line, and
// its exit status.
Output RunProgram(const std::string &path, const std::vector<std::string> &arguments)
{
    const std::string out = support::TempPath("portdoctor", "stdout");
    std::vector<std::string> command{path};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const support::ProcessOutcome run = support::RunProcess(command, {"/dev/null", out, ""}, {RunLimitMs, 0});
    EXPECT_FALSE(run.timedOut) << path << " ran for more than " << RunLimitMs << " ms";
    EXPECT_EQ(run.failure, "");
    Output output;
    output.status = run.status;
    output.lines = support::Lines(support::Slurp(out));
    (void)std::remove(out.c_str()); // a file left behind harms no test
    return output;
}

Output RunDoctor(const std::vector<std::string> &arguments)
{
    return RunProgram(PORTDOCTOR_PATH, arguments);
}

// A pty whose slave stands in for the port: its owner is this user, its
// group this user's group, mode 0660 (crw-rw----), as udev leaves ttyS0.
class Pty {
public:
    explicit Pty(bool unlock = true)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || (unlock && unlockpt(master_) != 0)) {
            ADD_FAILURE() << "no pty: " << std::strerror(errno);
            return;
        }
        slave_ = ptsname(master_);
        if (chown(slave_.c_str(), getuid(), getgid()) != 0 || chmod(slave_.c_str(), 0660) != 0) {
            ADD_FAILURE() << "cannot set up " << slave_ << ": " << std::strerror(errno);
        }
    }
    ~Pty()
    {
        if (master_ >= 0) {
            (void)close(master_);
        }
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &Slave() const { return slave_; }
    int Master() const { return master_; }

private:
    int master_ = -1;
    std::string slave_;
};

// The identity the system in the folder gives portdoctor: a user who does
// not own the port.
constexpr unsigned FakeUid = 4242;
constexpr unsigned FakeGid = 4243;

// A system in a folder: a healthy one, which each case then changes.
class FakeSystem {
public:
    explicit FakeSystem(const Pty &pty) : pty_(pty)
    {
        char pattern[] = "/tmp/portdoctor-root-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
            return;
        }
        root_ = pattern;
        struct stat slave {};
        (void)stat(pty.Slave().c_str(), &slave);
        slave_ = slave;
        Link("/dev/ttyS0", pty.Slave());
        Write(DeviceFolder() + "/type", "4\n"); // a 16550A
        SetGroups(true);
        Write("/proc/cmdline", "BOOT_IMAGE=/boot/vmlinuz root=/dev/sda1 ro quiet console=tty0\n");
        Write("/proc/consoles", "tty0                 -WU (EC p  )    4:1\n");
        Write("/proc/sys/user/max_user_namespaces", "15000\n");
        Write("/proc/locks", "");
        AddProcess(1, "systemd", "/sbin/init\0splash\0"s, "0::/init.scope\n");
        Link("/proc/1/fd/0", "/dev/null");
        Write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\nalice:x:4242:4243::/home/alice:/bin/bash\n");
        Groups("");
        fs::create_directories(root_ + "/var/lock");
        fs::create_directories(root_ + "/run/lock");
    }
    ~FakeSystem()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    FakeSystem(const FakeSystem &) = delete;
    FakeSystem &operator=(const FakeSystem &) = delete;

    void Write(const std::string &path, const std::string &text)
    {
        fs::create_directories(fs::path(root_ + path).parent_path());
        std::ofstream(root_ + path, std::ios::binary) << text;
    }
    void Link(const std::string &path, const std::string &target)
    {
        fs::create_directories(fs::path(root_ + path).parent_path());
        fs::create_symlink(target, root_ + path);
    }
    void Remove(const std::string &path) { fs::remove_all(root_ + path); }
    // The port's mode bits (its owner and group stay).
    void Mode(mode_t mode) { (void)chmod(pty_.Slave().c_str(), mode); }

    // The session's groups: with or without the port's group; uid 0 for root.
    void SetGroups(bool withPortGroup, unsigned uid = FakeUid)
    {
        const std::string groups = withPortGroup ? std::to_string(slave_.st_gid) + " " : std::string();
        const std::string id = std::to_string(uid) + "\t";
        Write("/proc/self/status", "Name:\tportdoctor\nUid:\t" + id + id + id + id +
                                       "\nGid:\t4243\t4243\t4243\t4243\nGroups:\t" + groups + "\n");
    }
    // A USB serial adapter named in /dev/serial/by-id: /dev/<device>, the
    // adapter's pty, which has the port's owner, group and mode.
    void AddAdapter(const std::string &byId, const std::string &device)
    {
        Link("/dev/serial/by-id/" + byId, "../../" + device);
        if (!fs::exists(fs::symlink_status(root_ + "/dev/" + device))) {
            Link("/dev/" + device, adapter_.Slave());
        }
    }
    // The group database: the port's group is dialout, with these members.
    void Groups(const std::string &dialoutMembers)
    {
        Write("/etc/group",
              "staff:x:4250:\ndialout:x:" + std::to_string(slave_.st_gid) + ":" + dialoutMembers + "\nalice:x:4243:\n");
    }
    void AddProcess(unsigned pid, const std::string &comm, const std::string &cmdline, const std::string &cgroup)
    {
        const std::string folder = "/proc/" + std::to_string(pid);
        Write(folder + "/comm", comm + "\n");
        Write(folder + "/cmdline", cmdline);
        Write(folder + "/cgroup", cgroup);
        fs::create_directories(root_ + folder + "/fd");
    }
    // The serial core's folder of the port's device number.
    std::string DeviceFolder() const
    {
        return "/sys/dev/char/" + std::to_string(major(slave_.st_rdev)) + ":" + std::to_string(minor(slave_.st_rdev));
    }
    // A /proc/locks line for a lock of this kind on the port.
    std::string LockLine(const std::string &kind, unsigned pid) const
    {
        char line[200];
        (void)std::snprintf(line, sizeof line, "1: %s  ADVISORY  WRITE %u %02x:%02x:%lu 0 EOF\n", kind.c_str(), pid,
                            major(slave_.st_dev), minor(slave_.st_dev), static_cast<unsigned long>(slave_.st_ino));
        return line;
    }

    const std::string &Root() const { return root_; }
    const Pty &Port() const { return pty_; }
    const Pty &Adapter() const { return adapter_; }

private:
    const Pty &pty_;
    Pty adapter_;
    std::string root_;
    struct stat slave_ {};
};

// One finding expected: its header, words its first line must hold, and its
// second line whole.
struct Expected {
    std::string header; // "problem [no-uart]"
    std::string what;   // a part of the line after the header
    std::string action; // "  fix: ..." or "  use: ..."
};

struct Case {
    const char *name;
    std::function<void(FakeSystem &)> change;
    std::vector<Expected> findings;
    int status;
    std::vector<std::string> options = {};
    bool unlockedPty = true;
};

const std::string Dialout = "dialout";

// The lines that run comtrace on an adapter: with a /dev/ttyS0 to mount
// over, or without one (a /dev of the namespace's own), by each way in.
std::string AdapterLine(const std::string &unshare, const std::string &byId)
{
    return "  use: " + unshare + " sh -c 'mount --bind /dev/serial/by-id/" + byId + " /dev/ttyS0 && exec comtrace'";
}
std::string AdapterLineWithoutNode(const std::string &byId)
{
    return "  use: unshare -rm sh -c 'mount --rbind /dev /mnt && mount -t tmpfs dev /dev && ln -s /mnt/* /dev/ && "
           "rm -f /dev/ttyS0 && ln -s /mnt/serial/by-id/" +
           byId + " /dev/ttyS0 && exec comtrace'";
}

std::vector<Case> Cases()
{
    const std::string ftdi = "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
    const std::string ch340 = "usb-1a86_USB_Serial-if00-port0";
    const std::string getty = "/sbin/agetty\0-o\0-p -- \\u\0--keep-baud\0115200,38400,9600\0ttyS0\0vt220\0"s;
    const std::string noPort = "use a USB serial adapter (the adapter lines give the command that runs comtrace on "
                               "one, and this lists them once one is plugged in), or enable the serial port in the "
                               "firmware setup";
    const std::string listAdapters = "  fix: ls -l /dev/serial/by-id";
    const std::string grubFix = "  fix: sudoedit /etc/default/grub && sudo update-grub";
    const std::string adapterNote = " is ttyUSB0, a USB serial adapter (its by-id name stays when it is plugged in "
                                    "again, ttyUSB0 may change); the line works once the findings above on "
                                    "/dev/ttyUSB0 are dealt with";
    return {
        {"a healthy port", [](FakeSystem &) {}, {}, 0},
        {"the node missing",
         [](FakeSystem &system) { system.Remove("/dev/ttyS0"); },
         {{"problem [missing-node]", "/dev/ttyS0 does not exist: this machine shows no COM1; " + noPort, listAdapters}},
         1},
        {"a regular file in its place",
         [](FakeSystem &system) {
             system.Remove("/dev/ttyS0");
             system.Write("/dev/ttyS0", "");
         },
         {{"problem [not-a-device]", "/dev/ttyS0 is not a character device (-rw-", "  fix: sudo rm /dev/ttyS0"}},
         1},
        {"no UART behind the node",
         [](FakeSystem &system) { system.Write(system.DeviceFolder() + "/type", "0\n"); },
         {{"problem [no-uart]",
           "reports port type 0 (unknown), so nothing goes out or comes in, and the trace looks "
           "like a silent device; " +
               noPort,
           listAdapters}},
         1},
        {"not in the port's group",
         [](FakeSystem &system) { system.SetGroups(false); },
         {{"problem [no-access]", "alice may not read and write /dev/ttyS0: it belongs to group dialout (crw-rw----)",
           "  fix: sudo usermod -aG dialout \"$USER\""}},
         1},
        {"a port its group may not use",
         [](FakeSystem &system) { system.Mode(0600); },
         {{"problem [no-access]", "and its group dialout may not either (crw-------): give it to group dialout",
           "  fix: sudo chgrp dialout /dev/ttyS0 && sudo chmod 660 /dev/ttyS0 && sudo usermod -aG dialout "
           "\"$USER\""}},
         1},
        {"in the group's member list, not in this session",
         [](FakeSystem &system) {
             system.SetGroups(false);
             system.Groups("bob,alice");
         },
         {{"problem [new-login-needed]", "alice is in group dialout (/etc/group)", "  fix: sg dialout -c comtrace"}},
         1},
        {"held by a process",
         [](FakeSystem &system) {
             system.AddProcess(777, "minicom", "minicom\0-D\0/dev/ttyS0\0"s, "0::/user.slice\n");
             system.Link("/proc/777/fd/3", system.Port().Slave());
         },
         {{"problem [held-by-process]", "/dev/ttyS0 is open in PID 777 (minicom): close minicom, or end it",
           "  fix: kill 777"}},
         1},
        {"a lock file of a process that has the port open",
         [](FakeSystem &system) {
             system.AddProcess(778, "cu", "cu\0-l\0ttyS0\0"s, "0::/user.slice\n");
             system.Link("/proc/778/fd/3", system.Port().Slave());
             system.Write("/var/lock/LCK..ttyS0", "       778\n");
         },
         {{"problem [held-by-process]", "/dev/ttyS0 is open in PID 778 (cu)", "  fix: kill 778"},
          {"problem [lock-file]", "the lock file /var/lock/LCK..ttyS0 says PID 778 (cu) uses /dev/ttyS0",
           "  fix: kill 778"}},
         1},
        {"a lock file of a running process that does not have the port",
         [](FakeSystem &system) { system.Write("/run/lock/LCK..ttyS0", "         1\n"); },
         {{"problem [lock-file]", "names PID 1 (systemd), which does not have /dev/ttyS0 open: the lock is left over",
           "  fix: sudo rm /run/lock/LCK..ttyS0"}},
         1},
        {"a stale binary lock file",
         [](FakeSystem &system) {
             const int pid = 31337;
             system.Write("/run/lock/LCK..ttyS0", std::string(reinterpret_cast<const char *>(&pid), sizeof pid));
         },
         {{"warning [stale-lock-file]", "names PID 31337, which no longer runs: it is stale (left in place)",
           "  fix: sudo rm /run/lock/LCK..ttyS0"}},
         0},
        {"an flock",
         [](FakeSystem &system) {
             system.AddProcess(779, "flashtool", "flashtool\0"s, "0::/user.slice\n");
             system.Write("/proc/locks", system.LockLine("FLOCK", 779));
         },
         {{"problem [flock]", "/dev/ttyS0 is locked (an flock) by PID 779 (flashtool)", "  fix: kill 779"}},
         1},
        {"an flock of a process out of sight",
         [](FakeSystem &system) { system.Write("/proc/locks", system.LockLine("POSIX", 780)); },
         {{"problem [flock]", "/dev/ttyS0 is locked (a POSIX lock) by PID 780", "  fix: fuser -v /dev/ttyS0"}},
         1},
        {"a serial console",
         [](FakeSystem &system) {
             system.Write("/proc/cmdline", "root=/dev/sda1 console=tty0 console=ttyS0,115200n8\n");
         },
         {{"problem [serial-console]",
           "(console=ttyS0,115200n8 on the kernel command line): its messages go out to "
           "the device; remove console=ttyS0,115200n8 from GRUB_CMDLINE_LINUX",
           grubFix}},
         1},
        {"a serial console named by its UART",
         [](FakeSystem &system) { system.Write("/proc/cmdline", "root=/dev/sda1 console=uart8250,io,0x3f8,9600n8\n"); },
         {{"problem [serial-console]", "(console=uart8250,io,0x3f8,9600n8 on the kernel command line)", grubFix}},
         1},
        {"a UART console elsewhere",
         [](FakeSystem &system) { system.Write("/proc/cmdline", "root=/dev/sda1 console=uart8250,io,0x2f8\n"); },
         {},
         0},
        {"a serial console the firmware chose",
         [](FakeSystem &system) { system.Write("/proc/consoles", "ttyS0                -W- (EC  p a)    4:64\n"); },
         {{"problem [serial-console]",
           "(/proc/consoles lists it, though the kernel command line names no console there: the firmware chose "
           "it): its messages go out to the device; add console=tty0 to GRUB_CMDLINE_LINUX",
           grubFix}},
         1},
        {"a console with its getty, the port in group tty",
         [getty](FakeSystem &system) {
             system.Mode(0620);
             system.Write("/proc/cmdline", "root=/dev/sda1 console=ttyS0\n");
             system.AddProcess(811, "agetty", getty,
                               "0::/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS0.service\n");
             system.Link("/proc/811/fd/0", system.Port().Slave());
         },
         {{"problem [serial-console]", "(console=ttyS0 on the kernel command line)", grubFix},
          {"problem [getty]", "PID 811 (agetty), of serial-getty@ttyS0.service",
           "  fix: sudo systemctl stop serial-getty@ttyS0.service && sudo systemctl mask serial-getty@ttyS0.service"},
          {"problem [no-access]",
           "the console or the getty above has it; once they are off it and the machine "
           "restarted, it is back in group dialout",
           "  fix: sudo usermod -aG dialout \"$USER\""}},
         1},
        {"a getty of serial-getty@ttyS0.service",
         [getty](FakeSystem &system) {
             system.AddProcess(812, "agetty", getty,
                               "0::/system.slice/system-serial\\x2dgetty.slice/serial-getty@ttyS0.service\n");
             system.Link("/proc/812/fd/0", system.Port().Slave());
         },
         {{"problem [getty]", "PID 812 (agetty), of serial-getty@ttyS0.service",
           "  fix: sudo systemctl stop serial-getty@ttyS0.service && sudo systemctl mask serial-getty@ttyS0.service"}},
         1},
        {"a getty of getty@ttyS0.service",
         [getty](FakeSystem &system) {
             system.AddProcess(814, "agetty", getty, "0::/system.slice/system-getty.slice/getty@ttyS0.service\n");
         },
         {{"problem [getty]", "PID 814 (agetty), of getty@ttyS0.service",
           "  fix: sudo systemctl stop getty@ttyS0.service && sudo systemctl mask getty@ttyS0.service"}},
         1},
        {"a getty started by init",
         [getty](FakeSystem &system) { system.AddProcess(813, "agetty", getty, "0::/init.scope\n"); },
         {{"problem [getty]",
           "PID 813 (agetty); it answers the device and takes its bytes (if init starts it "
           "again, remove its line from /etc/inittab)",
           "  fix: sudo kill 813"}},
         1},
        {"ModemManager running",
         [](FakeSystem &system) {
             system.AddProcess(600, "ModemManager", "/usr/sbin/ModemManager\0"s,
                               "0::/system.slice/ModemManager.service\n");
         },
         {{"warning [modemmanager]", "ModemManager runs (PID 600 (ModemManager))",
           "  fix: sudo systemctl disable --now ModemManager"}},
         0},
        {"brltty's rule claiming adapters",
         [](FakeSystem &system) {
             system.Write("/usr/lib/udev/rules.d/85-brltty.rules",
                          "# Device: 1A86:7523\nENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                          "GOTO=\"brltty_usb_run\"\nSUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"10c4\", "
                          "ATTRS{idProduct}==\"ea60\", GOTO=\"brltty_usb_run\"\n");
             system.Write("/lib/udev/rules.d/60-other.rules", "ENV{PRODUCT}==\"403/6001/*\"\n");
         },
         {{"warning [brltty]",
           "/usr/lib/udev/rules.d/85-brltty.rules claims USB serial adapters (CH340 1a86:7523, CP210x 10c4:ea60)",
           "  fix: sudo apt remove brltty"}},
         0},
        {"adapters by id",
         [=](FakeSystem &system) {
             system.AddAdapter(ftdi, "ttyUSB0");
             system.AddAdapter(ch340, "ttyUSB1");
             system.Link("/dev/serial/by-id/usb-gone-if00-port0", "../../ttyUSB9");
         },
         {{"note [adapter]", "/dev/serial/by-id/" + ch340 + " is ttyUSB1, a USB serial adapter",
           AdapterLine("unshare -rm", ch340)},
          {"note [adapter]", "/dev/serial/by-id/" + ftdi + " is ttyUSB0, a USB serial adapter",
           AdapterLine("unshare -rm", ftdi)}},
         0},
        {"an adapter for root",
         [=](FakeSystem &system) {
             system.SetGroups(false, 0);
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"note [adapter]", ftdi + " is ttyUSB0", AdapterLine("unshare -m", ftdi)}},
         0},
        {"an adapter for a user who ran portdoctor through sudo",
         [=](FakeSystem &system) {
             system.SetGroups(false, 0);
             system.Write("/proc/self/environ", "HOME=/root\0SUDO_USER=alice\0SUDO_UID=4242\0"s);
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"note [adapter]", ftdi + " is ttyUSB0", AdapterLine("sudo unshare -m", ftdi)}},
         0},
        {"an adapter where user namespaces are off",
         [=](FakeSystem &system) {
             system.Write("/proc/sys/kernel/unprivileged_userns_clone", "0\n");
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"note [adapter]", ftdi + " is ttyUSB0", AdapterLine("sudo unshare -m", ftdi)}},
         0},
        {"an adapter another process holds",
         [=](FakeSystem &system) {
             system.AddAdapter(ftdi, "ttyUSB0");
             system.AddProcess(790, "screen", "screen\0/dev/ttyUSB0\0"s, "0::/user.slice\n");
             system.Link("/proc/790/fd/5", system.Adapter().Slave());
         },
         {{"problem [held-by-process]", "/dev/ttyUSB0 is open in PID 790 (screen)", "  fix: kill 790"},
          {"note [adapter]", ftdi + adapterNote, AdapterLine("unshare -rm", ftdi)}},
         1},
        {"an adapter with a lock file of its own name",
         [=](FakeSystem &system) {
             system.AddAdapter(ftdi, "ttyUSB0");
             system.AddProcess(791, "cu", "cu\0-l\0ttyUSB0\0"s, "0::/user.slice\n");
             system.Write("/run/lock/LCK..ttyUSB0", "       791\n");
         },
         {{"problem [lock-file]",
           "the lock file /run/lock/LCK..ttyUSB0 names PID 791 (cu), which does not have /dev/ttyUSB0 open",
           "  fix: sudo rm /run/lock/LCK..ttyUSB0"},
          {"note [adapter]", ftdi + adapterNote, AdapterLine("unshare -rm", ftdi)}},
         1},
        {"an adapter this user may not open",
         [=](FakeSystem &system) {
             system.AddAdapter(ftdi, "ttyUSB0");
             (void)chmod(system.Adapter().Slave().c_str(), 0600);
         },
         {{"problem [no-access]", "alice may not read and write /dev/ttyUSB0, and its group dialout may not either",
           "  fix: sudo chgrp dialout /dev/ttyUSB0 && sudo chmod 660 /dev/ttyUSB0 && sudo usermod -aG dialout "
           "\"$USER\""},
          {"note [adapter]", ftdi + adapterNote, AdapterLine("unshare -rm", ftdi)}},
         1},
        {"an adapter and no node",
         [=](FakeSystem &system) {
             system.Remove("/dev/ttyS0");
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"problem [missing-node]", "/dev/ttyS0 does not exist", listAdapters},
          {"note [adapter]", ftdi + " is ttyUSB0", AdapterLineWithoutNode(ftdi)}},
         1},
        {"an adapter and a dangling link for the node",
         [=](FakeSystem &system) {
             system.Remove("/dev/ttyS0");
             system.Link("/dev/ttyS0", "ttyS9");
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"problem [missing-node]", "/dev/ttyS0 does not exist", listAdapters},
          {"note [adapter]", ftdi + " is ttyUSB0", AdapterLineWithoutNode(ftdi)}},
         1},
        {"no /proc to look at", [](FakeSystem &system) { system.Remove("/proc"); }, {}, 2},
        {"an adapter and no locks to look at",
         [=](FakeSystem &system) {
             system.Remove("/proc/locks");
             system.AddAdapter(ftdi, "ttyUSB0");
         },
         {{"note [adapter]", ftdi + " is ttyUSB0", AdapterLine("unshare -rm", ftdi)}},
         2},
        {"an open that works",
         [](FakeSystem &) {},
         {{"note [opened]", "/dev/ttyS0 opened and was closed again", "  use: comtrace"}},
         0,
         {"--open"}},
        {"an open that fails",
         [](FakeSystem &) {},
         {{"problem [open-failed]",
           "opening /dev/ttyS0 failed: Input/output error; no hardware answers behind the "
           "port; " +
               noPort,
           listAdapters}},
         1,
         {"--open"},
         false},
    };
}

const std::regex FindingLine(R"(^(problem|warning|note) \[([a-z0-9-]+)\]: (.+)$)");
const std::regex ActionLine(R"(^  (fix|use): .+$)");

struct Reported {
    std::string header;
    std::string what;
    std::string action;
};

// The findings in portdoctor's output, each with its two lines; a finding
// line without an action line after it is a failure.
std::vector<Reported> Findings(const Output &output)
{
    std::vector<Reported> findings;
    for (std::size_t i = 0; i < output.lines.size(); ++i) {
        std::smatch match;
        if (!std::regex_match(output.lines[i], match, FindingLine)) {
            continue;
        }
        const bool paired = i + 1 < output.lines.size() && std::regex_match(output.lines[i + 1], ActionLine);
        EXPECT_TRUE(paired) << "no fix line after: " << output.lines[i];
        findings.push_back({match[1].str() + " [" + match[2].str() + "]", match[3].str(),
                            paired ? output.lines[i + 1] : std::string()});
    }
    return findings;
}

std::string Show(const Output &output)
{
    std::string text;
    for (const std::string &line : output.lines) {
        text += "  | " + line + "\n";
    }
    return text;
}

TEST(PortdoctorLinux, ReportsEachFindingWithItsFixAndExitStatus)
{
    for (const Case &testCase : Cases()) {
        SCOPED_TRACE(testCase.name);
        const Pty pty(testCase.unlockedPty);
        FakeSystem system(pty);
        testCase.change(system);
        std::vector<std::string> arguments = {"--root", system.Root()};
        arguments.insert(arguments.end(), testCase.options.begin(), testCase.options.end());
        const Output output = RunDoctor(arguments);

        EXPECT_EQ(output.status, testCase.status) << Show(output);
        const std::vector<Reported> reported = Findings(output);
        if (reported.size() != testCase.findings.size()) {
            ADD_FAILURE() << reported.size() << " findings, not " << testCase.findings.size() << ":\n" << Show(output);
            continue;
        }
        for (std::size_t i = 0; i < reported.size(); ++i) {
            EXPECT_EQ(reported[i].header, testCase.findings[i].header) << Show(output);
            EXPECT_NE(reported[i].what.find(testCase.findings[i].what), std::string::npos)
                << "\"" << testCase.findings[i].what << "\" not in: " << reported[i].what;
            EXPECT_EQ(reported[i].action, testCase.findings[i].action);
        }
        std::vector<std::string> unseen;
        std::copy_if(output.lines.begin(), output.lines.end(), std::back_inserter(unseen),
                     [](const std::string &line) { return line.rfind("cannot look: ", 0) == 0; });
        EXPECT_EQ(!unseen.empty(), testCase.status == 2) << Show(output);
        EXPECT_EQ(std::set<std::string>(unseen.begin(), unseen.end()).size(), unseen.size())
            << "the same thing unseen twice:\n"
            << Show(output);
    }
}

// The output of each case of the table above.
std::vector<Output> RunEveryCase()
{
    std::vector<Output> outputs;
    for (const Case &testCase : Cases()) {
        const Pty pty(testCase.unlockedPty);
        FakeSystem system(pty);
        testCase.change(system);
        std::vector<std::string> arguments = {"--root", system.Root()};
        arguments.insert(arguments.end(), testCase.options.begin(), testCase.options.end());
        outputs.push_back(RunDoctor(arguments));
    }
    return outputs;
}

// Every fix and use line is one command to paste into bash as it is: bash
// reads it without a syntax error, and each command in it is a program,
// not a word of advice ("close minicom, or end it: kill 777" reads as a
// command named close).
TEST(PortdoctorLinux, EveryFixAndUseLineIsOneCommandForBash)
{
    const std::set<std::string> programs = {"apt",       "chgrp", "chmod",      "comtrace",    "dmesg",  "fuser",
                                            "kill",      "ls",    "portdoctor", "rm",          "sg",     "sudoedit",
                                            "systemctl", "tail",  "unshare",    "update-grub", "usermod"};
    const std::regex action(R"(^  (fix|use): (.+)$)");
    std::set<std::string> commands;
    for (const Output &output : RunEveryCase()) {
        for (const std::string &line : output.lines) {
            std::smatch match;
            if (std::regex_match(line, match, action)) {
                commands.insert(match[2].str());
            }
        }
    }
    EXPECT_GE(commands.size(), 20u); // the table reached them
    for (const std::string &command : commands) {
        SCOPED_TRACE(command);
        const Output syntax = RunProgram("bash", {"-n", "-c", command});
        EXPECT_EQ(syntax.status, 0) << "bash does not read it";
        // The commands of a list or pipeline, each after its &&, || or |;
        // a quoted script is the argument of the command before it.
        const std::string unquoted = std::regex_replace(command, std::regex("'[^']*'"), "script");
        const std::regex word(R"((?:^|&&|\|\|?)\s*(?:sudo\s+)?([^\s'"]+))");
        for (auto next = std::sregex_iterator(unquoted.begin(), unquoted.end(), word); next != std::sregex_iterator();
             ++next) {
            EXPECT_EQ(programs.count((*next)[1].str()), 1u) << "not a program: " << (*next)[1].str();
        }
    }
}

// Builds a /dev in a mount namespace of its own (the machine's null, zero,
// tty and pts, an adapter's pty as ttyUSB0 with its by-id link, and for
// ttyS0 a stand-in pty, nothing or a dangling link), runs a line there as
// root or as a user who has the adapter through a supplementary group only,
// and says whether /dev changed. Run as: bash -c SCRIPT outer ADAPTER
// STAND_IN NODE DEV LINE USER.
const char *const AdapterLineScript = R"script(set -euo pipefail
adapter=$1 stand_in=$2 node=$3 dev=$4 line=$5 user=$6
mount -t tmpfs fakedev "$dev"
for name in null zero tty; do
    touch "$dev/$name"
    mount --bind "/dev/$name" "$dev/$name"
done
mkdir "$dev/pts"
mount --bind /dev/pts "$dev/pts"
ln -s pts/ptmx "$dev/ptmx"
touch "$dev/ttyUSB0"
mount --bind "$adapter" "$dev/ttyUSB0"
case $node in
    pty) touch "$dev/ttyS0" && mount --bind "$stand_in" "$dev/ttyS0" ;;
    dangling) ln -s ttyS9 "$dev/ttyS0" ;;
esac
mkdir -p "$dev/serial/by-id"
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-test-if00-port0"
mount --move "$dev" /dev
listing() { find /dev /mnt -xdev -printf '%p %y %l\n' | sort; }
before=$(listing)
status=0
if [ "$user" = root ]; then
    bash -c "$line" || status=$?
else
    setpriv --reuid=4242 --regid=4243 --groups=4244 bash -c "$line" || status=$?
fi
[ "$before" = "$(listing)" ] || { echo "/dev changed:"; diff <(echo "$before") <(listing) || true; }
echo "status $status"
)script";

// The adapter line runs as printed for root and for a user through a user
// namespace, and changes nothing outside it: comtrace (a stand-in that says
// which device /dev/ttyS0 is and whether it opens) gets the adapter, and
// neither an empty file nor a dangling link's target is left in /dev.
TEST(PortdoctorLinux, AdapterLineRunsComtraceOnTheAdapterAndChangesNothingOutside)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "building a /dev in a mount namespace needs root";
    }
    char pattern[] = "/tmp/portdoctor-line-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    const std::string scratch = pattern;
    fs::create_directories(scratch + "/bin");
    fs::create_directories(scratch + "/dev");
    fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(scratch + "/bin/comtrace")
        << "#!/bin/sh\nprintf 'ttyS0 is %s\\n' \"$(stat -L -c %t:%T /dev/ttyS0)\"\n"
           "if cat /dev/null 3<>/dev/ttyS0; then echo 'ttyS0 opens'; fi\n";
    fs::permissions(scratch + "/bin/comtrace", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                   fs::perms::others_read | fs::perms::others_exec);
    constexpr unsigned AdapterGid = 4244;
    struct LineRun {
        const char *node; // what /dev/ttyS0 is: "pty", "none" or "dangling"
        bool asRoot;
    };
    for (const LineRun &run : {LineRun{"pty", true}, LineRun{"pty", false}, LineRun{"none", true},
                               LineRun{"none", false}, LineRun{"dangling", false}}) {
        SCOPED_TRACE(std::string(run.node) + (run.asRoot ? ", root" : ", a user"));
        const Pty port;
        FakeSystem system(port);
        system.AddAdapter("usb-test-if00-port0", "ttyUSB0");
        const std::string adapter = system.Adapter().Slave();
        ASSERT_EQ(chown(adapter.c_str(), 0, AdapterGid), 0) << std::strerror(errno);
        system.Write("/proc/self/status", "Uid:\t" + std::string(run.asRoot ? "0\t0\t0\t0" : "4242\t4242\t4242\t4242") +
                                              "\nGid:\t4243\t4243\t4243\t4243\nGroups:\t4244\n");
        if (std::string(run.node) != "pty") {
            system.Remove("/dev/ttyS0");
        }
        if (std::string(run.node) == "dangling") {
            system.Link("/dev/ttyS0", "ttyS9");
        }
        const Output doctor = RunDoctor({"--root", system.Root()});
        const auto use = std::find_if(doctor.lines.begin(), doctor.lines.end(),
                                      [](const std::string &line) { return line.rfind("  use: ", 0) == 0; });
        ASSERT_NE(use, doctor.lines.end()) << Show(doctor);
        const std::string line = use->substr(7);
        EXPECT_EQ(line.rfind(run.asRoot ? "unshare -m " : "unshare -rm ", 0), 0u) << line;

        const Output ran =
            RunProgram("env", {"PATH=" + scratch + "/bin:" + std::getenv("PATH"), "unshare", "-m", "--propagation",
                               "private", "bash", "-c", AdapterLineScript, "outer", adapter, port.Slave(), run.node,
                               scratch + "/dev", line, run.asRoot ? "root" : "user"});
        struct stat device {};
        ASSERT_EQ(stat(adapter.c_str(), &device), 0);
        char rdev[32];
        (void)std::snprintf(rdev, sizeof rdev, "%x:%x", major(device.st_rdev), minor(device.st_rdev));
        EXPECT_EQ(ran.lines, (std::vector<std::string>{"ttyS0 is "s + rdev, "ttyS0 opens", "status 0"})) << Show(ran);
    }
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

// Every finding --help lists for Linux has a case above: a new finding
// cannot go untested.
TEST(PortdoctorLinux, EveryLinuxFindingHasACase)
{
    std::set<std::string> covered;
    for (const Case &testCase : Cases()) {
        for (const Expected &expected : testCase.findings) {
            covered.insert(expected.header.substr(expected.header.find('[') + 1,
                                                  expected.header.find(']') - expected.header.find('[') - 1));
        }
    }
    const std::regex listed(R"(^  ([a-z0-9-]+) +(problem|warning|note), (Linux|Windows|both): .+$)");
    int linuxFindings = 0;
    for (const std::string &line : RunDoctor({"--help"}).lines) {
        std::smatch match;
        if (std::regex_match(line, match, listed) && match[3] != "Windows") {
            ++linuxFindings;
            EXPECT_EQ(covered.count(match[1]), 1u) << "no case for the finding " << match[1];
        }
    }
    EXPECT_GE(linuxFindings, 15);
}

// Counts the opens of path while action runs, from inotify.
int CountOpens(const std::string &path, const std::function<void()> &action)
{
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watcher < 0 || inotify_add_watch(watcher, path.c_str(), IN_OPEN) < 0) {
        ADD_FAILURE() << "inotify on " << path << ": " << std::strerror(errno);
        return -1;
    }
    action();
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t got = 0;
    while ((got = read(watcher, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    (void)close(watcher);
    return opens;
}

bool SameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc)) && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

// Without --open the port is never opened and keeps its settings, even
// through a link where a lock file would be; with it, it is opened once and
// still keeps them (the check would see an open).
TEST(PortdoctorLinux, LeavesARealPtyUntouchedWithoutOpen)
{
    struct Run {
        std::vector<std::string> options;
        int opens;
    };
    for (const Run &run : {Run{{}, 0}, Run{{"--open"}, 1}}) {
        const Pty pty;
        FakeSystem system(pty);
        // A link where a lock file would be, planted in the world-writable
        // lock directory: never followed to the port.
        system.Link("/run/lock/LCK..ttyS0", pty.Slave());
        // Held open here, so that the master sees no hang-up when the run closes it.
        const int slave = open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0) << std::strerror(errno);
        // Settings no program would leave by chance: 1200 bit/s, 7E2, raw.
        termios settings{};
        ASSERT_EQ(tcgetattr(pty.Master(), &settings), 0);
        cfmakeraw(&settings);
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
        settings.c_cc[VMIN] = 3;
        ASSERT_EQ(cfsetspeed(&settings, B1200), 0);
        ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &settings), 0);
        termios before{};
        ASSERT_EQ(tcgetattr(pty.Master(), &before), 0);

        std::vector<std::string> arguments = {"--root", system.Root()};
        arguments.insert(arguments.end(), run.options.begin(), run.options.end());
        Output output;
        EXPECT_EQ(CountOpens(pty.Slave(), [&] { output = RunDoctor(arguments); }), run.opens) << Show(output);
        EXPECT_EQ(output.status, 0) << Show(output);

        termios after{};
        ASSERT_EQ(tcgetattr(pty.Master(), &after), 0);
        EXPECT_TRUE(SameSettings(before, after)) << "the port's settings changed";
        pollfd ready{pty.Master(), POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, 0), 0) << "something was written to the port";
        (void)close(slave);
    }
}

// The parts of the holder cases below: real processes and lock files
// around a real pty, seen through a root folder whose /proc is the
// system's own.
namespace holder_rule {

enum class Role {
    Idle,        // runs, and has nothing of the port
    Opener,      // has the port open
    FarEnd,      // has the pty's master, and the port too: it plays the device
    FlockHolder, // has the port open and an flock on it
};

// A process in a role until the object goes.
class RolePlayer {
public:
    RolePlayer(const Pty &pty, Role role)
    {
        int ready[2] = {-1, -1};
        if (pipe(ready) != 0 || pipe(release_) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            if (role != Role::FarEnd) {
                (void)close(pty.Master());
            }
            (void)close(release_[1]);
            const int slave = role == Role::Idle ? 0 : open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
            const bool locked = role != Role::FlockHolder || flock(slave, LOCK_EX | LOCK_NB) == 0;
            const char byte = slave >= 0 && locked ? 'y' : 'n';
            char ignored = 0;
            _exit(write(ready[1], &byte, 1) == 1 && read(release_[0], &ignored, 1) >= 0 ? 0 : 1);
        }
        char byte = 'n';
        EXPECT_TRUE(pid_ > 0 && read(ready[0], &byte, 1) == 1 && byte == 'y') << "no process in its role";
        (void)close(ready[0]);
        (void)close(ready[1]);
        (void)close(release_[0]);
    }
    ~RolePlayer()
    {
        (void)close(release_[1]);
        if (pid_ > 0) {
            (void)waitpid(pid_, nullptr, 0);
        }
    }
    RolePlayer(const RolePlayer &) = delete;
    RolePlayer &operator=(const RolePlayer &) = delete;

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};

// The folder both programs take for the system: /proc is the system's,
// /dev/ttyS0 the pty's slave, the lock directories its own.
class SystemWithRealProcesses {
public:
    explicit SystemWithRealProcesses(const Pty &pty)
    {
        char pattern[] = "/tmp/holder-rule-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
            return;
        }
        root_ = pattern;
        fs::create_directories(root_ + "/dev");
        fs::create_directories(root_ + "/var/lock");
        fs::create_directories(root_ + "/run/lock");
        fs::create_symlink("/proc", root_ + "/proc");
        fs::create_symlink(pty.Slave(), root_ + "/dev/ttyS0");
    }
    ~SystemWithRealProcesses()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    SystemWithRealProcesses(const SystemWithRealProcesses &) = delete;
    SystemWithRealProcesses &operator=(const SystemWithRealProcesses &) = delete;

    void Write(const std::string &path, const std::string &text) const
    {
        std::ofstream(root_ + path, std::ios::binary) << text;
    }
    const std::string &Root() const { return root_; }

private:
    std::string root_;
};

// comtrace's open of COM1 in the folder, in a child: its error (0 when it
// opened) and, when refused, why.
struct Opened {
    DWORD error = ERROR_GEN_FAILURE;
    win32_over_posix::Refusal refusal{};
};

Opened OpenComOne(const std::string &root, int master)
{
    int result[2] = {-1, -1};
    Opened opened;
    if (pipe(result) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return opened;
    }
    const pid_t child = fork();
    if (child == 0) {
        (void)close(master);
        (void)close(result[0]);
        const holders::Places places{root.c_str(), holders::SystemLockDirectories, holders::SystemLockDirectoryCount};
        Opened mine;
        const HANDLE port = win32_over_posix::OpenPort("COM1", places, &mine.refusal);
        mine.error = port == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (port != INVALID_HANDLE_VALUE) {
            (void)CloseHandle(port);
        }
        _exit(write(result[1], &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine) ? 0 : 1);
    }
    (void)close(result[1]);
    const bool read_ = read(result[0], &opened, sizeof opened) == static_cast<ssize_t>(sizeof opened);
    (void)close(result[0]);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(read_) << "no result from the open";
    return opened;
}

// The findings portdoctor gives for a holder of the port.
const std::set<std::string> HolderFindings = {"problem [held-by-process]", "problem [lock-file]", "problem [flock]",
                                              "problem [getty]"};

// The findings that say what the refusal says.
std::set<std::string> FindingsFor(const win32_over_posix::Refusal &refusal)
{
    if (refusal.byFlock) {
        return {"problem [flock]"};
    }
    if (refusal.holder.reason == holders::Reason::OpenInProcess) {
        return {"problem [held-by-process]", "problem [getty]"};
    }
    return {"problem [lock-file]"};
}

} // namespace holder_rule

// comtrace's open and portdoctor apply one rule: in every case portdoctor
// names a holder exactly when the open is refused, for the reason the open
// gives, and the lock file of a process without the port is answered by
// removing it, never by ending the process.
TEST(PortdoctorLinux, NamesAHolderExactlyWhenTheProgramsOpenIsRefused)
{
    using namespace holder_rule;
    enum class LockName { None, PortName, NameBehindTheLink, Link };
    const struct {
        const char *name;
        Role role;          // a process in this role beside the port (Idle: besides the lock's owner)
        LockName lock;      // a lock file naming the process in its role
        bool refused;       // comtrace's open is refused
        const char *action; // portdoctor's fix for the lock file; "" for none
    } cases[] = {
        {"nobody else", Role::Idle, LockName::None, false, ""},
        {"another process has the port", Role::Opener, LockName::None, true, ""},
        {"the pty's far end, the device, has it", Role::FarEnd, LockName::None, false, ""},
        {"an flock on the port", Role::FlockHolder, LockName::None, true, ""},
        {"a lock file of the process that has the port", Role::Opener, LockName::PortName, true, "kill PID"},
        {"a lock file of a process without the port", Role::Idle, LockName::PortName, true,
         "sudo rm /var/lock/LCK..ttyS0"},
        {"a lock file under the name behind the link", Role::Idle, LockName::NameBehindTheLink, true,
         "sudo rm /var/lock/LCK..PTS"},
        {"a link where the lock file would be", Role::Idle, LockName::Link, false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Pty pty;
        const SystemWithRealProcesses system(pty);
        const RolePlayer player(pty, c.role);
        const std::string pid = std::to_string(player.Pid());
        const std::string pts = pty.Slave().substr(pty.Slave().rfind('/') + 1);
        char lockText[16];
        (void)std::snprintf(lockText, sizeof lockText, "%10ld\n", static_cast<long>(player.Pid()));
        if (c.lock == LockName::PortName) {
            system.Write("/var/lock/LCK..ttyS0", lockText);
        } else if (c.lock == LockName::NameBehindTheLink) {
            system.Write("/var/lock/LCK.." + pts, lockText);
        } else if (c.lock == LockName::Link) {
            system.Write("/var/lock/owner", lockText);
            fs::create_symlink(system.Root() + "/var/lock/owner", system.Root() + "/var/lock/LCK..ttyS0");
        }

        const Opened opened = OpenComOne(system.Root(), pty.Master());
        const Output output = RunDoctor({"--root", system.Root()});
        std::set<std::string> named;
        std::string lockAction;
        for (const Reported &finding : Findings(output)) {
            if (HolderFindings.count(finding.header) == 1) {
                named.insert(finding.header);
            }
            if (finding.header == "problem [lock-file]") {
                lockAction = finding.action;
            }
        }
        EXPECT_EQ(opened.error, c.refused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
        EXPECT_EQ(!named.empty(), opened.error == ERROR_ACCESS_DENIED) << Show(output);
        if (opened.error == ERROR_ACCESS_DENIED) {
            const std::set<std::string> reasons = FindingsFor(opened.refusal);
            EXPECT_TRUE(std::any_of(reasons.begin(), reasons.end(),
                                    [&named](const std::string &reason) { return named.count(reason) == 1; }))
                << "the open's reason is not among portdoctor's findings" << Show(output);
        }
        std::string action = c.action[0] == '\0' ? "" : "  fix: "s + c.action;
        action = std::regex_replace(action, std::regex("PID"), pid);
        action = std::regex_replace(action, std::regex("PTS"), pts);
        EXPECT_EQ(lockAction, action) << Show(output);
    }
}

} // namespace
