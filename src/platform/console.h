// The console: where the trace goes, and the key press that ends a run.
//
// One implementation per platform. Nothing here fails in a way the caller has
// to handle: a closed or broken standard output simply loses the text.
#ifndef COMTRACE_PLATFORM_CONSOLE_H
#define COMTRACE_PLATFORM_CONSOLE_H

#include <cstddef>

// Readies the console, first thing: on POSIX puts any closed standard
// descriptor on the null device, so that no file opened later takes its
// place; notes whether standard output is a console (then every message is
// flushed at its end) and makes a closed output harmless to the process.
void PrepareConsole();

// Writes one complete message to standard output; errors are ignored.
void WriteConsoleText(const char *text, std::size_t length);

// Waits for one key press on the console, in raw mode, and discards it.
// Returns at once when standard input is not a console or cannot be read.
void WaitForKey();

#endif
