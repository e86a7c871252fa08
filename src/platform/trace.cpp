#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

// A C variadic function on purpose: the messages are printf formats, and the
// format attribute on the declaration has the compiler check every call.
void Trace(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    char message[TraceMessageSize];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    const std::size_t written =
        static_cast<std::size_t>(length) < sizeof message ? static_cast<std::size_t>(length) : sizeof message - 1;
    WriteConsoleText(message, written);
}
