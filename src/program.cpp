#include "program.h"

#include "dialogue/dialogue.h"
#include "output/trace.h"
#include "platform/console.h"
#include "port/bringup.h"
#include "port/wait.h"

int RunProgram()
{
    StartTrace(PrepareConsole());
    BeginFineWaits();
    const HANDLE port = BringUpPort();
    RunDialogue();
    ClosePort(port);
    // The key wait may take as long as the user likes; the fine timer is
    // not needed there.
    EndFineWaits();
    // Everything is on the console before the wait begins; this may take as
    // long as the reader of standard output takes.
    EndTrace();
    WaitForKey();
    return 0;
}
