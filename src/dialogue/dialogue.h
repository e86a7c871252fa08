// The fixed dialogue with the device: handshake, identification and version
// requests, 128 block reads and the end request, each traced on the console.
#ifndef COMTRACE_DIALOGUE_DIALOGUE_H
#define COMTRACE_DIALOGUE_DIALOGUE_H

// Runs the whole dialogue on PortHandle. Takes no decisions: every step runs
// whatever the device answered, or whether it answered at all.
void RunDialogue();

#endif
