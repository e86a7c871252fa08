// The console: where the trace goes, the thread that writes it, and the key
// press that ends a run.
//
// One implementation per platform. Nothing here fails in a way the caller has
// to handle: a closed or broken standard output simply loses the text.
#ifndef COMTRACE_PLATFORM_CONSOLE_H
#define COMTRACE_PLATFORM_CONSOLE_H

#include <cstddef>

// Readies the console, first thing: on POSIX puts any closed standard
// descriptor on the null device, so that no file opened later takes its
// place, and makes a closed output harmless to the process. Returns whether
// standard output is a console.
bool PrepareConsole();

// Writes text to standard output and flushes it; errors are ignored. May
// block for as long as the console or the reader holds the output up.
void WriteConsoleText(const char *text, std::size_t length);

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
// at once when standard input is not a console or cannot be read.
void WaitForKey();

#endif
