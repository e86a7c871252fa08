// Reading what a run left behind: whole files and their lines.
#ifndef COMTRACE_TESTS_SUPPORT_TEXT_FILES_H
#define COMTRACE_TESTS_SUPPORT_TEXT_FILES_H

#include <string>
#include <vector>

namespace support {

// The whole file, byte for byte; empty when it cannot be read.
std::string Slurp(const std::string &path);

// The text's lines without their line ends (LF or CR LF).
std::vector<std::string> Lines(const std::string &text);

} // namespace support

#endif
