#include "block_rule.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>

namespace tracetool {

namespace {

using trace::Bytes;

// The negative acknowledgement: a block answered with it alone was refused.
constexpr std::uint8_t Nak = 0x15;

// The leading bytes a collection has before data of this size.
Bytes LeadOf(const Bytes &collection, std::size_t size)
{
    return Bytes(collection.begin(), collection.end() - static_cast<std::ptrdiff_t>(size));
}

// The leading bytes most blocks after block 0 have before data of this
// size (the lexically first on a tie); empty when none is that long.
Bytes UsualLead(const std::vector<const Bytes *> &collections, std::size_t size)
{
    std::map<Bytes, std::size_t> counts;
    for (std::size_t block = 1; block < collections.size(); ++block) {
        if (collections[block]->size() >= size && !collections[block]->empty()) {
            ++counts[LeadOf(*collections[block], size)];
        }
    }
    const auto most = std::max_element(counts.begin(), counts.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
    return most == counts.end() ? Bytes() : most->first;
}

// Bytes a message shows before it only counts the rest.
constexpr std::size_t ShownLeadSize = 16;

std::string LeadText(const Bytes &lead)
{
    if (lead.empty()) {
        return "none";
    }
    return SpacedHex(lead, 0, ShownLeadSize) +
           (lead.size() > ShownLeadSize ? " and " + Plural(lead.size() - ShownLeadSize, "more", "more") : "");
}

// The size of a block's collection when it is regular.
std::size_t RegularSize(unsigned block, const BlockLayout &layout)
{
    return layout.size + (block == 0 ? 0 : layout.lead.size());
}

// Whether block `block` holds more bytes than a regular one.
bool Oversized(unsigned block, const Bytes *collection, const BlockLayout &layout)
{
    return collection != nullptr && collection->size() > RegularSize(block, layout);
}

// Why block `block` is irregular, or empty; previous and next are the
// collections of the blocks beside it, or null.
std::string Irregularity(unsigned block, const Bytes &collection, const Bytes *previous, const Bytes *next,
                         const BlockLayout &layout)
{
    if (collection.empty()) {
        return "no answer";
    }
    const std::size_t regular = RegularSize(block, layout);
    std::string why;
    if (collection.size() < layout.size) {
        why = Plural(collection.size(), "byte", "bytes") + ", fewer than the " + std::to_string(layout.size) +
              " of a block's data";
    } else if (collection.size() != regular) {
        why = Plural(collection.size(), "byte", "bytes") + ", not " + std::to_string(regular);
        if (block == 0 && collection.size() < trace::ReceiveBufferSize) {
            why += ": block 0 follows no block acknowledgement, so nothing comes before its data";
        } else if (Oversized(block - 1, previous, layout) && collection.size() > regular) {
            // The oversized reply before was still arriving when its
            // collection was taken.
            const std::size_t spilled = collection.size() - regular;
            why += std::string(": its first ") +
                   (spilled == 1 ? "byte is" : Plural(spilled, "byte", "bytes") + " are") + " the rest of " +
                   trace::BlockName(block - 1) + "'s reply, spilled into this collection";
        }
    } else if (LeadOf(collection, layout.size) != (block == 0 ? Bytes() : layout.lead)) {
        why = "leading bytes (" + LeadText(LeadOf(collection, layout.size)) + ") unlike the other blocks' (" +
              LeadText(layout.lead) + ")";
    } else if (layout.size == 1 && collection.back() == Nak) {
        return "answered with 15 (NAK) alone: the device refused the request";
    }
    if (collection.size() > regular && Oversized(block + 1, next, layout)) {
        why += "; the rest of its reply spills into " + trace::BlockName(block + 1) + "'s collection";
    } else if (collection.size() == trace::ReceiveBufferSize && regular < trace::ReceiveBufferSize) {
        why += "; its reply filled the receive buffer, so the rest spills into the next collection";
    }
    return why;
}

BlockLayout LayOutForSize(const std::vector<const Bytes *> &collections, std::size_t size)
{
    BlockLayout layout;
    layout.size = size;
    layout.lead = UsualLead(collections, size);
    for (unsigned block = 0; block < collections.size(); ++block) {
        BlockCut cut;
        cut.collection = collections[block];
        cut.shorter = cut.collection->size() < size;
        cut.leadSize = cut.shorter ? 0 : cut.collection->size() - size;
        const Bytes *previous = block > 0 ? collections[block - 1] : nullptr;
        const Bytes *next = block + 1 < collections.size() ? collections[block + 1] : nullptr;
        cut.irregularity = Irregularity(block, *cut.collection, previous, next, layout);
        layout.irregularCount += cut.irregularity.empty() ? 0 : 1;
        layout.blocks.push_back(cut);
    }
    return layout;
}

// The size most blocks after block 0 have, when none precedes its data
// with an answer (the smaller one on a tie; 0 when all are empty).
std::size_t UsualSize(const std::vector<const Bytes *> &collections)
{
    std::map<std::size_t, std::size_t> counts;
    for (std::size_t block = 1; block < collections.size(); ++block) {
        if (!collections[block]->empty()) {
            ++counts[collections[block]->size()];
        }
    }
    const auto most = std::max_element(counts.begin(), counts.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
    return most == counts.end() ? 0 : most->first;
}

} // namespace

std::string SpacedHex(const Bytes &bytes, std::size_t from, std::size_t count)
{
    std::string text;
    const std::size_t end = count > bytes.size() - std::min(from, bytes.size()) ? bytes.size() : from + count;
    for (std::size_t i = from; i < end; ++i) {
        char hex[4];
        (void)std::snprintf(hex, sizeof hex, "%02X", bytes[i]); // two digits always fit
        text += (text.empty() ? "" : " ") + std::string(hex);
    }
    return text;
}

std::string Plural(std::size_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

BlockLayout LayOutBlocks(const std::vector<const Bytes *> &collections, std::optional<std::size_t> size)
{
    if (size) {
        return LayOutForSize(collections, *size);
    }
    // Block 0 holds data alone, unless it is the irregular one: then the
    // size most other blocks have, with nothing before their data, fits
    // better.
    BlockLayout best;
    bool found = false;
    for (const std::size_t candidate : {collections.empty() ? 0 : collections[0]->size(), UsualSize(collections)}) {
        if (candidate > 0) {
            BlockLayout layout = LayOutForSize(collections, candidate);
            if (!found || layout.irregularCount < best.irregularCount) {
                best = std::move(layout);
                found = true;
            }
        }
    }
    return found ? best : LayOutForSize(collections, 0);
}

} // namespace tracetool
