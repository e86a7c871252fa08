// The trace reader against arbitrary text. The reader takes exactly the
// traces the program can print, so whatever it accepts must be written back
// byte for byte by the trace writer from what it read (in the same line
// ends and encoding); whatever it refuses must be refused with a line
// number inside the text and what was expected there. A broken property
// aborts with a line on stderr.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "trace/reader.h"
#include "trace/writer.h"

namespace {

void Require(bool holds, const char *property)
{
    if (!holds) {
        (void)std::fprintf(stderr, "broken property: %s\n", property); // the fuzzer reports it
        std::abort();
    }
}

// The trace as the program would print what was read from it.
std::string Rewritten(const trace::ParsedTrace &parsed)
{
    std::string text;
    for (const std::string &line : parsed.bringUpLines) {
        text += line + "\n";
    }
    text += trace::DialogueText(parsed.collections);
    if (parsed.hasRelease) {
        text += parsed.releaseLine + "\n";
    }
    return trace::Encoded(text, parsed.lineEnd, parsed.utf16);
}

std::size_t LineCount(std::string_view text)
{
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    trace::ParsedTrace parsed;
    const std::string problem = trace::ParseTrace(text, parsed);
    if (problem.empty()) {
        Require(parsed.collections.size() == trace::CollectionCount, "a whole dialogue's collections");
        for (const trace::Bytes &collection : parsed.collections) {
            Require(collection.size() <= trace::ReceiveBufferSize, "no collection beyond the receive buffer");
            Require(parsed.port != trace::PortState::NotOpened || collection.empty(),
                    "nothing collected without a port");
        }
        Require(parsed.hasBringUp == (parsed.port != trace::PortState::Unknown), "a port state from the bring-up");
        Require(parsed.released == (parsed.hasRelease && parsed.releaseLine == trace::ReleasedLine),
                "released only by the release line");
        const bool utf8Mark = text.substr(0, 3) == "\xEF\xBB\xBF";
        Require(Rewritten(parsed) == text.substr(utf8Mark ? 3 : 0), "the accepted trace is the one written back");
        return 0;
    }
    Require(problem.compare(0, 5, "line ") == 0, "a refusal names its line");
    char *end = nullptr;
    const unsigned long line = std::strtoul(problem.c_str() + 5, &end, 10);
    Require(line >= 1 && line <= LineCount(text) + 1, "the line named is in the trace or just past it");
    Require(std::string_view(end).compare(0, 11, ": expected ") == 0, "a refusal says what was expected");
    Require(parsed.collections.empty(), "a refused trace leaves the result alone");
    return 0;
}
