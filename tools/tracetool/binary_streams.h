// Standard input and output as plain bytes: the block data is binary, a
// UTF-16 trace must reach the reader unaltered, and every output is the
// same on each system. One file per system implements it.
#ifndef COMTRACE_TRACETOOL_BINARY_STREAMS_H
#define COMTRACE_TRACETOOL_BINARY_STREAMS_H

namespace tracetool {

// Stops the C runtime from translating line ends on standard input and
// output. Returns false when the system refuses.
bool UseBinaryStandardStreams();

} // namespace tracetool

#endif
