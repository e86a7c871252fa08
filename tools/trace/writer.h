// Writing trace text: what comtrace prints for a dialogue whose collections
// took given bytes, so that tests can compare a run's whole trace with it
// and make traces for the readers.
#ifndef COMTRACE_TRACE_WRITER_H
#define COMTRACE_TRACE_WRITER_H

#include <string>
#include <vector>

#include "dialogue.h"

namespace trace {

// A collection's dump line, without its line end: "[XX] " per byte.
std::string DumpLine(const Bytes &collection);

// The dialogue's part of the trace (from the handshake's label to the end
// request's verdict) for these collections, one per collected request in
// order, LF line ends. Precondition: collections.size() == CollectionCount.
std::string DialogueText(const std::vector<Bytes> &collections);

// The start of the dialogue's text that a trace cut short holds whole
// when these are the collections whose dump line it holds (at most
// CollectionCount): up to the last one's dump line.
std::string DialoguePrefix(const std::vector<Bytes> &collections);

// The bring-up lines with LF line ends: every step succeeded, or the port
// never opened (every step failed on the invalid handle, whose error code
// has no text).
std::string BringUpText(bool opened);

// The release line with its LF.
std::string ReleaseText(bool released);

// A whole trace: bring-up, dialogue and release, all succeeded or, with
// opened false, all failed (the program then collects nothing: pass
// empty collections).
std::string WholeTrace(const std::vector<Bytes> &collections, bool opened = true);

// LF text as it would be stored with other line ends and, with utf16,
// as UTF-16LE with a byte order mark (what Windows PowerShell's > writes).
std::string Encoded(const std::string &lfText, LineEnd lineEnd, bool utf16);

} // namespace trace

#endif
