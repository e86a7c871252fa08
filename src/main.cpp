// comtrace: brings up COM1, holds the fixed dialogue with the device on it,
// traces every byte on the console and exits with 0. Arguments are ignored.
#include "program.h"

int main()
{
    return RunProgram();
}
