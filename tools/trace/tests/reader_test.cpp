// Reading traces: every form the program prints, in both line ends and
// both encodings, what the reader reports about the port, and its refusals.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "trace/reader.h"
#include "trace/writer.h"

namespace trace {
namespace {

// What each collection of a run against this devsim device takes.
std::vector<Bytes> CollectionsFrom(const devsim::DeviceOptions &options)
{
    return CollectionsOf(devsim::JoinedReplies(options));
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string> &lines, const char *end = "\n")
{
    std::string text;
    for (const std::string &line : lines) {
        text += line + end;
    }
    return text;
}

TEST(TraceReader, ReadsEveryFormTheProgramPrints)
{
    devsim::DeviceOptions answering;
    answering.answerAcks = true;
    const std::vector<Bytes> wanted = CollectionsFrom(answering);
    const std::vector<std::string> lines = SplitLines(WholeTrace(wanted));
    const std::vector<std::string> dialogue(lines.begin() + 6, lines.end() - 1);
    std::vector<std::string> failedSteps = {
        "(+) COM1 initialized",        "(-) PurgeComm() failed",
        "(-) ClearCommBreak() failed", "(-) GetLastError() return 5 (Access is denied)",
        "(-) GetCommState() failed",   "(-) SetCommState() failed",
        "(-) PurgeComm() failed"};
    failedSteps.insert(failedSteps.end(), dialogue.begin(), dialogue.end());
    failedSteps.push_back("(-) CloseHandle() failed");

    for (const std::string &text :
         {JoinLines(lines), JoinLines(lines, "\r\n"), JoinLines(dialogue), JoinLines(dialogue, "\r\n"),
          JoinLines(failedSteps), "\xEF\xBB\xBF" + JoinLines(lines),
          JoinLines(std::vector<std::string>(lines.begin(), lines.end() - 1)),
          Encoded(JoinLines(lines), LineEnd::CrLf, true), Encoded(JoinLines(failedSteps), LineEnd::Lf, true)}) {
        ParsedTrace parsed;
        EXPECT_EQ(ParseTrace(text, parsed), "") << text.substr(0, 80);
        EXPECT_EQ(parsed.collections, wanted) << text.substr(0, 80);
    }
}

// The largest trace the program can print: every collection full.
std::vector<Bytes> FullCollections()
{
    std::vector<Bytes> collections(CollectionCount, Bytes(ReceiveBufferSize));
    for (std::size_t i = 0; i < collections.size(); ++i) {
        for (std::size_t at = 0; at < ReceiveBufferSize; ++at) {
            collections[i][at] = static_cast<std::uint8_t>(i * 7 + at);
        }
    }
    collections.front()[0] = Ack;
    return collections;
}

TEST(TraceReader, LineEndsAndEncodingsGiveTheSameParse)
{
    devsim::DeviceOptions longText;
    longText.longText = true;
    const std::string traces[] = {WholeTrace(CollectionsFrom({})), WholeTrace(CollectionsFrom(longText)),
                                  WholeTrace(FullCollections()), WholeTrace(std::vector<Bytes>(CollectionCount), false),
                                  DialogueText(CollectionsFrom({}))};
    for (const std::string &lfText : traces) {
        ParsedTrace plain;
        ASSERT_EQ(ParseTrace(lfText, plain), "");
        for (const LineEnd lineEnd : {LineEnd::Lf, LineEnd::CrLf}) {
            for (const bool utf16 : {false, true}) {
                ParsedTrace parsed;
                SCOPED_TRACE((lineEnd == LineEnd::CrLf ? "CR LF" : "LF") + std::string(utf16 ? " UTF-16" : ""));
                ASSERT_EQ(ParseTrace(Encoded(lfText, lineEnd, utf16), parsed), "");
                EXPECT_EQ(parsed.lineEnd, lineEnd);
                EXPECT_EQ(parsed.utf16, utf16);
                EXPECT_EQ(parsed.collections, plain.collections);
                EXPECT_EQ(parsed.bringUpLines, plain.bringUpLines);
                EXPECT_EQ(parsed.releaseLine, plain.releaseLine);
                EXPECT_EQ(parsed.port, plain.port);
            }
        }
    }
}

TEST(TraceReader, ReportsWhetherThePortOpenedAndWasReleased)
{
    const std::vector<Bytes> talking = CollectionsFrom({});
    const std::vector<Bytes> none(CollectionCount);
    std::string clearBreakFailed = BringUpText(true);
    const std::string clearBreak = BringUpSteps[ClearBreakStep].success;
    clearBreakFailed.replace(clearBreakFailed.find(clearBreak), clearBreak.size(),
                             std::string(BringUpSteps[ClearBreakStep].failure) + "\n" + ErrorCodePrefix +
                                 "-2147483648 ");
    struct Case {
        std::string text;
        PortState port;
        std::size_t bringUpLines;
        const char *releaseLine;
    };
    const std::vector<Case> cases = {
        {WholeTrace(talking), PortState::Opened, 6, ReleasedLine},
        {WholeTrace(none, false), PortState::NotOpened, 7, ReleaseFailedLine},
        {BringUpText(false) + DialogueText(none), PortState::NotOpened, 7, ""},
        {DialogueText(talking) + ReleaseText(false), PortState::Unknown, 0, ReleaseFailedLine},
        {clearBreakFailed + DialogueText(talking), PortState::Opened, 7, ""},
    };
    for (const Case &c : cases) {
        ParsedTrace parsed;
        ASSERT_EQ(ParseTrace(c.text, parsed), "") << c.text.substr(0, 200);
        EXPECT_EQ(parsed.port, c.port);
        EXPECT_EQ(parsed.hasBringUp, c.bringUpLines != 0);
        EXPECT_EQ(parsed.bringUpLines.size(), c.bringUpLines);
        EXPECT_EQ(parsed.hasRelease, *c.releaseLine != '\0');
        EXPECT_EQ(parsed.released, std::string(c.releaseLine) == ReleasedLine);
        EXPECT_EQ(parsed.releaseLine, c.releaseLine);
        EXPECT_EQ(parsed.collections, c.port == PortState::NotOpened ? none : talking);
    }
}

TEST(TraceReader, RefusesWhatItCannotUseAndNamesTheLine)
{
    // The talking device's trace: six bring-up lines, the handshake's label
    // at line 7, block N's label at 24 + 4N, the end's dump at 537, the
    // release line at 539.
    const std::string talking = WholeTrace(CollectionsFrom({}));
    const std::vector<std::string> lines = SplitLines(talking);
    auto replaced = [&lines](std::size_t line, const std::string &text) {
        std::vector<std::string> spoiled = lines;
        spoiled.at(line - 1) = text;
        return JoinLines(spoiled);
    };
    auto firstLines = [&lines](std::size_t count) {
        return JoinLines(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(count)));
    };
    std::string hugeDump;
    for (int i = 0; i < 4097; ++i) {
        hugeDump += "[06] ";
    }
    const std::vector<std::string> absent = SplitLines(WholeTrace(std::vector<Bytes>(CollectionCount), false));
    std::vector<std::string> absentWithAnswer = absent;
    absentWithAnswer.at(537) = "[06] "; // the end's dump
    struct Refusal {
        std::string trace;
        std::size_t line;
        const char *says;
    };
    const std::vector<Refusal> refusals = {
        {firstLines(90), 91, "acknowledgement of block 0x10 \"send [x06]\", found the end of the trace"},
        {talking.substr(0, talking.find("[5E]")), 26, "with no line end (the trace is cut short)"},
        {replaced(37, "31"), 38, "31 bytes in the dump of the bytes collected after the block 0x03 request"},
        {replaced(25, "32 bytes"), 25, "the number of bytes collected after the block 0x00 request (0 to 4096)"},
        {replaced(8, "4097"), 8, "(0 to 4096), found \"4097\""},
        {replaced(8, "01"), 8, "found \"01\""},
        {replaced(26, "[00] [ff] "), 26, "at column 6 of the dump of the bytes collected after the block 0x00"},
        {replaced(9, "06 "), 9, "a byte as \"[XX] \""},
        {replaced(9, "[06]"), 9, "(its trailing space is missing)"},
        {replaced(10, "GET OK!"), 10, "(its trailing space is missing)"},
        {replaced(10, "no answer "), 10, "dump that starts with 06, \"GET OK! \""},
        {replaced(14, "DEVSIM MEMORY UNIT-3"), 14, "captures from the dump above, \"DEVSIM MEMORY UNIT-2\""},
        {replaced(44, "send [x52] [x01] [x05] "), 44, "the label of the block 0x05 request"},
        {replaced(7, "send [x02] [x51]"), 7, "the label of the handshake"},
        {replaced(15, "send [x50]"), 15, "acknowledgement of the identification \"send [x06]\", found \"send [x50]\""},
        {replaced(100, "send [x06]\r"), 100, "an LF line end as on line 1, found CR LF"},
        {talking + "\n", 540, "the end of the trace after the release line"},
        {replaced(537, hugeDump), 537, "at most 4096 bytes in the dump of the bytes collected after the end request"},
        {replaced(1, "(-) COM1 initialization failed"), 8, "(0: the port never opened), found \"1\""},
        {JoinLines(absentWithAnswer), 538, "at most 0 bytes in the dump of the bytes collected after the end request"},
        {replaced(3, "(+) Cleared the break"), 3, "the bring-up line"},
        {replaced(3, "(-) ClearCommBreak() failed\n(-) GetLastError() return 5 (The parameter is incorrect)"), 4,
         "the error-code line"},
        {"\xFF\xFE" + talking, 1, "UTF-16"},
        {"", 1, "found the end of the trace"},
        {replaced(1, "hello"), 1, "or the label of the handshake"},
    };
    for (const Refusal &refusal : refusals) {
        // The same refusal, at the same line, in UTF-16.
        for (const bool utf16 : {false, true}) {
            ParsedTrace parsed;
            parsed.collections = {Bytes{0x42}};
            const std::string problem = ParseTrace(Encoded(refusal.trace, LineEnd::Lf, utf16), parsed);
            const std::string where = "line " + std::to_string(refusal.line) + ": expected ";
            EXPECT_EQ(problem.compare(0, where.size(), where), 0) << problem;
            EXPECT_NE(problem.find(refusal.says), std::string::npos) << problem;
            EXPECT_EQ(parsed.collections, std::vector<Bytes>{Bytes{0x42}}) << problem;
        }
    }
}

// A run interrupted, or whose output failed, leaves the start of a trace:
// read where asked up to where it ends, in either line end and encoding,
// with the collections whose dump is whole; refused otherwise, and refused
// always when what is there could not begin a trace.
TEST(TraceReader, ReadsATraceCutShortUpToWhereItEndsWhereAsked)
{
    const std::vector<Bytes> talking = CollectionsFrom({});
    const std::string whole = WholeTrace(talking);
    const std::size_t block37 = whole.find("send [x52] [x00] [x25] ");
    const std::size_t block37Dump = whole.find('\n', whole.find('\n', block37) + 1) + 1; // after its count line
    const std::size_t firstBlock = CollectionIndex(RequestKind::Block);
    struct Cut {
        const char *what;
        std::string text;
        const char *incomplete; // empty: refused
        std::size_t collections;
    };
    const Cut cuts[] = {
        {"after block 0x25's label", whole.substr(0, whole.find('\n', block37) + 1),
         "the trace ends during block 0x25 (37)", firstBlock + 37},
        {"inside block 0x25's dump", whole.substr(0, block37Dump + 42), "the trace ends during block 0x25 (37)",
         firstBlock + 37},
        {"after block 0x25's dump", whole.substr(0, whole.find('\n', block37Dump) + 1),
         "the trace ends during block 0x25 (37)", firstBlock + 38},
        {"inside a label", whole.substr(0, block37 + 7), "the trace ends during block 0x25 (37)", firstBlock + 37},
        {"inside the handshake's verdict", whole.substr(0, whole.find("GET OK!") + 3),
         "the trace ends during the handshake", 1},
        {"after the bring-up", BringUpText(true), "the trace ends during the handshake", 0},
        {"inside the bring-up", BringUpText(true).substr(0, 30), "the trace ends during the bring-up", 0},
        {"before the release line", whole.substr(0, whole.rfind("(+)")), "the trace ends before the release line",
         CollectionCount},
        {"without the release line's line end", whole.substr(0, whole.size() - 1),
         "the trace ends before the release line", CollectionCount},
        {"inside block 0x25's dump, at a byte that is no hex digit", whole.substr(0, block37Dump + 42) + "x", "", 0},
        {"a line no trace has there", whole.substr(0, block37) + "send [x52] [x00] [x26] \n", "", 0},
        {"a single line cut short", "(+) COM1", "", 0},
    };
    for (const Cut &cut : cuts) {
        SCOPED_TRACE(cut.what);
        for (const LineEnd lineEnd : {LineEnd::Lf, LineEnd::CrLf}) {
            for (const bool utf16 : {false, true}) {
                const std::string text = Encoded(cut.text, lineEnd, utf16);
                ParsedTrace strict;
                // A whole trace may leave out its release line.
                const bool mayBeWhole = cut.collections == CollectionCount && cut.text.back() == '\n';
                EXPECT_EQ(ParseTrace(text, strict).empty(), mayBeWhole);
                ParsedTrace parsed;
                const std::string problem = ParseTrace(text, parsed, Ending::MayBeCut);
                if (*cut.incomplete == '\0') {
                    EXPECT_EQ(problem.rfind("line ", 0), 0u) << problem;
                    continue;
                }
                ASSERT_EQ(problem, "");
                EXPECT_EQ(parsed.incomplete, cut.incomplete);
                const std::vector<Bytes> read(talking.begin(),
                                              talking.begin() + static_cast<std::ptrdiff_t>(cut.collections));
                EXPECT_EQ(parsed.collections, read);
            }
        }
    }
    // Cut between the CR and the LF of a Windows trace.
    const std::string crlf = Encoded(whole, LineEnd::CrLf, false);
    ParsedTrace parsed;
    ASSERT_EQ(ParseTrace(crlf.substr(0, crlf.find("GET OK! \r\n") + 9), parsed, Ending::MayBeCut), "");
    EXPECT_EQ(parsed.incomplete, "the trace ends during the handshake");
    ParsedTrace complete;
    ASSERT_EQ(ParseTrace(whole, complete, Ending::MayBeCut), "");
    EXPECT_EQ(complete.incomplete, "");
}

TEST(TraceReader, RefusesUtf16ThatIsNotTheAsciiTraceItShouldHold)
{
    const std::string talking = Encoded(WholeTrace(CollectionsFrom({})), LineEnd::CrLf, true);
    const std::string lineThree = Encoded(BringUpText(true).substr(0, 100), LineEnd::CrLf, true);
    const struct {
        std::string text;
        const char *problem;
    } cases[] = {
        {talking + "x", "line 540: expected UTF-16LE text of whole two-byte characters, found a lone byte"},
        {lineThree + std::string("\xAC\x20", 2), "line 3: expected the plain ASCII text comtrace prints, here as "
                                                 "UTF-16LE as the byte order mark says, found the character U+20AC"},
        {"\xFE\xFF" + talking.substr(2), "line 1: expected plain ASCII or UTF-16LE text, found big-endian UTF-16"},
    };
    for (const auto &c : cases) {
        ParsedTrace parsed;
        EXPECT_EQ(ParseTrace(c.text, parsed).rfind(c.problem, 0), 0u) << ParseTrace(c.text, parsed);
    }
}

TEST(TraceReader, LoadsAFileOrStandardInputAndNamesItInProblems)
{
    const std::string path = ::testing::TempDir() + "trace_reader_test.trace";
    const std::string text = Encoded(WholeTrace(CollectionsFrom({})), LineEnd::CrLf, true);
    std::ofstream(path, std::ios::binary) << text;
    ParsedTrace fromFile;
    ASSERT_EQ(LoadTrace(path, fromFile), "");
    EXPECT_EQ(fromFile.collections, CollectionsFrom({}));
    EXPECT_TRUE(fromFile.utf16);

    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
    ParsedTrace fromInput;
    ASSERT_EQ(LoadTrace("-", fromInput), "");
    EXPECT_EQ(fromInput.collections, fromFile.collections);

    std::ofstream(path, std::ios::binary) << text.substr(0, 1000);
    ParsedTrace refused;
    EXPECT_EQ(LoadTrace(path, refused).rfind(path + ": line ", 0), 0u) << LoadTrace(path, refused);
    std::ofstream(path, std::ios::binary) << std::string(MaxTraceSize + 1, '\n');
    EXPECT_NE(LoadTrace(path, refused).find("is larger than any comtrace trace"), std::string::npos);
    EXPECT_EQ(LoadTrace(path + ".missing", refused).rfind("cannot open the trace " + path + ".missing: ", 0), 0u);
    EXPECT_TRUE(refused.collections.empty());
    (void)std::remove(path.c_str());
}

} // namespace
} // namespace trace
