#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace trace {

namespace {

// How much of an offending line an error shows.
constexpr std::size_t MaxQuotedLength = 60;
// Digits of the largest count line, "4096".
constexpr std::size_t MaxCountDigits = 4;
// "(-) GetLastError() return %i ": an int has at most ten digits.
constexpr std::size_t MaxCodeDigits = 10;
constexpr std::size_t DumpTokenLength = 5; // "[XX] "
constexpr std::size_t ReadChunkSize = std::size_t{64} << 10;

const char CutShort[] = "the end of the trace (it is cut short)";

struct Line {
    std::string_view text;
    bool crlf = false;
    bool terminated = false;
};

// The line that starts at start, and where the next one starts.
Line LineAt(std::string_view text, std::size_t start, std::size_t &next)
{
    const std::size_t end = text.find('\n', start);
    Line line;
    line.terminated = end != std::string_view::npos;
    line.text = text.substr(start, line.terminated ? end - start : std::string_view::npos);
    if (!line.text.empty() && line.text.back() == '\r') {
        // A cut CR LF trace may end between the CR and the LF.
        line.text.remove_suffix(1);
        line.crlf = true;
    }
    next = line.terminated ? end + 1 : text.size();
    return line;
}

// Text as an error shows it: quoted, control bytes escaped, cut short
// after limit characters.
std::string Quote(std::string_view text, std::size_t limit = std::string::npos)
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
std::string QuoteFound(std::string_view text)
{
    return Quote(text, MaxQuotedLength);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// A whole decimal number as printf's %d prints it: digits only, no leading
// zero unless it is 0, at most maxDigits.
bool ParsePrintedNumber(std::string_view text, std::size_t maxDigits, unsigned long long &value)
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

// Whether line is the error-code line the program prints after a failed
// clear-break: the prefix, the code as %i, a space and the code's text.
bool IsErrorCodeLine(std::string_view line)
{
    const std::string_view prefix = ErrorCodePrefix;
    if (line.substr(0, prefix.size()) != prefix) {
        return false;
    }
    std::size_t position = prefix.size();
    const bool negative = position < line.size() && line[position] == '-';
    position += negative ? 1 : 0;
    const std::size_t space = line.find(' ', position);
    unsigned long long magnitude = 0;
    if (space == std::string_view::npos ||
        !ParsePrintedNumber(line.substr(position, space - position), MaxCodeDigits, magnitude) ||
        magnitude > (negative ? 2147483648ULL : 2147483647ULL) || (negative && magnitude == 0)) {
        return false;
    }
    const long long code = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return line.substr(space + 1) == ErrorCodeText(code);
}

// What a line should be, when it is known beforehand.
auto Said(std::string expected)
{
    return [expected = std::move(expected)] { return expected; };
}

// Whether a line cut short could begin `exact`.
bool CouldBegin(std::string_view exact, std::string_view part)
{
    return exact.substr(0, part.size()) == part;
}

// Walks the trace line by line, without splitting it first so that memory
// stays bounded whatever the text holds; the first problem found stops the
// walk. A trace that may be cut short can also stop, without a problem,
// after any whole line or inside one that could begin what the program
// prints there (couldBegin says).
class TraceCursor {
public:
    TraceCursor(std::string_view text, Ending ending) : text_(text), mayBeCut_(ending == Ending::MayBeCut)
    {
        std::size_t next = 0;
        firstCrLf_ = !text.empty() && LineAt(text, 0, next).crlf;
    }

    bool AtEnd() const { return position_ == text_.size(); }
    // The next line, or empty at the end.
    std::string_view Peek() const
    {
        std::size_t next = 0;
        return AtEnd() ? std::string_view() : LineAt(text_, position_, next).text;
    }
    bool FirstLineIsCrLf() const { return firstCrLf_; }
    const std::string &Problem() const { return problem_; }
    // Whether the walk stopped where the trace was cut short.
    bool Cut() const { return cut_; }
    // What the program was printing from here on, for a trace cut short.
    void Enter(std::string stage) { stage_ = std::move(stage); }
    const std::string &Stage() const { return stage_; }

    // Takes the next line; fails when there is none or its line end is
    // missing or of the other kind. expected() says what the line should
    // be; it is only called for a problem.
    template <typename Expected, typename Begins>
    bool Take(const Expected &expected, std::string_view &line, const Begins &couldBegin)
    {
        ++lineNumber_;
        if (AtEnd()) {
            cut_ = mayBeCut_ && lineNumber_ > 1;
            return cut_ ? false : Fail(expected(), CutShort);
        }
        const Line taken = LineAt(text_, position_, position_);
        line = taken.text;
        if (!taken.terminated) {
            // Only a trace with a whole line can be told from other text.
            cut_ = mayBeCut_ && lineNumber_ > 1 && (firstCrLf_ || !taken.crlf) && couldBegin(taken.text);
            return cut_ ? false
                        : Fail(expected() + " and its line end",
                               QuoteFound(taken.text) + " with no line end (the trace is cut short)");
        }
        if (taken.crlf != firstCrLf_) {
            return Fail(firstCrLf_ ? "a CR LF line end as on line 1" : "an LF line end as on line 1",
                        taken.crlf ? "CR LF" : "a bare LF");
        }
        return true;
    }

    // Takes the next line, which must read exactly `exact`; what() names
    // that line.
    template <typename What> bool Expect(std::string_view exact, const What &what)
    {
        const auto expected = [&what, exact] { return what() + " " + Quote(exact); };
        std::string_view line;
        if (!Take(expected, line, [exact](std::string_view part) { return CouldBegin(exact, part); })) {
            return false;
        }
        if (line == exact) {
            return true;
        }
        std::string found = QuoteFound(line);
        if (line.size() + 1 == exact.size() && exact.back() == ' ' && exact.substr(0, line.size()) == line) {
            found += " (its trailing space is missing)";
        }
        return Fail(expected(), found);
    }

    // Records the problem at the line last taken; returns false.
    bool Fail(const std::string &expected, const std::string &found)
    {
        if (problem_.empty()) {
            problem_ = "line " + std::to_string(lineNumber_) + ": expected " + expected + ", found " + found;
        }
        return false;
    }

private:
    std::string_view text_;
    bool mayBeCut_;
    bool firstCrLf_ = false;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
    bool cut_ = false;
    std::string stage_;
    std::string problem_;
};

// Whether a cut line could begin the error-code line; its code and text
// are not looked at.
bool CouldBeginErrorCodeLine(std::string_view part)
{
    const std::string_view prefix = ErrorCodePrefix;
    return CouldBegin(prefix, part) || part.substr(0, prefix.size()) == prefix;
}

bool ReadBringUp(TraceCursor &cursor, ParsedTrace &parsed)
{
    cursor.Enter("the bring-up");
    for (std::size_t step = 0; step < BringUpStepCount; ++step) {
        const std::string_view success = BringUpSteps[step].success;
        const std::string_view failure = BringUpSteps[step].failure;
        const std::string expected = "the bring-up line " + Quote(success) + " or " + Quote(failure);
        std::string_view line;
        const auto couldBegin = [success, failure](std::string_view part) {
            return CouldBegin(success, part) || CouldBegin(failure, part);
        };
        if (!cursor.Take(Said(expected), line, couldBegin)) {
            return false;
        }
        if (line != success && line != failure) {
            return cursor.Fail(expected, QuoteFound(line));
        }
        parsed.bringUpLines.emplace_back(line);
        if (step == OpenStep) {
            parsed.port = line == success ? PortState::Opened : PortState::NotOpened;
        }
        if (step == ClearBreakStep && line == failure) {
            if (!cursor.Take(Said("the error-code line"), line, CouldBeginErrorCodeLine)) {
                return false;
            }
            if (!IsErrorCodeLine(line)) {
                return cursor.Fail("the error-code line \"" + std::string(ErrorCodePrefix) +
                                       "CODE \" and the code's text",
                                   QuoteFound(line));
            }
            parsed.bringUpLines.emplace_back(line);
        }
    }
    return true;
}

// Whether a cut line could begin a dump line: whole "[XX] " bytes, then the
// start of one.
bool CouldBeginDump(std::string_view part)
{
    for (std::size_t at = 0; at < part.size(); ++at) {
        const char c = part[at];
        const std::size_t column = at % DumpTokenLength;
        const bool fits = column == 0 ? c == '[' : column == 3 ? c == ']' : column == 4 ? c == ' ' : HexValue(c) >= 0;
        if (!fits) {
            return false;
        }
    }
    return true;
}

// Whether a cut line could begin a count line.
bool CouldBeginCount(std::string_view part)
{
    unsigned long long count = 0;
    return ParsePrintedNumber(part, MaxCountDigits, count);
}

// The bytes of a dump line, "[XX] " each; what() names the line.
template <typename What> bool ReadDump(TraceCursor &cursor, std::string_view line, const What &what, Bytes &bytes)
{
    bytes.clear();
    bytes.reserve(line.size() / DumpTokenLength);
    for (std::size_t at = 0; at < line.size(); at += DumpTokenLength) {
        const std::string_view token = line.substr(at, DumpTokenLength);
        const int high = token.size() > 1 ? HexValue(token[1]) : -1;
        const int low = token.size() > 2 ? HexValue(token[2]) : -1;
        if (token.size() != DumpTokenLength || token[0] != '[' || high < 0 || low < 0 || token[3] != ']' ||
            token[4] != ' ') {
            std::string found = QuoteFound(token);
            if (token.size() == DumpTokenLength - 1 && token.back() == ']') {
                found += " (its trailing space is missing)";
            }
            return cursor.Fail("a byte as \"[XX] \" (two uppercase hex digits) at column " + std::to_string(at + 1) +
                                   " of " + what(),
                               found);
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return true;
}

// A count line (when shown) and a dump line; bytes gets the dumped bytes.
// Without an open port the program collects nothing. after() names the
// request the collection follows.
template <typename After>
bool ReadCollection(TraceCursor &cursor, bool showCount, bool portOpen, const After &after, Bytes &bytes)
{
    const std::size_t most = portOpen ? ReceiveBufferSize : 0;
    const auto countLine = [&after, portOpen] {
        return "the number of bytes collected " + after() + " (" +
               (portOpen ? "0 to " + std::to_string(ReceiveBufferSize) : "0: the port never opened") + ")";
    };
    const auto what = [&after] { return "the dump of the bytes collected " + after(); };
    std::string_view line;
    unsigned long long count = 0;
    if (showCount) {
        if (!cursor.Take(countLine, line, CouldBeginCount)) {
            return false;
        }
        if (!ParsePrintedNumber(line, MaxCountDigits, count) || count > most) {
            return cursor.Fail(countLine(), QuoteFound(line));
        }
    }
    if (!cursor.Take(what, line, CouldBeginDump) || !ReadDump(cursor, line, what, bytes)) {
        return false;
    }
    if (showCount && bytes.size() != count) {
        return cursor.Fail(std::to_string(count) + " bytes in " + what() + ", as its count line says",
                           std::to_string(bytes.size()));
    }
    if (bytes.size() > most) {
        return cursor.Fail("at most " + std::to_string(most) + " bytes in " + what() +
                               (portOpen ? "" : " (the port never opened)"),
                           std::to_string(bytes.size()));
    }
    return true;
}

bool ReadShown(TraceCursor &cursor, const Request &request, const Bytes &bytes)
{
    if (request.shows == Request::Verdict) {
        const bool acknowledged = !bytes.empty() && bytes[0] == Ack;
        return cursor.Expect(VerdictLine(bytes), [acknowledged] {
            return std::string(acknowledged ? "the verdict on a dump that starts with 06,"
                                            : "the verdict on a dump that does not start with 06,");
        });
    }
    if (request.shows == Request::Text) {
        return cursor.Expect(CapturedText(bytes),
                             [] { return std::string("the text the program captures from the dump above,"); });
    }
    return true;
}

bool ReadDialogue(TraceCursor &cursor, bool portOpen, std::vector<Bytes> &collections)
{
    collections.clear();
    collections.reserve(CollectionCount);
    for (const Request &request : Requests()) {
        cursor.Enter(StageOf(request));
        if (!cursor.Expect(request.label, [&request] { return "the label of the " + Describe(request); })) {
            return false;
        }
        if (!request.collected) {
            continue;
        }
        Bytes bytes;
        if (!ReadCollection(
                cursor, request.countShown, portOpen, [&request] { return "after the " + Describe(request); }, bytes)) {
            return false;
        }
        // Whole once its dump line is: the line shown after it only repeats it.
        collections.push_back(std::move(bytes));
        if (!ReadShown(cursor, request, collections.back())) {
            return false;
        }
    }
    return true;
}

// A trace that shows the bring-up ends with the release line, which the
// program prints right after the dialogue: without it the run was cut short.
bool ReadRelease(TraceCursor &cursor, ParsedTrace &parsed, Ending ending)
{
    cursor.Enter("the release line");
    if (cursor.AtEnd() && (ending == Ending::Whole || !parsed.hasBringUp)) {
        return true;
    }
    const std::string release =
        "the release line " + Quote(ReleasedLine) + " or " + Quote(ReleaseFailedLine) + " or the end of the trace";
    std::string_view line;
    const auto couldBegin = [](std::string_view part) {
        return CouldBegin(ReleasedLine, part) || CouldBegin(ReleaseFailedLine, part);
    };
    if (!cursor.Take(Said(release), line, couldBegin)) {
        return false;
    }
    if (line != ReleasedLine && line != ReleaseFailedLine) {
        return cursor.Fail(release, QuoteFound(line));
    }
    parsed.hasRelease = true;
    parsed.released = line == ReleasedLine;
    parsed.releaseLine = line;
    if (!cursor.AtEnd()) {
        (void)cursor.Take(Said("the end of the trace after the release line"), line, [](std::string_view) {
            return false; // nothing may follow, whole or cut
        });
        return cursor.Fail("the end of the trace after the release line", QuoteFound(line));
    }
    return true;
}

// UTF-16LE text (after its byte order mark) as the ASCII it must hold.
std::string DecodeUtf16(std::string_view units, std::string &decoded)
{
    decoded.resize(units.size() / 2);
    for (std::size_t at = 0; at < decoded.size(); ++at) {
        const unsigned unit = static_cast<unsigned char>(units[2 * at]) | static_cast<unsigned char>(units[2 * at + 1])
                                                                              << 8;
        if (unit > 0x7F) {
            char found[16];
            (void)std::snprintf(found, sizeof found, "U+%04X", unit); // at most "U+FFFF"
            return "line " +
                   std::to_string(
                       1 + std::count(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(at), '\n')) +
                   ": expected the plain ASCII text comtrace prints, here as UTF-16LE as the byte order mark "
                   "says, found the character " +
                   found;
        }
        decoded[at] = static_cast<char>(unit);
    }
    if (units.size() % 2 != 0) {
        return "line " + std::to_string(1 + std::count(decoded.begin(), decoded.end(), '\n')) +
               ": expected UTF-16LE text of whole two-byte characters, found a lone byte at its end";
    }
    return std::string();
}

} // namespace

std::string ParseTrace(std::string_view text, ParsedTrace &out, Ending ending)
{
    ParsedTrace parsed;
    std::string decoded;
    if (text.substr(0, 2) == "\xFF\xFE") {
        std::string problem = DecodeUtf16(text.substr(2), decoded);
        if (!problem.empty()) {
            return problem;
        }
        text = decoded;
        parsed.utf16 = true;
    } else if (text.substr(0, 2) == "\xFE\xFF") {
        return "line 1: expected plain ASCII or UTF-16LE text, found big-endian UTF-16 text";
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3); // a UTF-8 byte order mark adds nothing to ASCII text but is harmless
    }
    TraceCursor cursor(text, ending);
    parsed.lineEnd = cursor.FirstLineIsCrLf() ? LineEnd::CrLf : LineEnd::Lf;

    const std::string_view handshake = Requests().front().label;
    parsed.hasBringUp = cursor.Peek().substr(0, 1) == "(";
    if (!cursor.AtEnd() && !parsed.hasBringUp && cursor.Peek() != handshake) {
        std::string_view line;
        (void)cursor.Take(Said(""), line, [](std::string_view) { return false; }); // only to point at line 1
        return "line 1: expected the bring-up line " + Quote(BringUpSteps[OpenStep].success) +
               " or the label of the handshake " + Quote(handshake) + ", found " + QuoteFound(line);
    }
    if ((parsed.hasBringUp && !ReadBringUp(cursor, parsed)) ||
        !ReadDialogue(cursor, parsed.port != PortState::NotOpened, parsed.collections) ||
        !ReadRelease(cursor, parsed, ending)) {
        if (!cursor.Cut()) {
            return cursor.Problem();
        }
        parsed.incomplete = "the trace ends " +
                            std::string(cursor.Stage() == "the release line" ? "before " : "during ") + cursor.Stage();
    }
    out = std::move(parsed);
    return std::string();
}

std::string ReadTraceFile(const std::string &path, std::string &text)
{
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> owned(standardInput ? nullptr : std::fopen(path.c_str(), "rb"),
                                                           &std::fclose);
    std::FILE *file = standardInput ? stdin : owned.get();
    if (file == nullptr) {
        return "cannot open the trace " + name + ": " + std::strerror(errno);
    }
#ifdef _WIN32
    if (standardInput) {
        (void)_setmode(_fileno(stdin), _O_BINARY); // the C runtime would otherwise drop each CR and stop at ^Z
    }
#endif
    text.clear();
    // One byte past the limit tells an oversized file apart without
    // reading all of it.
    std::size_t read = 0;
    do {
        text.resize(read + ReadChunkSize);
        read += std::fread(&text[read], 1, ReadChunkSize, file);
    } while (read == text.size() && read <= MaxTraceSize);
    text.resize(read);
    if (std::ferror(file) != 0) {
        return "cannot read the trace " + name;
    }
    if (text.size() > MaxTraceSize) {
        return "the trace " + name + " is larger than any comtrace trace (more than " +
               std::to_string(MaxTraceSize >> 20) + " MiB)";
    }
    return std::string();
}

std::string LoadTrace(const std::string &path, ParsedTrace &out, Ending ending)
{
    std::string text;
    std::string problem = ReadTraceFile(path, text);
    if (problem.empty()) {
        problem = ParseTrace(text, out, ending);
        if (!problem.empty()) {
            problem = (path == "-" ? "standard input" : path) + ": " + problem;
        }
    }
    return problem;
}

} // namespace trace
