// The trace: every message the program prints goes through here.
//
// Messages go into a queue that a writer thread of the console drains, so
// that a console or a reader of standard output that holds up the writes
// never holds up the dialogue. The queue holds the longest trace a run can
// print whole; once the writer is stopped, or when it could not be started,
// each message is written out as it is printed. Should standard output fail
// for good, the trace stops there: one line on standard error says so, the
// rest is dropped unwritten, and the dialogue runs on unaware.
#ifndef COMTRACE_OUTPUT_TRACE_H
#define COMTRACE_OUTPUT_TRACE_H

#include <cstddef>

#if defined(__GNUC__) || defined(__clang__)
#define COMTRACE_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define COMTRACE_PRINTF_FORMAT(formatIndex, firstArg)
#endif

// The longest message the program prints, with room to spare.
constexpr int TraceMessageSize = 256;

// The longest trace of a run: 133 collections of at most 4096 bytes dumped
// at 5 characters each ("[3F] "), each with its count line, request labels,
// acknowledgement and verdict or text, and the frame's lines before and
// after the dialogue. Checked against the dialogue where its numbers live.
constexpr std::size_t TracedCollectionCount = 133;
constexpr std::size_t DumpedByteSize = 5;
constexpr std::size_t LargestCollectionSize = 4096;
constexpr std::size_t CollectionLinesSize = 128;
constexpr std::size_t FrameLinesSize = 2048;
constexpr std::size_t TraceQueueSize =
    TracedCollectionCount * (LargestCollectionSize * DumpedByteSize + CollectionLinesSize) + FrameLinesSize;

// Starts the writer that drains the queue. With eachMessage set (standard
// output is a console) the writer is woken at the end of every message;
// otherwise only by PushTrace, so that a file receives large writes. Without
// a writer every message is written at once, on the caller's thread.
void StartTrace(bool eachMessage);

// Formats one message as printf does and queues it; a message longer than
// TraceMessageSize - 1 characters is cut there. Never waits for the console
// while the queue has room, which the longest trace leaves it.
void Trace(const char *format, ...) COMTRACE_PRINTF_FORMAT(1, 2);

// Has the writer write out everything queued so far, without waiting for it.
void PushTrace();

// Waits until everything queued has been written out, however long the
// console or the reader takes, and stops the writer.
void EndTrace();

#endif
