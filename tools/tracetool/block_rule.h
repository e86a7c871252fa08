// The one rule by which tracetool's commands judge the 128 block
// collections of a trace: check's verdict, blocks, blocks --list and dump
// all take from here which blocks are regular and where each block's data
// begins.
//
// A block's collection holds its data, the last `size` bytes, and before
// them, from block 1 on, the device's answer to the acknowledgement of the
// block before (the program sends it without collecting after it). The
// blocks are regular when every one has the same size of data and every
// one after block 0 the same leading bytes before it (a device answers
// every acknowledgement alike; block 0 follows none). The size is given, or
// found as the one that leaves the fewest blocks irregular.
#ifndef COMTRACE_TRACETOOL_BLOCK_RULE_H
#define COMTRACE_TRACETOOL_BLOCK_RULE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trace/dialogue.h"

namespace tracetool {

struct BlockCut {
    const trace::Bytes *collection = nullptr;
    bool shorter = false;     // holds fewer bytes than the size of the data
    std::size_t leadSize = 0; // bytes before the data (0 when shorter)
    std::string irregularity; // why the block is irregular; empty when it is not
};

struct BlockLayout {
    std::size_t size = 0; // of each block's data; 0 when no block has any
    // The device's answer to a block acknowledgement: the leading bytes most
    // blocks after block 0 have; empty for a device that answers none.
    trace::Bytes lead;
    std::vector<BlockCut> blocks; // one per block collection given, in order
    std::size_t irregularCount = 0;
};

// Lays out the block collections (block 0 first; fewer than BlockCount in
// a trace cut short) by the rule, with the size of each block's data given
// or found.
BlockLayout LayOutBlocks(const std::vector<const trace::Bytes *> &collections, std::optional<std::size_t> size);

// "06 41 42", as the trace writes bytes (without its brackets); "none" for
// no bytes.
std::string SpacedHex(const trace::Bytes &bytes, std::size_t from = 0, std::size_t count = SIZE_MAX);

std::string Plural(std::size_t count, const char *one, const char *many);

} // namespace tracetool

#endif
