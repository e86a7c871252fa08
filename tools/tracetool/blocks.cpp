// tracetool blocks, blocks --list and dump: the block data as collected,
// its sizes, and its hex view.
#include "report.h"

#include "block_rule.h"
#include "report_text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tracetool {

namespace {

using trace::Bytes;

constexpr std::size_t DumpLineSize = 16;

// One block's bytes as written: the whole collection, or its last size
// bytes; a shorter collection (only when forced) is padded with zeros so
// that every later block keeps its offset. padded gets how many.
Bytes BlockBytes(const Bytes &collection, const std::optional<std::size_t> &size, std::size_t &padded)
{
    padded = 0;
    if (!size) {
        return collection;
    }
    if (collection.size() >= *size) {
        return Bytes(collection.end() - static_cast<std::ptrdiff_t>(*size), collection.end());
    }
    padded = *size - collection.size();
    Bytes bytes = collection;
    bytes.resize(*size, 0);
    return bytes;
}

// The block data the options select, block by block, with the zeros padded
// at the end of each; false (problems named in result.messages, status set)
// when irregular blocks stop it. A trace cut short gives the blocks it holds.
bool SelectBlocks(const trace::ParsedTrace &trace, const BlockOptions &options, std::vector<Bytes> &blocks,
                  std::vector<std::size_t> &padding, Result &result)
{
    const std::vector<const Bytes *> collections = trace::BlockCollections(trace.collections);
    if (options.size) {
        const BlockLayout layout = LayOutBlocks(collections, options.size);
        for (unsigned block = 0; block < layout.blocks.size(); ++block) {
            if (!layout.blocks[block].irregularity.empty()) {
                result.messages += (options.force ? "warning: " : "") + trace::BlockName(block) + ": " +
                                   layout.blocks[block].irregularity + "\n";
            }
        }
        if (layout.irregularCount > 0 && !options.force) {
            result.messages += Plural(layout.irregularCount, "block is", "blocks are") + " irregular for --size " +
                               std::to_string(*options.size) + "; nothing written (--force writes anyway)\n";
            result.status = ExitDeviation;
            result.refused = true;
            return false;
        }
    }
    std::size_t paddedBlocks = 0;
    for (const Bytes *collection : collections) {
        std::size_t padded = 0;
        blocks.push_back(BlockBytes(*collection, options.size, padded));
        padding.push_back(padded);
        paddedBlocks += padded > 0 ? 1 : 0;
    }
    if (paddedBlocks > 0) {
        // Zeros the device never sent: the output is not its data.
        result.messages += "padded " + Plural(paddedBlocks, "block", "blocks") + " with 00 bytes to --size " +
                           std::to_string(*options.size) + "\n";
        result.status = ExitDeviation;
    }
    return true;
}

// One line of the hex view; bytes from paddedFrom on were padded, not
// received, and show as "--".
void AppendDumpLine(std::size_t offset, unsigned block, const Bytes &bytes, std::size_t from, std::size_t paddedFrom,
                    std::string &out)
{
    out += Format("%08llx", offset) + Format("  blk %3llu  ", block);
    std::string ascii;
    for (std::size_t i = 0; i < DumpLineSize; ++i) {
        if (i == DumpLineSize / 2) {
            out += ' ';
        }
        if (from + i >= bytes.size()) {
            out += "   ";
        } else if (from + i >= paddedFrom) {
            out += "-- ";
            ascii += ' ';
        } else {
            const std::uint8_t byte = bytes[from + i];
            out += Format("%02llx ", byte);
            ascii += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
        }
    }
    out += " |" + ascii + "|\n";
}

} // namespace

Result BlockData(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    std::vector<Bytes> blocks;
    std::vector<std::size_t> padding;
    if (SelectBlocks(trace, options, blocks, padding, result)) {
        for (const Bytes &block : blocks) {
            result.output.append(block.begin(), block.end());
        }
    }
    NoteIncomplete(trace, result);
    return result;
}

Result ListBlocks(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    const std::vector<const Bytes *> blocks = trace::BlockCollections(trace.collections);
    const BlockLayout layout = LayOutBlocks(blocks, options.size);
    result.output += "block  size  leading bytes\n";
    for (unsigned block = 0; block < blocks.size(); ++block) {
        const BlockCut &cut = layout.blocks[block];
        result.output += Format("%5llu", block) + Format("  %4llu  ", blocks[block]->size());
        if (!options.size) {
            result.output += "-"; // unknown without the block size
        } else if (cut.shorter) {
            result.output += "(short)";
        } else if (cut.leadSize == 0) {
            result.output += "(none)";
        } else {
            result.output += SpacedHex(*blocks[block], 0, cut.leadSize);
        }
        result.output += "\n";
        if (options.size && !cut.irregularity.empty()) {
            result.messages += trace::BlockName(block) + ": " + cut.irregularity + "\n";
        }
    }
    if (options.size && layout.irregularCount > 0) {
        result.status = ExitDeviation;
    }
    NoteIncomplete(trace, result);
    return result;
}

Result Dump(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    std::vector<Bytes> blocks;
    std::vector<std::size_t> padding;
    if (SelectBlocks(trace, options, blocks, padding, result)) {
        std::size_t offset = 0;
        for (unsigned block = 0; block < blocks.size(); ++block) {
            const Bytes &bytes = blocks[block];
            if (bytes.empty()) {
                result.output += Format("%08llx", offset) + Format("  blk %3llu  (empty)\n", block);
            }
            for (std::size_t from = 0; from < bytes.size(); from += DumpLineSize) {
                AppendDumpLine(offset + from, block, bytes, from, bytes.size() - padding[block], result.output);
            }
            offset += bytes.size();
        }
        result.output += Format("%08llx\n", offset);
    }
    NoteIncomplete(trace, result);
    return result;
}

} // namespace tracetool
