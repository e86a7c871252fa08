// portdoctor: finds out why serial port COM1 (/dev/ttyS0 on Linux) will not
// work for comtrace and says how to fix it. It only looks: it never changes
// a port's settings and opens the port only when asked to (--open).
//
// This header is the contract between the parts shared by both systems (the
// options, the catalogue of findings, the report) and the one file per
// system that looks at the port (look_linux.cpp, look_windows.cpp).
#ifndef COMTRACE_PORTDOCTOR_DOCTOR_H
#define COMTRACE_PORTDOCTOR_DOCTOR_H

#include <string>
#include <vector>

namespace portdoctor {

struct Options {
    bool open = false;    // --open: also open the port and report the open's own error
    std::string root;     // --root: the folder the Linux checks read instead of "/" ("" for "/")
    bool help = false;    // --help
    bool version = false; // --version
};

// How a finding bears on the exit status.
enum class Kind {
    Problem, // COM1 will not work as it is: exit status 1
    Warning, // something that gets in the way of serial ports in general
    Note,    // what the system has, and how to use it
};

// One entry of the catalogue: every finding the program can report.
struct FindingInfo {
    const char *name;    // short name, printed with each finding
    Kind kind;           //
    const char *system;  // "Linux", "Windows" or "both"
    const char *summary; // one line for --help and the documentation
};

// What one look at the system found: a line saying what is wrong (or what
// there is), then one line with the fix (or the command that uses it).
struct Finding {
    std::string name;   // from the catalogue
    std::string what;   // what is wrong
    std::string action; // the exact fix, a command where there is one
};

struct Report {
    std::vector<Finding> findings;
    std::vector<std::string> unseen; // what could not be looked at, and why
};

// Every finding the program knows, in the order --help lists them.
const std::vector<FindingInfo> &Catalogue();

// The catalogue's entry for name; a program fault (abort) when there is none.
const FindingInfo &Describe(const std::string &name);

// Parses argv against the option table. Returns an empty string on success,
// else what is wrong with the command line.
std::string ParseOptions(int argc, char **argv, Options &options);

// The --help text, the options and the catalogue of findings included.
std::string UsageText();

// Prints the findings and what could not be looked at on standard output,
// then a summary line. Returns the exit status: 1 when a problem was found,
// else 2 when something could not be looked at, else 0.
int PrintReport(const Report &report);

// Looks at COM1 on this system and fills the report (one implementation per
// system). Failures to look are recorded in report.unseen, never fatal.
void LookAtPort(const Options &options, Report &report);

// Adds a finding of the catalogue's name to the report.
void Add(Report &report, const char *name, std::string what, std::string action);

} // namespace portdoctor

#endif
