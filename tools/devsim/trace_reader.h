// Reading a comtrace trace back into the bytes the device sent, so that
// devsim can play a recorded session (--replay).
//
// The reader is strict: it takes a trace exactly as comtrace prints it, with
// LF line ends (the Linux build) or CR LF (the Windows build), with or
// without the bring-up lines before the dialogue and the release line after
// it. Anything else is refused with the line number and what was expected
// there; nothing is guessed. The count, dump, verdict and text lines must
// agree with one another as the program would have printed them.
#ifndef COMTRACE_DEVSIM_TRACE_READER_H
#define COMTRACE_DEVSIM_TRACE_READER_H

#include <cstddef>
#include <string>
#include <vector>

#include "device.h"

namespace devsim {

// Larger than any trace comtrace can print (133 collections of at most
// 4096 bytes, five characters each).
constexpr std::size_t MaxTraceSize = std::size_t{4} << 20;

// Reads the trace in text. On success fills collections with the bytes of
// each of its CollectionCount collections, in order, and returns an empty
// string; otherwise returns "line N: expected ..., found ..." and leaves
// collections alone.
std::string ParseTrace(const std::string &text, std::vector<Bytes> &collections);

// Reads the trace file at path and parses it. Returns an empty string on
// success, else what is wrong, naming the file.
std::string LoadTrace(const std::string &path, std::vector<Bytes> &collections);

} // namespace devsim

#endif
