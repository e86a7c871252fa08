#include "binary_streams.h"

namespace tracetool {

// POSIX streams never translate line ends.
bool UseBinaryStandardStreams()
{
    return true;
}

} // namespace tracetool
