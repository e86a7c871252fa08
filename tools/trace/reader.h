// Reading trace text back into what the dialogue collected.
//
// The reader is strict: it takes a trace exactly as comtrace prints it,
// with LF line ends (the Linux build) or CR LF (the Windows build), as
// plain ASCII or as UTF-16LE with a byte order mark (what Windows
// PowerShell's > makes of it), with or without the bring-up lines before
// the dialogue and the release line after it; where asked, also the start
// of one that was cut short (a run interrupted, or whose output failed,
// ends after any line or inside one). Anything else is refused
// with the line number and what was expected there; nothing is guessed.
// The count, dump, verdict and text lines must agree with one another as
// the program would have printed them. Time is linear in the trace's size
// and memory in what it holds up to the first line that is wrong.
#ifndef COMTRACE_TRACE_READER_H
#define COMTRACE_TRACE_READER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "dialogue.h"

namespace trace {

// Larger than any trace comtrace can print, in either encoding: 133
// collections of at most 4096 bytes, five characters each, two bytes a
// character in UTF-16.
constexpr std::size_t MaxTraceSize = std::size_t{8} << 20;

enum class PortState {
    Unknown,  // the trace has no bring-up lines
    Opened,   // the bring-up opened the port
    NotOpened // it did not; the program then collected nothing
};

struct ParsedTrace {
    PortState port = PortState::Unknown;
    bool hasBringUp = false;
    bool hasRelease = false;
    bool released = false;                 // the release line says the port was closed
    std::vector<std::string> bringUpLines; // as printed, error-code line included
    std::string releaseLine;               // empty without one
    // CollectionCount entries, in dialogue order.
    std::vector<Bytes> collections;
    LineEnd lineEnd = LineEnd::Lf;
    bool utf16 = false;
    // Empty for a whole trace. For one cut short, where it ends ("the trace
    // ends during block 0x25 (37)"); collections then holds those whose dump
    // line is whole, and bringUpLines those read.
    std::string incomplete;
};

// Whether the text may be the start of a trace cut short.
enum class Ending { Whole, MayBeCut };

// Reads the trace in text. On success fills out and returns an empty
// string; otherwise returns "line N: expected ..., found ..." and leaves
// out alone. With Ending::MayBeCut, text that holds at least one whole
// line and could begin a trace is read up to where it ends.
[[nodiscard]] std::string ParseTrace(std::string_view text, ParsedTrace &out, Ending ending = Ending::Whole);

// Reads the file at path ("-": standard input) whole into text. Returns an
// empty string, else what is wrong, naming the file.
[[nodiscard]] std::string ReadTraceFile(const std::string &path, std::string &text);

// ReadTraceFile, then ParseTrace; a parse problem is prefixed with the
// file's name.
[[nodiscard]] std::string LoadTrace(const std::string &path, ParsedTrace &out, Ending ending = Ending::Whole);

} // namespace trace

#endif
