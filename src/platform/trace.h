// The trace: every message the program prints goes through here.
#ifndef COMTRACE_PLATFORM_TRACE_H
#define COMTRACE_PLATFORM_TRACE_H

#if defined(__GNUC__) || defined(__clang__)
#define COMTRACE_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define COMTRACE_PRINTF_FORMAT(formatIndex, firstArg)
#endif

// The longest message the program prints, with room to spare.
constexpr int TraceMessageSize = 256;

// Formats one message as printf does and writes it to the console; a message
// longer than TraceMessageSize - 1 characters is cut there.
void Trace(const char *format, ...) COMTRACE_PRINTF_FORMAT(1, 2);

#endif
