#include "trace_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

namespace devsim {

namespace {

// How much of an offending line an error shows.
constexpr std::size_t MaxQuotedLength = 60;
// The program shows at most this many characters of a text reply.
constexpr std::size_t MaxTextLength = 20;
// Digits of the largest count line, "4096".
constexpr std::size_t MaxCountDigits = 4;
// "(-) GetLastError() return %i ": an int has at most ten digits.
constexpr std::size_t MaxCodeDigits = 10;
constexpr std::size_t DumpTokenLength = 5; // "[XX] "

const char CutShort[] = "the end of the trace (it is cut short)";

struct Line {
    std::string text;
    bool crlf = false;
    bool terminated = false;
};

std::vector<Line> SplitLines(const std::string &text, std::size_t start)
{
    std::vector<Line> lines;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        Line line;
        line.terminated = end != std::string::npos;
        line.text = text.substr(start, line.terminated ? end - start : std::string::npos);
        if (line.terminated && !line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.crlf = true;
        }
        start = line.terminated ? end + 1 : text.size();
        lines.push_back(std::move(line));
    }
    return lines;
}

// Text as an error shows it: quoted, control bytes escaped, cut short
// after limit characters.
std::string Quote(const std::string &text, std::size_t limit = std::string::npos)
{
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == limit) {
            quoted += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            quoted += static_cast<char>(byte);
        } else {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", byte); // "\xFF" always fits
            quoted += escaped;
        }
    }
    return quoted + "\"";
}

// A line found in the trace, which may be of any length.
std::string QuoteFound(const std::string &text)
{
    return Quote(text, MaxQuotedLength);
}

bool IsUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::uint8_t HexValue(char c)
{
    return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10);
}

// A whole decimal number as printf's %d prints it: digits only, no leading
// zero unless it is 0, at most maxDigits.
bool ParsePrintedNumber(const std::string &text, std::size_t maxDigits, unsigned long long &value)
{
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return true;
}

std::string CapturedText(const Bytes &bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (byte < 0x20 || byte > 0x7F || text.size() == MaxTextLength) {
            break;
        }
        text += static_cast<char>(byte);
    }
    return text;
}

std::string ErrorText(long long code)
{
    switch (code) {
    case 2:
        return "(The system cannot find the file specified)";
    case 5:
        return "(Access is denied)";
    case 29:
        return "(The system cannot write to the specified device)";
    case 87:
        return "(The parameter is incorrect)";
    case 998:
        return "(Invalid access to memory location)";
    default:
        return std::string();
    }
}

// Whether line is the error-code line the program prints after a failed
// clear-break: "(-) GetLastError() return %i " and the code's text.
bool IsErrorCodeLine(const std::string &line)
{
    const std::string prefix = "(-) GetLastError() return ";
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    std::size_t position = prefix.size();
    const bool negative = position < line.size() && line[position] == '-';
    position += negative ? 1 : 0;
    const std::size_t space = line.find(' ', position);
    unsigned long long magnitude = 0;
    if (space == std::string::npos ||
        !ParsePrintedNumber(line.substr(position, space - position), MaxCodeDigits, magnitude) ||
        magnitude > (negative ? 2147483648ULL : 2147483647ULL) || (negative && magnitude == 0)) {
        return false;
    }
    const long long code = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return line.substr(space + 1) == ErrorText(code);
}

struct BringUpStep {
    const char *success;
    const char *failure;
};

const BringUpStep BringUpSteps[] = {
    {"(+) COM1 initialized", "(-) COM1 initialization failed"},
    {"(+) Discarded all characters from the output and input buffer", "(-) PurgeComm() failed"},
    {"(+) Restored character transmission and placed the transmission line in a nonbreak state",
     "(-) ClearCommBreak() failed"},
    {"(+) Retrieved the current control settings for COM1", "(-) GetCommState() failed"},
    {"(+) Reinitialized all hardware and control settings ", "(-) SetCommState() failed"},
    {"(+) PurgeComm", "(-) PurgeComm() failed"},
};
constexpr std::size_t ClearBreakStep = 2;

const char HandshakeLabel[] = "send [x02] [x50] [x52] [x4F] [x47] [x52] [x41] [x4D]";
const char AckLabel[] = "send [x06]";
const char ReleasedLine[] = "(+) CloseHandle ok ";
const char ReleaseFailedLine[] = "(-) CloseHandle() failed";

// Walks the trace line by line; the first problem found stops the walk.
class TraceCursor {
public:
    explicit TraceCursor(std::vector<Line> lines) : lines_(std::move(lines)) {}

    bool AtEnd() const { return next_ == lines_.size(); }
    // The next line, or empty at the end.
    std::string Peek() const { return AtEnd() ? std::string() : lines_[next_].text; }
    const std::string &Problem() const { return problem_; }

    // Takes the next line; fails when there is none or its line end is
    // missing or of the other kind.
    bool Take(const std::string &expected, std::string &line)
    {
        if (AtEnd()) {
            ++next_;
            return Fail(expected, CutShort);
        }
        const Line &taken = lines_[next_++];
        line = taken.text;
        if (!taken.terminated) {
            return Fail(expected + " and its line end",
                        QuoteFound(taken.text) + " with no line end (the trace is cut short)");
        }
        if (taken.crlf != lines_.front().crlf) {
            return Fail(lines_.front().crlf ? "a CR LF line end as on line 1" : "an LF line end as on line 1",
                        taken.crlf ? "CR LF" : "a bare LF");
        }
        return true;
    }

    // Takes the next line, which must read exactly `exact`.
    bool Expect(const std::string &exact, const std::string &what)
    {
        std::string line;
        if (!Take(what + " " + Quote(exact), line)) {
            return false;
        }
        if (line == exact) {
            return true;
        }
        std::string found = QuoteFound(line);
        if (line + " " == exact) {
            found += " (its trailing space is missing)";
        }
        return Fail(what + " " + Quote(exact), found);
    }

    // Records the problem at the line last taken; returns false.
    bool Fail(const std::string &expected, const std::string &found)
    {
        if (problem_.empty()) {
            problem_ = "line " + std::to_string(next_) + ": expected " + expected + ", found " + found;
        }
        return false;
    }

private:
    std::vector<Line> lines_;
    std::size_t next_ = 0;
    std::string problem_;
};

bool ReadBringUp(TraceCursor &cursor)
{
    for (std::size_t step = 0; step < sizeof BringUpSteps / sizeof BringUpSteps[0]; ++step) {
        const std::string success = BringUpSteps[step].success;
        const std::string failure = BringUpSteps[step].failure;
        const std::string expected = "the bring-up line " + Quote(success) + " or " + Quote(failure);
        std::string line;
        if (!cursor.Take(expected, line)) {
            return false;
        }
        if (step == 0 && line == failure) {
            return cursor.Fail(Quote(success), QuoteFound(line) +
                                                   ": the recorded run had no port, so there is no device to "
                                                   "replay (devsim --absent plays such a run)");
        }
        if (line != success && line != failure) {
            return cursor.Fail(expected, QuoteFound(line));
        }
        if (step == ClearBreakStep && line == failure) {
            if (!cursor.Take("the error-code line", line)) {
                return false;
            }
            if (!IsErrorCodeLine(line)) {
                return cursor.Fail("the error-code line \"(-) GetLastError() return CODE \" and the code's text",
                                   QuoteFound(line));
            }
        }
    }
    return true;
}

// A count line (when shown) and a dump line; bytes gets the dumped bytes.
bool ReadCollection(TraceCursor &cursor, bool showCount, const std::string &after, Bytes &bytes)
{
    std::string line;
    unsigned long long count = 0;
    if (showCount) {
        const std::string expected =
            "the number of bytes collected " + after + " (0 to " + std::to_string(MaxCollection) + ")";
        if (!cursor.Take(expected, line)) {
            return false;
        }
        if (!ParsePrintedNumber(line, MaxCountDigits, count) || count > MaxCollection) {
            return cursor.Fail(expected, QuoteFound(line));
        }
    }
    const std::string what = "the dump of the bytes collected " + after;
    if (!cursor.Take(what, line)) {
        return false;
    }
    bytes.clear();
    for (std::size_t at = 0; at < line.size(); at += DumpTokenLength) {
        const std::string token = line.substr(at, DumpTokenLength);
        if (token.size() != DumpTokenLength || token[0] != '[' || !IsUpperHexDigit(token[1]) ||
            !IsUpperHexDigit(token[2]) || token[3] != ']' || token[4] != ' ') {
            std::string found = QuoteFound(token);
            if (token.size() == DumpTokenLength - 1 && token.back() == ']') {
                found += " (its trailing space is missing)";
            }
            return cursor.Fail("a byte as \"[XX] \" (two uppercase hex digits) at column " + std::to_string(at + 1) +
                                   " of " + what,
                               found);
        }
        bytes.push_back(static_cast<std::uint8_t>(HexValue(token[1]) << 4 | HexValue(token[2])));
    }
    if (showCount && bytes.size() != count) {
        return cursor.Fail(std::to_string(count) + " bytes in " + what + ", as its count line says",
                           std::to_string(bytes.size()));
    }
    if (bytes.size() > MaxCollection) {
        return cursor.Fail("at most " + std::to_string(MaxCollection) + " bytes in " + what,
                           std::to_string(bytes.size()));
    }
    return true;
}

bool ReadVerdict(TraceCursor &cursor, const Bytes &bytes)
{
    const bool acknowledged = !bytes.empty() && bytes[0] == Ack;
    return cursor.Expect(acknowledged ? "GET OK! " : "no answer ",
                         acknowledged ? "the verdict on a dump that starts with 06,"
                                      : "the verdict on a dump that does not start with 06,");
}

bool ReadText(TraceCursor &cursor, const Bytes &bytes)
{
    return cursor.Expect(CapturedText(bytes), "the text the program captures from the dump above,");
}

// What the program prints after a request's label.
enum class Shown {
    Nothing,           // no collection (a blind acknowledgement)
    Dump,              // count line and dump
    DumpAndVerdict,    // count line, dump, verdict
    DumpAndText,       // count line, dump, captured text
    LastDumpAndVerdict // dump without a count line, verdict
};

struct Step {
    std::string label;
    std::string name; // for messages: "the handshake", "block 0x05's acknowledgement"
    Shown shown;
};

std::string Hex(const char *format, unsigned block)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, format, block); // "block 0xFF", "send [x52] [x00] [xFF] " fit
    return text;
}

// The dialogue's requests as the trace shows them, in order.
std::vector<Step> DialogueSteps()
{
    std::vector<Step> steps = {
        {HandshakeLabel, "the handshake", Shown::DumpAndVerdict},
        {"send [ x02]", "the identification request", Shown::DumpAndText},
        {AckLabel, "the identification's acknowledgement", Shown::Nothing},
        {"send [x50]", "the version request", Shown::DumpAndText},
        {AckLabel, "the version's acknowledgement", Shown::DumpAndVerdict},
    };
    for (unsigned block = 0; block < BlockCount; ++block) {
        const std::string name = Hex("block 0x%02X", block);
        steps.push_back({Hex("send [x52] [x00] [x%02X] ", block), "the " + name + " request", Shown::Dump});
        steps.push_back({AckLabel, name + "'s acknowledgement", Shown::Nothing});
    }
    steps.push_back({"send [x45]", "the end request", Shown::LastDumpAndVerdict});
    return steps;
}

bool ReadDialogue(TraceCursor &cursor, std::vector<Bytes> &collections)
{
    collections.clear();
    for (const Step &step : DialogueSteps()) {
        if (!cursor.Expect(step.label, "the label of " + step.name)) {
            return false;
        }
        if (step.shown == Shown::Nothing) {
            continue;
        }
        Bytes bytes;
        if (!ReadCollection(cursor, step.shown != Shown::LastDumpAndVerdict, "after " + step.name, bytes)) {
            return false;
        }
        if ((step.shown == Shown::DumpAndText && !ReadText(cursor, bytes)) ||
            ((step.shown == Shown::DumpAndVerdict || step.shown == Shown::LastDumpAndVerdict) &&
             !ReadVerdict(cursor, bytes))) {
            return false;
        }
        collections.push_back(std::move(bytes));
    }
    return true;
}

} // namespace

std::string ParseTrace(const std::string &text, std::vector<Bytes> &collections)
{
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
        return "line 1: expected the plain ASCII text comtrace prints, found UTF-16 text (as Windows PowerShell's > "
               "writes it; redirect with cmd.exe's > or use Out-File -Encoding ascii)";
    }
    // A UTF-8 byte order mark adds nothing to ASCII text but is harmless.
    const std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    TraceCursor cursor(SplitLines(text, start));

    const bool hasBringUp = cursor.Peek().compare(0, 1, "(") == 0;
    if (!cursor.AtEnd() && !hasBringUp && cursor.Peek() != HandshakeLabel) {
        std::string line;
        (void)cursor.Take("", line); // only to point at line 1
        return "line 1: expected the bring-up line " + Quote(BringUpSteps[0].success) +
               " or the label of the handshake " + Quote(HandshakeLabel) + ", found " + QuoteFound(line);
    }
    std::vector<Bytes> read;
    if ((hasBringUp && !ReadBringUp(cursor)) || !ReadDialogue(cursor, read)) {
        return cursor.Problem();
    }
    if (!cursor.AtEnd()) {
        std::string line;
        const std::string release =
            "the release line " + Quote(ReleasedLine) + " or " + Quote(ReleaseFailedLine) + " or the end of the trace";
        if (!cursor.Take(release, line)) {
            return cursor.Problem();
        }
        if (line != ReleasedLine && line != ReleaseFailedLine) {
            (void)cursor.Fail(release, QuoteFound(line));
            return cursor.Problem();
        }
        if (!cursor.AtEnd()) {
            (void)cursor.Take("the end of the trace after the release line", line);
            (void)cursor.Fail("the end of the trace after the release line", QuoteFound(line));
            return cursor.Problem();
        }
    }
    collections = std::move(read);
    return std::string();
}

std::string LoadTrace(const std::string &path, std::vector<Bytes> &collections)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return "cannot open the trace " + path + ": " + std::strerror(errno);
    }
    // One byte past the limit tells an oversized file apart without
    // reading all of it.
    std::string text(MaxTraceSize + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        return "cannot read the trace " + path;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > MaxTraceSize) {
        return "the trace " + path + " is larger than any comtrace trace (more than " +
               std::to_string(MaxTraceSize >> 20) + " MiB)";
    }
    const std::string problem = ParseTrace(text, collections);
    return problem.empty() ? problem : "cannot replay the trace " + path + ": " + problem;
}

} // namespace devsim
