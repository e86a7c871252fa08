#include "program.h"

#include "dialogue/dialogue.h"
#include "platform/console.h"
#include "port/bringup.h"

int RunProgram()
{
    PrepareConsole();
    const HANDLE port = BringUpPort();
    RunDialogue();
    ClosePort(port);
    WaitForKey();
    return 0;
}
