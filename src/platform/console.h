// The console: where the trace goes, the thread that writes it, and the key
// press that ends a run.
//
// One implementation per platform. Nothing here ends the run: a standard
// output that fails for good loses the rest of the trace, which the caller
// then drops whole so that what was written stays a clean prefix.
#ifndef COMTRACE_PLATFORM_CONSOLE_H
#define COMTRACE_PLATFORM_CONSOLE_H

#include <cstddef>

// Readies the console, first thing: on POSIX puts any closed standard
// descriptor on the null device, so that no file opened later takes its
// place, and makes a closed output harmless to the process. Returns whether
// standard output is a console.
bool PrepareConsole();

// Writes text to standard output whole, with as many writes as it takes,
// waiting for as long as the console or the reader holds the output up (a
// stopped terminal, a non-blocking pipe whose reader is busy). Returns how
// many bytes were written: fewer than length only when the output failed
// for good (no space, a reader gone, a device error).
std::size_t WriteConsoleText(const char *text, std::size_t length);

// Says in one line on standard error that standard output failed for good
// after writtenCount bytes of the trace, and why (the failure of the last
// WriteConsoleText). Whether that line could be written is not looked at:
// there is nowhere left to say so.
void ReportConsoleFailure(std::size_t writtenCount);

// Starts the console writer: a thread of its own, with every signal blocked,
// that calls drain each time it is woken. Returns false when no thread
// could be started.
bool StartConsoleWriter(void (*drain)());

// Has the writer call drain once more after this call; returns at once.
void WakeConsoleWriter();

// Wakes the writer and waits until a call of drain begun after this call
// has returned.
void AwaitConsoleWriter();

// As AwaitConsoleWriter, then ends the writer's thread.
void StopConsoleWriter();

// Waits for one key pressed after the wait began, in raw mode, and discards
// it with the rest of its burst (a paste, a key's escape sequence). Returns
// at once when standard input is not a console or cannot be read, or when
// the process runs in the background of its terminal.
void WaitForKey();

#endif
