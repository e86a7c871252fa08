// tracetool's commands over a trace the trace library has read: each turns
// a ParsedTrace into what the command prints and the exit status it ends
// with. Nothing here reads files or writes to the console, so the tests
// call the commands directly. Each command is a file of its own
// (check.cpp, blocks.cpp for blocks and dump, diff.cpp, json.cpp) over
// what they share (report_text.h, block_rule.h).
#ifndef COMTRACE_TRACETOOL_REPORT_H
#define COMTRACE_TRACETOOL_REPORT_H

#include <cstddef>
#include <optional>
#include <string>

#include "trace/reader.h"

namespace tracetool {

// Exit statuses, as tracetool(1) lists them.
constexpr int ExitOk = 0;        // check: every stage answered; diff: the same; blocks, dump: written
constexpr int ExitDeviation = 1; // check: a stage missed or deviated; diff: different; blocks, dump: irregular
constexpr int ExitNoPort = 2;    // check: the port never opened
constexpr int ExitNotATrace = 3; // an input is not a trace (or cannot be read)
constexpr int ExitUsage = 4;     // the command line is wrong, or the output cannot be written

// What a command produced: output goes to standard output (or the -o file),
// messages to standard error.
struct Result {
    int status = ExitOk;
    std::string output;
    std::string messages;
    bool refused = false; // nothing to write: an --output file is left alone
};

// How the block commands cut each block's collection.
struct BlockOptions {
    // Take exactly this many bytes per block, the last ones of each
    // collection; unset takes every collection whole.
    std::optional<std::size_t> size;
    // Write even when blocks are irregular for size.
    bool force = false;
};

// check: one line per stage and a verdict; status ExitOk, ExitDeviation or
// ExitNoPort. With a size, the blocks must hold data of that size.
Result Check(const trace::ParsedTrace &trace, std::optional<std::size_t> size = std::nullopt);

// blocks: the bytes of the block collections in block order. With a size,
// irregular blocks are named in messages and nothing is written (status
// ExitDeviation) unless forced; padding a forced block makes the status
// ExitDeviation too. A trace cut short gives the blocks it holds, says so
// in messages and ends with ExitDeviation (as every command below does).
Result BlockData(const trace::ParsedTrace &trace, const BlockOptions &options);

// blocks --list: each block's number, collection size and, with a size, the
// leading bytes before the block's data; status ExitDeviation when some
// block is irregular for the size.
Result ListBlocks(const trace::ParsedTrace &trace, const BlockOptions &options);

// dump: the block data as a hex and ASCII view, 16 bytes a line, padded
// bytes shown as "--"; refuses irregular blocks as BlockData does.
Result Dump(const trace::ParsedTrace &trace, const BlockOptions &options);

// diff: the replies, bring-up and release that differ between a and b;
// status ExitOk when none does, else ExitDeviation.
Result Diff(const trace::ParsedTrace &a, const trace::ParsedTrace &b);

// json: JSON Lines, one object per request, then the bring-up and the
// release.
Result Json(const trace::ParsedTrace &trace);

} // namespace tracetool

#endif
