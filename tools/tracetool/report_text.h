// What tracetool's commands share in what they print: numbers and bytes as
// text, the port's state, and the note on a trace cut short.
#ifndef COMTRACE_TRACETOOL_REPORT_TEXT_H
#define COMTRACE_TRACETOOL_REPORT_TEXT_H

#include <cstdint>
#include <string>

#include "report.h"

namespace tracetool {

// One number in a printf format made for an unsigned long long ("%02llX");
// the formats are short enough never to be cut.
std::string Format(const char *format, unsigned long long value);

// A byte as two upper-case hex digits.
std::string HexByte(std::uint8_t byte);

// The port's state as diff and json name it: "opened", "not opened",
// "unknown".
const char *PortName(trace::PortState port);

// Says on standard error that a trace is cut short, and makes the status
// tell; the output still holds what the trace has.
void NoteIncomplete(const trace::ParsedTrace &trace, Result &result);

} // namespace tracetool

#endif
