// The trace reader against arbitrary text. The reader takes exactly the
// traces the program can print, so whatever it accepts must be written back
// byte for byte by the trace writer from what it read (in the same line
// ends and encoding); whatever it refuses must be refused with a line
// number inside the text and what was expected there. Read as a trace that
// may be cut short, it must read every whole trace alike, and the start of
// any other it takes must be what the writer writes for what was read. A
// broken property aborts with a line on stderr.
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

// The start of the trace as the program would print what was read from a
// trace cut short: all of it up to the last whole collection's dump.
std::string RewrittenStart(const trace::ParsedTrace &parsed)
{
    std::string text;
    for (const std::string &line : parsed.bringUpLines) {
        text += line + "\n";
    }
    return trace::Encoded(text + trace::DialoguePrefix(parsed.collections), parsed.lineEnd, parsed.utf16);
}

std::size_t LineCount(std::string_view text)
{
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A refusal names a line inside the text, or just past it, and what was
// expected there.
void RequireNamedRefusal(std::string_view text, const std::string &problem, const trace::ParsedTrace &parsed)
{
    Require(problem.compare(0, 5, "line ") == 0, "a refusal names its line");
    char *end = nullptr;
    const unsigned long line = std::strtoul(problem.c_str() + 5, &end, 10);
    Require(line >= 1 && line <= LineCount(text) + 1, "the line named is in the trace or just past it");
    Require(std::string_view(end).compare(0, 11, ": expected ") == 0, "a refusal says what was expected");
    Require(parsed.collections.empty(), "a refused trace leaves the result alone");
}

// Read as a trace that may be cut short: whatever is whole is read alike,
// and a trace cut short begins as the writer writes what was read from it.
void CheckCutReading(std::string_view text, bool whole)
{
    trace::ParsedTrace parsed;
    const std::string problem = trace::ParseTrace(text, parsed, trace::Ending::MayBeCut);
    if (!problem.empty()) {
        Require(!whole, "a whole trace is read also where it may be cut short");
        RequireNamedRefusal(text, problem, parsed);
        return;
    }
    Require(parsed.collections.size() <= trace::CollectionCount, "no more than a whole dialogue's collections");
    Require(whole || !parsed.incomplete.empty(), "a trace read only where it may be cut short says where it ends");
    const bool utf8Mark = text.substr(0, 3) == "\xEF\xBB\xBF";
    const std::string start = RewrittenStart(parsed);
    Require(text.substr(utf8Mark ? 3 : 0, start.size()) == start, "a trace cut short begins as the writer writes it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    trace::ParsedTrace parsed;
    const std::string problem = trace::ParseTrace(text, parsed);
    CheckCutReading(text, problem.empty());
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
    RequireNamedRefusal(text, problem, parsed);
    return 0;
}
