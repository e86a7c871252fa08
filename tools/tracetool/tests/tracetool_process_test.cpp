// The tracetool program itself: exit statuses, refusals naming the line,
// standard input, the output file, and the hex view held to hexdump -C.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "process.h"
#include "scratch.h"
#include "text_files.h"
#include "trace/writer.h"

namespace {

using support::Slurp;
using trace::Bytes;

// A run of tracetool that goes on far longer than this has hung.
constexpr long RunLimitMs = 30000;

void Store(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

// The files the running test made, removed when it ends.
std::vector<std::string> workFiles;

// A file of this test's own: ctest runs the tests side by side.
std::string WorkPath(const std::string &name)
{
    std::string path = support::TempPath(
        "tracetool", std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" + name);
    if (std::find(workFiles.begin(), workFiles.end(), path) == workFiles.end()) {
        workFiles.push_back(path);
    }
    return path;
}

class TracetoolProgram : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const std::string &path : workFiles) {
            (void)std::remove(path.c_str()); // some were never made
        }
        workFiles.clear();
    }
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs tracetool with these arguments, standard input from input.
Outcome Tracetool(const std::vector<std::string> &arguments, const std::string &input = "/dev/null")
{
    const std::string out = WorkPath("stdout");
    const std::string err = WorkPath("stderr");
    std::vector<std::string> command{TRACETOOL_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const support::ProcessOutcome run = support::RunProcess(command, {input, out, err}, {RunLimitMs, 0});
    EXPECT_FALSE(run.timedOut) << "tracetool ran for more than " << RunLimitMs << " ms";
    Outcome outcome;
    outcome.status = run.status;
    outcome.out = Slurp(out);
    outcome.err = Slurp(err);
    return outcome;
}

std::vector<Bytes> TalkingCollections()
{
    return trace::CollectionsOf(devsim::JoinedReplies({}));
}

// Replaces line number (from 1) of an LF text.
std::string WithLine(const std::string &text, std::size_t number, const std::string &line)
{
    std::size_t start = 0;
    for (std::size_t n = 1; n < number; ++n) {
        start = text.find('\n', start) + 1;
    }
    const std::size_t end = text.find('\n', start);
    return text.substr(0, start) + line + text.substr(end);
}

TEST_F(TracetoolProgram, RefusesWhatIsNotATraceNamingTheLine)
{
    const std::string good = trace::WholeTrace(TalkingCollections());
    // Line 8 is the handshake's count "1", line 9 its dump "[06] ".
    std::string truncated = good.substr(0, good.find("send [x52] [x00] [x40]"));
    const std::size_t truncatedLines = static_cast<std::size_t>(std::count(truncated.begin(), truncated.end(), '\n'));
    std::string mixed = good;
    mixed.insert(mixed.find('\n', mixed.find("send [x50]")), "\r");
    struct Case {
        const char *what;
        std::string text;
        std::size_t line;
    };
    const Case cases[] = {
        {"cut inside a line that cannot be there", truncated + "hello", truncatedLines + 1},
        {"a count that disagrees with its dump", WithLine(good, 8, "2"), 9},
        {"a foreign line", WithLine(good, 3, "hello"), 3},
        {"mixed line ends", mixed, 0},
        {"empty", "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store(WorkPath("bad.trace"), c.text);
        for (const char *command : {"check", "blocks", "dump", "json"}) {
            const Outcome run = Tracetool({command, WorkPath("bad.trace")});
            EXPECT_EQ(run.status, 3) << command;
            EXPECT_EQ(run.out, "") << command;
            const std::string where = c.line > 0 ? ": line " + std::to_string(c.line) + ": expected " : ": line ";
            EXPECT_NE(run.err.find("tracetool: " + WorkPath("bad.trace") + where), std::string::npos)
                << command << ": " << run.err;
        }
        const Outcome diff = Tracetool({"diff", WorkPath("bad.trace"), WorkPath("bad.trace")});
        EXPECT_EQ(diff.status, 3);
    }
    EXPECT_EQ(Tracetool({"check", WorkPath("no-such.trace")}).status, 3);
}

TEST_F(TracetoolProgram, ReadsStandardInputAndWritesTheOutputFileOnlyWhenRegular)
{
    const std::vector<Bytes> collections = TalkingCollections();
    const std::string text = trace::WholeTrace(collections);
    Store(WorkPath("talking.trace"), text);
    Store(WorkPath("talking-utf16.trace"), trace::Encoded(text, trace::LineEnd::CrLf, true));

    const Outcome fromFile = Tracetool({"check", WorkPath("talking.trace")});
    const Outcome fromInput = Tracetool({"check", "-"}, WorkPath("talking-utf16.trace"));
    EXPECT_EQ(fromFile.status, 0);
    EXPECT_EQ(fromInput.status, 0);
    EXPECT_EQ(fromInput.out, fromFile.out);
    const Outcome quiet = Tracetool({"check", "--quiet", WorkPath("talking.trace")});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");

    const std::string bin = WorkPath("blocks.bin");
    (void)std::remove(bin.c_str()); // absent already on a first run
    EXPECT_EQ(Tracetool({"blocks", "--size", "32", "-o", bin, WorkPath("talking.trace")}).status, 0);
    const std::string image = Slurp(bin);
    EXPECT_TRUE(Bytes(image.begin(), image.end()) == devsim::BuiltInImage());

    // Block 3 with a leading byte the others lack: refused, the file kept.
    std::vector<Bytes> irregular = collections;
    irregular[trace::BlockCollectionIndex(3)].insert(irregular[trace::BlockCollectionIndex(3)].begin(), 0x06);
    Store(WorkPath("irregular.trace"), trace::WholeTrace(irregular));
    const Outcome refused = Tracetool({"blocks", "--size", "32", "-o", bin, WorkPath("irregular.trace")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("block 0x03 (3): "), std::string::npos) << refused.err;
    EXPECT_EQ(Slurp(bin), image);
    EXPECT_EQ(Tracetool({"blocks", "-o", "/nonexistent/dir/x", WorkPath("talking.trace")}).status, 4);
    EXPECT_EQ(Tracetool({"blocks", "--bogus", WorkPath("talking.trace")}).status, 4);
}

// Forced, a short block is padded with zeros the device never sent: the
// file is written, and the status and standard error own up to it.
TEST_F(TracetoolProgram, ForcedPaddingIsWrittenWithStatusOne)
{
    std::vector<Bytes> collections = TalkingCollections();
    collections[trace::BlockCollectionIndex(9)].pop_back();
    Store(WorkPath("short.trace"), trace::WholeTrace(collections));
    const std::string bin = WorkPath("forced.bin");
    (void)std::remove(bin.c_str()); // absent already on a first run
    const Outcome forced = Tracetool({"blocks", "--size", "32", "--force", "-o", bin, WorkPath("short.trace")});
    EXPECT_EQ(forced.status, 1);
    EXPECT_NE(forced.err.find("padded 1 block with 00 bytes to --size 32"), std::string::npos) << forced.err;
    EXPECT_EQ(Slurp(bin).size(), devsim::ImageSize);
    const Outcome dump = Tracetool({"dump", "--size", "32", "--force", WorkPath("short.trace")});
    EXPECT_EQ(dump.status, 1);
    EXPECT_NE(dump.out.find("  blk   9  "), std::string::npos);
    EXPECT_NE(dump.out.find("--  |"), std::string::npos) << "the padded byte is not marked";
}

// Where a run was stopped, in any line end and encoding: check judges what
// is there; blocks, dump and json give it and say it is incomplete.
TEST_F(TracetoolProgram, TraceCutShortIsJudgedUpToWhereItEnds)
{
    const std::string whole = trace::WholeTrace(TalkingCollections());
    const std::size_t block37 = whole.find("send [x52] [x00] [x25] ");
    const std::size_t dump37 = whole.find("\n[", block37) + 1;
    struct Case {
        const char *where;
        std::string text;
        const char *says;
        std::size_t blocks; // whole blocks in it
    };
    const Case cases[] = {
        {"inside block 0x25's dump", whole.substr(0, dump37 + 23), "during block 0x25 (37)", 37},
        {"after block 0x25's dump", whole.substr(0, whole.find('\n', dump37) + 1), "during block 0x25 (37)", 38},
        {"without the last line end", whole.substr(0, whole.size() - 1), "before the release line", 128},
        {"after the bring-up, as UTF-16", trace::Encoded(trace::BringUpText(true), trace::LineEnd::CrLf, true),
         "during the handshake", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.where);
        Store(WorkPath("cut.trace"), c.text);
        const std::string incomplete = std::string("incomplete: the trace ends ") + c.says + "\n";
        const Outcome check = Tracetool({"check", WorkPath("cut.trace")});
        EXPECT_EQ(check.status, 1);
        EXPECT_NE(check.out.find(incomplete), std::string::npos) << check.out;
        const std::string bin = WorkPath("cut.bin");
        (void)std::remove(bin.c_str()); // absent already on a first run
        const Outcome blocks = Tracetool({"blocks", "--size", "32", "-o", bin, WorkPath("cut.trace")});
        EXPECT_EQ(blocks.status, 1);
        EXPECT_EQ(blocks.err, incomplete);
        EXPECT_EQ(Slurp(bin).size(), c.blocks * devsim::BlockSize);
        for (const char *command : {"dump", "json"}) {
            const Outcome run = Tracetool({command, WorkPath("cut.trace")});
            EXPECT_EQ(run.status, 1) << command;
            EXPECT_EQ(run.err, incomplete) << command;
            EXPECT_NE(run.out, "") << command;
        }
    }
}

// Text no trace can begin is refused at its first line, whatever its size,
// without holding more than the file (8 MiB) and a little more.
TEST_F(TracetoolProgram, RefusesEightMiBOfNewlinesAtLineOneInBoundedMemory)
{
    constexpr long MostKib = 48L * 1024;
    Store(WorkPath("newlines.trace"), std::string(std::size_t{8} << 20, '\n'));
    const Outcome run = Tracetool({"check", WorkPath("newlines.trace")});
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find("newlines.trace: line 1: expected "), std::string::npos) << run.err;
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, MostKib) << "the largest process this test ran";
}

// hexdump -C is the oracle of the hex view: without the block column, the
// dump of 32-byte blocks is its view of the same bytes.
TEST_F(TracetoolProgram, DumpIsHexdumpsViewWithTheBlockNumber)
{
    Store(WorkPath("talking.trace"), trace::WholeTrace(TalkingCollections()));
    const std::string bin = WorkPath("dump-blocks.bin");
    ASSERT_EQ(Tracetool({"blocks", "-o", bin, WorkPath("talking.trace")}).status, 0);
    const Outcome dump = Tracetool({"dump", WorkPath("talking.trace")});
    ASSERT_EQ(dump.status, 0);
    std::string withoutBlocks;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < dump.out.size(); ++lineNumber) {
        const std::size_t end = dump.out.find('\n', start);
        std::string line = dump.out.substr(start, end - start);
        if (line.size() > 8) {
            char column[32];
            (void)std::snprintf(column, sizeof column, "  blk %3zu", lineNumber / 2);
            ASSERT_EQ(line.substr(8, 9), column) << line;
            line.erase(8, 9);
        }
        withoutBlocks += line + "\n";
        start = end + 1;
    }
    const std::string hexdump = WorkPath("hexdump.txt");
    ASSERT_EQ(support::RunProcess({"hexdump", "-C", bin}, {"/dev/null", hexdump, ""}, {RunLimitMs, 0}).status, 0);
    EXPECT_EQ(withoutBlocks, Slurp(hexdump));
}

} // namespace
