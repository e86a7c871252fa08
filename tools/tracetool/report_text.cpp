#include "report_text.h"

#include <cstdio>

namespace tracetool {

std::string Format(const char *format, unsigned long long value)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, format, value); // cannot be cut: the formats are short
    return text;
}

std::string HexByte(std::uint8_t byte)
{
    return Format("%02llX", byte);
}

void NoteIncomplete(const trace::ParsedTrace &trace, Result &result)
{
    if (!trace.incomplete.empty()) {
        result.messages += "incomplete: " + trace.incomplete + "\n";
        result.status = result.status == ExitOk ? ExitDeviation : result.status;
    }
}

const char *PortName(trace::PortState port)
{
    switch (port) {
    case trace::PortState::Opened:
        return "opened";
    case trace::PortState::NotOpened:
        return "not opened";
    default:
        return "unknown";
    }
}

} // namespace tracetool
