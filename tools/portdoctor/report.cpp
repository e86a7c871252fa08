// The parts of portdoctor both systems share: the catalogue of findings, the
// command line and the printed report.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "cli/option_table.h"
#include "doctor.h"

namespace portdoctor {

const std::vector<FindingInfo> &Catalogue()
{
    static const std::vector<FindingInfo> catalogue = {
        {"missing-node", Kind::Problem, "Linux", "/dev/ttyS0 does not exist"},
        {"not-a-device", Kind::Problem, "Linux", "/dev/ttyS0 is not a character device"},
        {"no-uart", Kind::Problem, "Linux", "no UART behind /dev/ttyS0 (the serial core reports port type 0)"},
        {"no-access", Kind::Problem, "Linux", "this user may not read and write /dev/ttyS0 or an adapter: the group"},
        {"new-login-needed", Kind::Problem, "Linux", "in the port's group, but not yet in this login session"},
        {"held-by-process", Kind::Problem, "Linux", "another process has /dev/ttyS0 or an adapter open (PID, command)"},
        {"lock-file", Kind::Problem, "Linux",
         "a UUCP lock file names a running process (kill only when it has the port, else remove the lock)"},
        {"stale-lock-file", Kind::Warning, "Linux",
         "a UUCP lock file names no running process, or is a link or no regular file (left in place)"},
        {"flock", Kind::Problem, "Linux", "a process holds a lock on /dev/ttyS0 (flock, fcntl)"},
        {"serial-console", Kind::Problem, "Linux", "the kernel's console is on ttyS0 (/proc/consoles, console=)"},
        {"getty", Kind::Problem, "Linux", "a getty (login prompt) runs on ttyS0, of a systemd unit or of init"},
        {"modemmanager", Kind::Warning, "Linux", "ModemManager runs: it probes new ttyUSB/ttyACM ports"},
        {"brltty", Kind::Warning, "Linux", "brltty's udev rule claims common USB serial adapters"},
        {"adapter", Kind::Note, "Linux", "a USB serial adapter (checked as COM1 is), and the line using it"},
        {"no-ports", Kind::Problem, "Windows", "the system lists no serial port at all"},
        {"com1-missing", Kind::Problem, "Windows", "no COM1, while other ports exist"},
        {"port", Kind::Note, "Windows", "a serial port the system lists, and what it is"},
        {"open-failed", Kind::Problem, "both", "with --open: the open failed, the system's error in words"},
        {"opened", Kind::Note, "both", "with --open: the port opened and was closed again"},
    };
    return catalogue;
}

const FindingInfo &Describe(const std::string &name)
{
    const std::vector<FindingInfo> &catalogue = Catalogue();
    const auto found = std::find_if(catalogue.begin(), catalogue.end(),
                                    [&name](const FindingInfo &info) { return name == info.name; });
    if (found == catalogue.end()) {
        std::abort(); // every name the program uses is in the catalogue
    }
    return *found;
}

void Add(Report &report, const char *name, std::string what, std::string action)
{
    (void)Describe(name); // refuses a name missing from the catalogue
    report.findings.push_back(Finding{name, std::move(what), std::move(action)});
}

namespace {

using Text = const std::string &;
using Number = unsigned long;

// The folder the Linux checks read instead of "/": without trailing
// slashes, and "" for "/" itself.
std::string RootFolder(std::string root)
{
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root == "/" ? std::string() : root;
}

// Each option: its name, its value, its line of --help and what it sets.
const cli::Option<Options> OptionTable[] = {
    {{"open", 0, nullptr, 0, 0,
      "also open the port and report the system's own error; opening\n"
      "raises DTR and RTS on most drivers, which can reset the device"},
     [](Options &o, Text, Number) { o.open = true; }},
    {{"root", 0, "DIR", 0, 0,
      "for testing (Linux): read /dev, /sys, /proc, /var/lock,\n"
      "/run/lock and /etc under DIR instead of /"},
     [](Options &o, Text value, Number) { o.root = RootFolder(value); }},
    {{"help", 0, nullptr, 0, 0, "show this text"}, [](Options &o, Text, Number) { o.help = true; }},
    {{"version", 0, nullptr, 0, 0, "show portdoctor's version"}, [](Options &o, Text, Number) { o.version = true; }},
};

// Options and arguments may mix (any argument is a mistake), and a name
// may be shortened while it names one option, as in GNU programs.
constexpr cli::Layout PortdoctorLayout{true, true};

} // namespace

std::string ParseOptions(int argc, char **argv, Options &options)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const cli::Parsed parsed = cli::ApplyArguments(OptionTable, arguments, PortdoctorLayout, options);
    if (parsed.problem) {
        const cli::Problem &problem = *parsed.problem;
        const bool noFolder =
            problem.mistake == cli::Mistake::MissingValue || problem.mistake == cli::Mistake::EmptyValue;
        return noFolder ? "--root needs a folder" : cli::Describe(problem, cli::SpecsOf(OptionTable));
    }
    if (!parsed.operands.empty()) {
        return "unexpected argument " + parsed.operands[0];
    }
    return std::string();
}

namespace {

const char *KindName(Kind kind)
{
    switch (kind) {
    case Kind::Problem:
        return "problem";
    case Kind::Warning:
        return "warning";
    case Kind::Note:
        break;
    }
    return "note";
}

} // namespace

std::string UsageText()
{
    std::string text = "usage: portdoctor [--open] [--root DIR]\n"
                       "Finds out why serial port COM1 (/dev/ttyS0 on Linux) will not work for comtrace,\n"
                       "and prints the fix. It only looks: it never changes the port's settings and\n"
                       "never opens the port unless given --open.\n"
                       "\n" +
                       cli::HelpLines(cli::SpecsOf(OptionTable), 13) +
                       "\n"
                       "Each finding is a line \"KIND [NAME]: what is wrong\", then a line with the fix\n"
                       "(\"fix:\") or, for a note, the way to use what was found (\"use:\"), each one\n"
                       "command to paste into bash as it is. The findings come in the order to act on\n"
                       "them; an adapter's own problems come before its line:\n";
    for (const FindingInfo &info : Catalogue()) {
        std::string name = info.name;
        name.resize(18, ' ');
        text += "  " + name + KindName(info.kind) + ", " + info.system + ": " + info.summary + "\n";
    }
    text += "\n"
            "Exit status: 0 when COM1 looks usable, 1 when a problem was found, 2 when\n"
            "something could not be looked at (it says what) or the command line is wrong.\n";
    return text;
}

int PrintReport(const Report &report)
{
    int problems = 0;
    for (const Finding &finding : report.findings) {
        const Kind kind = Describe(finding.name).kind;
        problems += kind == Kind::Problem ? 1 : 0;
        (void)std::printf("%s [%s]: %s\n  %s %s\n", KindName(kind), finding.name.c_str(), finding.what.c_str(),
                          kind == Kind::Note ? "use:" : "fix:", finding.action.c_str()); // stdout is the report
    }
    for (const std::string &unseen : report.unseen) {
        (void)std::printf("cannot look: %s\n", unseen.c_str()); // as above
    }
    if (problems > 0) {
        (void)std::printf("portdoctor: %d problem%s found\n", problems, problems == 1 ? "" : "s"); // as above
        return 1;
    }
    if (!report.unseen.empty()) {
        (void)std::printf("portdoctor: no problem found, but not everything could be looked at\n"); // as above
        return 2;
    }
    (void)std::printf("portdoctor: COM1 looks usable\n"); // as above
    return 0;
}

} // namespace portdoctor
