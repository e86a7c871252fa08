// The fixed waits that pace the dialogue and let the device settle.
//
// A wait is never shorter than asked and no longer than the timer makes it:
// Windows' Sleep works in timer ticks (15.625 ms unless a program asks for
// finer) and may end short by up to a tick, so each wait is measured on the
// performance counter and any remainder is waited out.
#ifndef COMTRACE_PORT_WAIT_H
#define COMTRACE_PORT_WAIT_H

#include "platform/serial_api.h"

// Asks for the 1 ms timer resolution for the waits that follow; a system
// that refuses leaves the waits coarser but never short.
void BeginFineWaits();

// Gives the timer resolution back once the waits are over.
void EndFineWaits();

// Suspends the thread for at least durationMs milliseconds. Without a
// performance counter it is one plain Sleep.
void WaitMs(DWORD durationMs);

#endif
