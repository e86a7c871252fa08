// The whole run: bring the port up, hold the dialogue, release the port and
// wait for a key. Kept apart from main() so that it can be run in tests.
#ifndef COMTRACE_PROGRAM_H
#define COMTRACE_PROGRAM_H

// Returns the exit status, which is 0 whatever happened on the port.
int RunProgram();

#endif
