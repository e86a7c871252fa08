#include "program.h"

#include "dialogue/dialogue.h"
#include "port/bringup.h"
#include "port/console.h"

int RunProgram()
{
    PrepareConsole();
    PortHandle = BringUpPort();
    RunDialogue();
    ClosePort(PortHandle);
    WaitForKey();
    return 0;
}
