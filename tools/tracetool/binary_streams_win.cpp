#include "binary_streams.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>

namespace tracetool {

bool UseBinaryStandardStreams()
{
    return _setmode(_fileno(stdin), _O_BINARY) != -1 && _setmode(_fileno(stdout), _O_BINARY) != -1;
}

} // namespace tracetool
