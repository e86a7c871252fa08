#include "program.h"

#include "dialogue/dialogue.h"
#include "platform/console.h"
#include "port/bringup.h"
#include "port/wait.h"

int RunProgram()
{
    PrepareConsole();
    BeginFineWaits();
    const HANDLE port = BringUpPort();
    RunDialogue();
    ClosePort(port);
    // The key wait may take as long as the user likes; the fine timer is
    // not needed there.
    EndFineWaits();
    WaitForKey();
    return 0;
}
