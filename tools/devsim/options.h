// devsim's command line: what to run and how the device behaves.
#ifndef COMTRACE_DEVSIM_OPTIONS_H
#define COMTRACE_DEVSIM_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace devsim {

struct Options {
    DeviceOptions device;                // image stays empty until LoadImage
    std::string imagePath;               // --image
    std::string replayPath;              // --replay
    std::string logPath;                 // --log
    bool absent = false;                 // --absent
    std::optional<unsigned> vanishAfter; // --vanish-after
    std::string winePrefix;              // --wine-prefix, made absolute
    std::string socketPath;              // --socket
    bool xonXoff = false;                // --xon-xoff
    bool help = false;                   // --help
    bool version = false;                // --version
    std::vector<std::string> command;    // COMMAND and its arguments
};

// Parses the arguments that follow the program name. Options come first;
// "--" or the first argument that is not an option starts COMMAND.
// Returns an empty string on success, else what is wrong; options may then
// be partly filled.
[[nodiscard]] std::string ParseOptions(const std::vector<std::string> &arguments, Options &options);

// Reads a memory image file into image. Returns an empty string on
// success, else what went wrong (unreadable, or not exactly ImageSize
// bytes long).
[[nodiscard]] std::string LoadImage(const std::string &path, Bytes &image);

// The --help text, one line per option of the table the parser uses.
const char *UsageText();

} // namespace devsim

#endif
