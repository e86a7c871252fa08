// The Windows look at COM1: the serial ports the system lists (the registry's
// HARDWARE\DEVICEMAP\SERIALCOMM, where each port's driver enters it, and
// the COM names QueryDosDevice knows), what COM1 is, how to give an adapter
// COM1 when there is none, and with --open the open's own error in words.
// Only calls Windows 7 has.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "doctor.h"

namespace portdoctor {

namespace {

// The most the QueryDosDevice listing may take; a machine has a few hundred names.
constexpr DWORD DosNamesLimit = 1u << 20;
constexpr DWORD NameSize = 256;

struct Port {
    std::string name;   // "COM3"
    std::string device; // "\Device\VCP0", as the driver names it
};

std::string ErrorText(DWORD error)
{
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    if (message.empty()) {
        message = "unknown error";
    }
    return message + " (error " + std::to_string(error) + ")";
}

bool IsComName(const std::string &name)
{
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) {
        return false;
    }
    return name.find_first_not_of("0123456789", 3) == std::string::npos;
}

void AddPort(std::vector<Port> &ports, const std::string &name, const std::string &device)
{
    if (std::none_of(ports.begin(), ports.end(), [&name](const Port &port) { return port.name == name; })) {
        ports.push_back(Port{name, device});
    }
}

// The ports the drivers entered under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM:
// each value is named after the device and holds the port's name. The key
// is missing when no port was ever started.
void ReadSerialComm(std::vector<Port> &ports, Report &report)
{
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (opened != ERROR_SUCCESS) {
        report.unseen.push_back("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: " + ErrorText(static_cast<DWORD>(opened)));
        return;
    }
    for (DWORD index = 0;; ++index) {
        char device[NameSize] = {};
        BYTE data[NameSize] = {};
        DWORD deviceSize = sizeof device;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG got = RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, data, &dataSize);
        if (got == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (got != ERROR_SUCCESS) {
            report.unseen.push_back("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: " + ErrorText(static_cast<DWORD>(got)));
            break;
        }
        if (type == REG_SZ) {
            AddPort(ports, reinterpret_cast<const char *>(data), device);
        }
    }
    (void)RegCloseKey(key); // opened for reading only
}

// The COM names among the system's DOS device names, with the device each
// names; adds those the registry did not list.
void ReadDosNames(std::vector<Port> &ports, Report &report)
{
    std::vector<char> names(std::size_t{64} * 1024);
    while (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || names.size() >= DosNamesLimit) {
            report.unseen.push_back("the system's device names (QueryDosDevice): " + ErrorText(error));
            return;
        }
        names.resize(names.size() * 2);
    }
    for (const char *name = names.data(); *name != '\0'; name += std::string(name).size() + 1) {
        if (!IsComName(name)) {
            continue;
        }
        char target[1024] = {};
        const DWORD length = QueryDosDeviceA(name, target, sizeof target);
        AddPort(ports, name, length > 0 ? target : "an unknown device");
    }
}

// What the device's name says the port is.
std::string PortKind(const std::string &device)
{
    struct Driver {
        const char *prefix;
        const char *kind;
    };
    static const Driver drivers[] = {
        {"\\Device\\Serial", "an onboard port"},
        {"\\Device\\VCP", "a USB serial adapter (FTDI)"},
        {"\\Device\\Silabser", "a USB serial adapter (Silicon Labs CP210x)"},
        {"\\Device\\ProlificSerial", "a USB serial adapter (Prolific)"},
        {"\\Device\\USBSER", "a USB serial adapter (USB CDC)"},
    };
    for (const Driver &driver : drivers) {
        const std::string prefix = driver.prefix;
        if (device.compare(0, prefix.size(), prefix) == 0) {
            return driver.kind;
        }
    }
    return "a port of the driver that names it " + device;
}

void TryOpen(Report &report)
{
    const HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(port); // nothing was written
        Add(report, "opened", "COM1 opened and was closed again", "comtrace.exe");
        return;
    }
    const DWORD error = GetLastError();
    std::string fix;
    if (error == ERROR_ACCESS_DENIED) {
        fix = "another program has COM1 open (a terminal, a modem or a phone sync tool): close it";
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        fix = "there is no COM1: see the findings above (no-ports, com1-missing)";
    } else if (error == ERROR_GEN_FAILURE) {
        fix = "the port's driver reports a fault: unplug the adapter and plug it in again";
    } else {
        fix = "this is the error comtrace.exe's open gets: see the findings above";
    }
    Add(report, "open-failed", "opening COM1 failed: " + ErrorText(error), fix);
}

} // namespace

void LookAtPort(const Options &options, Report &report)
{
    std::vector<Port> ports;
    ReadSerialComm(ports, report);
    ReadDosNames(ports, report);
    // A name the listing leaves out can still be asked for by itself (Wine
    // finds a COM link made after it started this way), and an open that
    // works proves a port whatever the lists say: neither is "no COM1".
    bool listed = std::any_of(ports.begin(), ports.end(), [](const Port &port) { return port.name == "COM1"; });
    char target[1024] = {};
    if (!listed && QueryDosDeviceA("COM1", target, sizeof target) > 0) {
        AddPort(ports, "COM1", target);
        listed = true;
    }
    Report opening;
    if (options.open) {
        TryOpen(opening);
    }
    const bool opened = std::any_of(opening.findings.begin(), opening.findings.end(),
                                    [](const Finding &finding) { return finding.name == "opened"; });
    for (const Port &port : ports) {
        Add(report, "port", port.name + " is " + port.device + ", " + PortKind(port.device),
            port.name == "COM1" ? std::string("comtrace.exe")
                                : "comtrace.exe uses COM1 only: give this port COM1 to use it");
    }
    if (!listed && opened) {
        Add(report, "port",
            "COM1 opens, though the system lists it nowhere (neither the registry's SERIALCOMM nor the device "
            "names)",
            "comtrace.exe");
    } else if (ports.empty() && report.unseen.empty()) {
        Add(report, "no-ports", "the system lists no serial port at all",
            "plug in a USB serial adapter; if no COM port appears, install its driver (Device Manager shows it under "
            "Other devices with a warning sign)");
    } else if (!listed && !ports.empty()) {
        Add(report, "com1-missing",
            "there is no COM1, but the system has " + ports.front().name + " (" + PortKind(ports.front().device) + ")",
            "give the adapter COM1: Device Manager -> Ports (COM & LPT) -> the adapter -> Properties -> Port "
            "Settings -> Advanced -> COM Port Number -> COM1; a COM1 marked \"in use\" is usually reserved by an "
            "adapter no longer attached: choose it anyway (an onboard port that is COM1 must be moved first)");
    }
    report.findings.insert(report.findings.end(), opening.findings.begin(), opening.findings.end());
}

} // namespace portdoctor
