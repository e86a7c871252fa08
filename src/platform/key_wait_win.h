// The final key wait on a Windows console, apart from finding the console:
// raw mode, the keys pressed during the run discarded, one key pressed
// after the trace taken whole, and Ctrl+C or Ctrl+Break as a control event
// ending the wait as a key does.
#ifndef COMTRACE_PLATFORM_KEY_WAIT_WIN_H
#define COMTRACE_PLATFORM_KEY_WAIT_WIN_H

#include "platform/console_input_api.h"

// Waits on the console input, whose mode is mode, for one key press or for
// stop (an event, or nullptr) to be set; the mode is put back afterwards and
// the input discarded before and after. Returns at once when the input
// cannot be read.
void WaitForKeyOnConsole(HANDLE input, DWORD mode, HANDLE stop);

// The control handler installed during the wait, which the system runs on
// a thread of its own: Ctrl+C and Ctrl+Break set the wait's stop event and
// are handled, so the program exits 0 as after a key; without a stop event
// they, like a closed window, logoff or shutdown, put the mode back and are
// left to the default handler.
BOOL WINAPI OnControlDuringKeyWait(DWORD controlType);

#endif
