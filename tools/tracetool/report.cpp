#include "report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace tracetool {

namespace {

using trace::Bytes;
using trace::Request;
using trace::RequestKind;

// Differences diff shows for one reply before it only counts the rest.
constexpr std::size_t ShownDifferenceCount = 16;
constexpr std::size_t DumpLineSize = 16;

// One number in a printf format made for an unsigned long long.
std::string Format(const char *format, unsigned long long value)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, format, value); // cannot be cut: the formats are short
    return text;
}

std::string HexByte(std::uint8_t byte)
{
    return Format("%02llX", byte);
}

// Whether the program shows "GET OK!" for a reply.
bool Acknowledged(const Bytes &reply)
{
    return !reply.empty() && reply[0] == trace::Ack;
}

// A verdict line as shown, without the space the program prints after it.
std::string Verdict(const Bytes &reply)
{
    std::string line = trace::VerdictLine(reply);
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

// "06 41 42", as the trace writes bytes (without its brackets).
std::string SpacedHex(const Bytes &bytes, std::size_t from = 0, std::size_t count = SIZE_MAX)
{
    std::string text;
    const std::size_t end = count > bytes.size() - std::min(from, bytes.size()) ? bytes.size() : from + count;
    for (std::size_t i = from; i < end; ++i) {
        if (!text.empty()) {
            text += ' ';
        }
        text += HexByte(bytes[i]);
    }
    return text;
}

std::string Plural(std::size_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "0, 3-5, 9" for an ascending list of block numbers.
std::string Ranges(const std::vector<unsigned> &numbers)
{
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t last = i;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) {
            ++last;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(numbers[i]);
        if (last > i) {
            text += "-" + std::to_string(numbers[last]);
        }
        i = last + 1;
    }
    return text;
}

// The collection that follows each request, or null for the requests the
// program sends without collecting.
std::vector<const Bytes *> RepliesOf(const trace::ParsedTrace &trace)
{
    const std::vector<Request> &requests = trace::Requests();
    std::vector<const Bytes *> replies(requests.size(), nullptr);
    std::size_t next = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].collected) {
            replies[i] = &trace.collections.at(next++);
        }
    }
    return replies;
}

// The reply to the first request of a kind.
const Bytes &ReplyTo(const trace::ParsedTrace &trace, RequestKind kind)
{
    const std::vector<Request> &requests = trace::Requests();
    std::size_t next = 0;
    for (const Request &request : requests) {
        if (request.kind == kind) {
            break;
        }
        next += request.collected ? 1 : 0;
    }
    return trace.collections.at(next);
}

// The collection after each block request, in block order.
std::vector<const Bytes *> BlockCollections(const trace::ParsedTrace &trace)
{
    std::vector<const Bytes *> blocks;
    const std::vector<const Bytes *> replies = RepliesOf(trace);
    const std::vector<Request> &requests = trace::Requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].kind == RequestKind::Block) {
            blocks.push_back(replies[i]);
        }
    }
    return blocks;
}

// The size most non-empty collections have (the smaller one on a tie), or
// zero when every collection is empty.
std::size_t UsualSize(const std::vector<const Bytes *> &collections)
{
    std::map<std::size_t, std::size_t> counts;
    for (const Bytes *collection : collections) {
        if (!collection->empty()) {
            ++counts[collection->size()];
        }
    }
    std::size_t usual = 0;
    std::size_t most = 0;
    for (const auto &[size, count] : counts) {
        if (count > most) {
            usual = size;
            most = count;
        }
    }
    return usual;
}

// --- check -----------------------------------------------------------------

// The line for a stage that expects ACK first; returns whether it got it.
bool CheckAcknowledgement(const char *stage, const Bytes &reply, std::string &out)
{
    out += stage;
    if (Acknowledged(reply)) {
        out += ": acknowledged (" + Plural(reply.size(), "byte", "bytes") + ")\n";
        return true;
    }
    if (reply.empty()) {
        out += ": no answer\n";
    } else {
        out += ": not acknowledged: " + Plural(reply.size(), "byte", "bytes") + ", first " + HexByte(reply[0]) + "\n";
    }
    return false;
}

// The line for a stage that expects a text; returns whether one was shown.
bool CheckText(const char *stage, const Bytes &reply, std::string &out)
{
    out += stage;
    const std::string text = trace::CapturedText(reply);
    if (!text.empty()) {
        out += ": \"" + text + "\" (" + Plural(reply.size(), "byte", "bytes") + ")\n";
        return true;
    }
    if (reply.empty()) {
        out += ": no answer\n";
    } else {
        out += ": no text: " + Plural(reply.size(), "byte", "bytes") + ", first " + HexByte(reply[0]) + "\n";
    }
    return false;
}

// The line for the block replies; returns whether every block was answered.
bool CheckBlocks(const trace::ParsedTrace &trace, std::string &out)
{
    const std::vector<const Bytes *> blocks = BlockCollections(trace);
    const std::size_t usual = UsualSize(blocks);
    std::vector<unsigned> empty;
    std::map<std::size_t, std::vector<unsigned>> unusual; // by size
    for (unsigned block = 0; block < blocks.size(); ++block) {
        if (blocks[block]->empty()) {
            empty.push_back(block);
        } else if (blocks[block]->size() != usual) {
            unusual[blocks[block]->size()].push_back(block);
        }
    }
    const std::size_t answered = blocks.size() - empty.size();
    out += "blocks: " + std::to_string(answered) + " of " + std::to_string(blocks.size()) + " answered";
    if (answered > 0) {
        out += ", " + Plural(usual, "byte", "bytes") + (unusual.empty() ? " each" : " most");
    }
    if (!empty.empty()) {
        out += "; empty: " + Ranges(empty);
    }
    for (const auto &[size, numbers] : unusual) {
        out += "; " + Plural(size, "byte", "bytes") + ": " + Ranges(numbers);
    }
    out += "\n";
    return empty.empty();
}

// --- blocks and dump -------------------------------------------------------

// One block cut to the requested size.
struct CutBlock {
    const Bytes *collection = nullptr;
    bool shorter = false;     // holds fewer bytes than the size
    std::size_t leadSize = 0; // bytes before the block's data
};

bool SameLead(const CutBlock &a, const CutBlock &b)
{
    return a.leadSize == b.leadSize &&
           std::equal(a.collection->begin(), a.collection->begin() + static_cast<std::ptrdiff_t>(a.leadSize),
                      b.collection->begin());
}

// The leading bytes a device's answer to every block acknowledgement puts
// before the next block: those most blocks after block 0 have. Null when
// every collection is shorter than the size.
const CutBlock *UsualLead(const std::vector<CutBlock> &cut)
{
    const CutBlock *usual = nullptr;
    std::size_t most = 0;
    for (std::size_t i = 1; i < cut.size() && most * 2 <= cut.size(); ++i) {
        if (cut[i].shorter) {
            continue;
        }
        const auto alike =
            static_cast<std::size_t>(std::count_if(cut.begin() + 1, cut.end(), [&](const CutBlock &other) {
                return !other.shorter && SameLead(cut[i], other);
            }));
        if (alike > most) {
            most = alike;
            usual = &cut[i];
        }
    }
    return usual;
}

std::string LeadText(const CutBlock &block)
{
    return block.leadSize > 0 ? SpacedHex(*block.collection, 0, block.leadSize) : "none";
}

// What makes a block irregular, or empty: a collection shorter than the
// size, bytes before block 0's data (it follows no block acknowledgement),
// leading bytes unlike the usual ones.
std::string Irregularity(unsigned block, const CutBlock &cut, const CutBlock *usual, std::size_t size)
{
    if (cut.shorter) {
        return "collection of " + Plural(cut.collection->size(), "byte", "bytes") + ", shorter than " +
               std::to_string(size);
    }
    if (block == 0) {
        return cut.leadSize == 0 ? std::string()
                                 : Plural(cut.leadSize, "byte", "bytes") +
                                       " before its data, though it follows no block acknowledgement";
    }
    if (usual != nullptr && !SameLead(cut, *usual)) {
        return "leading bytes (" + LeadText(cut) + ") differ from most blocks' (" + LeadText(*usual) + ")";
    }
    return {};
}

// Cuts every block to size and names the irregular ones in problems.
std::vector<CutBlock> CutBlocks(const trace::ParsedTrace &trace, std::size_t size, std::vector<std::string> &problems)
{
    std::vector<CutBlock> cut;
    for (const Bytes *collection : BlockCollections(trace)) {
        CutBlock block;
        block.collection = collection;
        block.shorter = collection->size() < size;
        block.leadSize = block.shorter ? 0 : collection->size() - size;
        cut.push_back(block);
    }
    const CutBlock *usual = UsualLead(cut);
    for (unsigned block = 0; block < cut.size(); ++block) {
        const std::string irregularity = Irregularity(block, cut[block], usual, size);
        if (!irregularity.empty()) {
            problems.push_back("block " + std::to_string(block) + ": " + irregularity);
        }
    }
    return cut;
}

// One block's bytes as written: the whole collection, or its last size
// bytes; a shorter collection (only when forced) is padded with zeros so
// that every later block keeps its offset.
Bytes BlockBytes(const Bytes &collection, const std::optional<std::size_t> &size)
{
    if (!size) {
        return collection;
    }
    if (collection.size() >= *size) {
        return Bytes(collection.end() - static_cast<std::ptrdiff_t>(*size), collection.end());
    }
    Bytes padded = collection;
    padded.resize(*size, 0);
    return padded;
}

// The block data the options select, block by block; false (problems
// named in result.messages, status set) when irregular blocks stop it.
bool SelectBlocks(const trace::ParsedTrace &trace, const BlockOptions &options, std::vector<Bytes> &blocks,
                  Result &result)
{
    if (options.size) {
        std::vector<std::string> problems;
        (void)CutBlocks(trace, *options.size, problems); // only the problems count here
        for (const std::string &problem : problems) {
            result.messages += (options.force ? "warning: " : "") + problem + "\n";
        }
        if (!problems.empty() && !options.force) {
            result.messages += Plural(problems.size(), "block is", "blocks are") + " irregular for --size " +
                               std::to_string(*options.size) + "; nothing written (--force writes anyway)\n";
            result.status = ExitDeviation;
            return false;
        }
    }
    const std::vector<const Bytes *> collections = BlockCollections(trace);
    std::transform(collections.begin(), collections.end(), std::back_inserter(blocks),
                   [&](const Bytes *collection) { return BlockBytes(*collection, options.size); });
    return true;
}

void AppendDumpLine(std::size_t offset, unsigned block, const Bytes &bytes, std::size_t from, std::string &out)
{
    out += Format("%08llx", offset) + Format("  blk %3llu  ", block);
    std::string ascii;
    for (std::size_t i = 0; i < DumpLineSize; ++i) {
        if (i == DumpLineSize / 2) {
            out += ' ';
        }
        if (from + i < bytes.size()) {
            const std::uint8_t byte = bytes[from + i];
            out += Format("%02llx ", byte);
            ascii += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
        } else {
            out += "   ";
        }
    }
    out += " |" + ascii + "|\n";
}

// --- diff ------------------------------------------------------------------

std::string StageName(const Request &request)
{
    switch (request.kind) {
    case RequestKind::Handshake:
        return "handshake";
    case RequestKind::Identify:
        return "identification";
    case RequestKind::Version:
        return "version";
    case RequestKind::VersionAck:
        return "version acknowledgement";
    case RequestKind::Block:
        return "block " + std::to_string(request.block);
    case RequestKind::End:
        return "end";
    default:
        return "acknowledgement"; // never collected, so never compared
    }
}

// The differences between two replies; empty when they are the same.
std::string CompareReplies(const std::string &stage, const Bytes &a, const Bytes &b)
{
    if (a == b) {
        return {};
    }
    std::string out = stage + ": A " + Plural(a.size(), "byte", "bytes") + ", B " + Plural(b.size(), "byte", "bytes");
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t differing = 0;
    std::string lines;
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) {
            if (++differing <= ShownDifferenceCount) {
                lines += "  offset " + std::to_string(i) + ": A " + HexByte(a[i]) + ", B " + HexByte(b[i]) + "\n";
            }
        }
    }
    if (differing > 0) {
        out += ", " + Plural(differing, "byte differs", "bytes differ");
    }
    if (a.size() != b.size()) {
        out += std::string(", ") + (a.size() > b.size() ? "A" : "B") + " has " +
               Plural(std::max(a.size(), b.size()) - common, "more byte", "more bytes") + " from offset " +
               std::to_string(common);
    }
    out += "\n" + lines;
    if (differing > ShownDifferenceCount) {
        out += "  and " + Plural(differing - ShownDifferenceCount, "more difference", "more differences") + "\n";
    }
    return out;
}

const char *PortName(trace::PortState port)
{
    switch (port) {
    case trace::PortState::Opened:
        return "opened";
    case trace::PortState::NotOpened:
        return "not opened";
    default:
        return "unknown";
    }
}

// The bring-ups' difference, when both traces show one; returns the
// number of differences (0 or 1).
std::size_t CompareBringUps(const trace::ParsedTrace &a, const trace::ParsedTrace &b, std::string &out)
{
    if (a.hasBringUp != b.hasBringUp) {
        out += std::string("note: only ") + (a.hasBringUp ? "A" : "B") + " shows the bring-up; not compared\n";
        return 0;
    }
    if (!a.hasBringUp || (a.port == b.port && a.bringUpLines == b.bringUpLines)) {
        return 0;
    }
    out += std::string("bring-up: A ") + PortName(a.port) + ", B " + PortName(b.port) +
           (a.port == b.port ? " (other lines)" : "") + "\n";
    return 1;
}

// As CompareBringUps, for the release lines.
std::size_t CompareReleases(const trace::ParsedTrace &a, const trace::ParsedTrace &b, std::string &out)
{
    if (a.hasRelease != b.hasRelease) {
        out += std::string("note: only ") + (a.hasRelease ? "A" : "B") + " shows the release; not compared\n";
        return 0;
    }
    if (!a.hasRelease || a.releaseLine == b.releaseLine) {
        return 0;
    }
    out += std::string("release: A ") + (a.released ? "released" : "failed") + ", B " +
           (b.released ? "released" : "failed") + "\n";
    return 1;
}

// --- json ------------------------------------------------------------------

const char *JsonBool(bool value)
{
    return value ? "true" : "false";
}

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Bytes above 0x7F are taken as Latin-1, so the output stays
            // valid UTF-8 whatever they are.
            out += Format("\\u%04llx", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonHex(const Bytes &bytes)
{
    std::string out = "\"";
    for (const std::uint8_t byte : bytes) {
        out += Format("%02llx", byte);
    }
    return out + "\"";
}

// One request's object: reply is the collection that followed it, or null.
std::string JsonRequest(std::size_t step, const Request &request, const Bytes *reply)
{
    const bool numbered = request.kind == RequestKind::Block || request.kind == RequestKind::BlockAck;
    const bool verdict = reply != nullptr && request.shows == Request::Verdict;
    const bool text = reply != nullptr && request.shows == Request::Text;
    return "{\"type\":\"request\",\"step\":" + std::to_string(step) +
           ",\"request\":" + JsonString(trace::KindName(request.kind)) +
           ",\"block\":" + (numbered ? std::to_string(request.block) : "null") + ",\"sent\":" + JsonHex(request.bytes) +
           ",\"collected\":" + JsonBool(reply != nullptr) +
           ",\"count\":" + (reply != nullptr && request.countShown ? std::to_string(reply->size()) : "null") +
           ",\"received\":" + (reply != nullptr ? JsonHex(*reply) : "null") +
           ",\"verdict\":" + (verdict ? JsonString(Verdict(*reply)) : "null") +
           ",\"text\":" + (text ? JsonString(trace::CapturedText(*reply)) : "null") + "}\n";
}

} // namespace

Result Check(const trace::ParsedTrace &trace)
{
    Result result;
    std::string &out = result.output;
    switch (trace.port) {
    case trace::PortState::Opened:
        out += "port: opened\n";
        break;
    case trace::PortState::NotOpened:
        out += "port: not opened\n";
        break;
    case trace::PortState::Unknown:
        out += "port: not shown (the trace has no bring-up lines)\n";
        break;
    }
    std::vector<std::string> missed;
    const auto stage = [&missed](bool ok, const char *name) {
        if (!ok) {
            missed.emplace_back(name);
        }
    };
    stage(CheckAcknowledgement("handshake", ReplyTo(trace, RequestKind::Handshake), out), "handshake");
    stage(CheckText("identification", ReplyTo(trace, RequestKind::Identify), out), "identification");
    stage(CheckText("version", ReplyTo(trace, RequestKind::Version), out), "version");
    stage(CheckAcknowledgement("version acknowledgement", ReplyTo(trace, RequestKind::VersionAck), out),
          "version acknowledgement");
    stage(CheckBlocks(trace, out), "blocks");
    stage(CheckAcknowledgement("end", ReplyTo(trace, RequestKind::End), out), "end");

    if (trace.port == trace::PortState::NotOpened) {
        out += "verdict: failed: the port never opened\n";
        result.status = ExitNoPort;
    } else if (!missed.empty()) {
        out += "verdict: failed: the device missed or deviated at ";
        for (std::size_t i = 0; i < missed.size(); ++i) {
            out += (i > 0 ? ", " : "") + missed[i];
        }
        out += "\n";
        result.status = ExitDeviation;
    } else {
        out += "verdict: passed: every stage got the answer the dialogue expects\n";
    }
    return result;
}

Result BlockData(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    std::vector<Bytes> blocks;
    if (SelectBlocks(trace, options, blocks, result)) {
        for (const Bytes &block : blocks) {
            result.output.append(block.begin(), block.end());
        }
    }
    return result;
}

Result ListBlocks(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    std::vector<CutBlock> cut;
    std::vector<std::string> problems;
    if (options.size) {
        cut = CutBlocks(trace, *options.size, problems);
        result.status = problems.empty() ? ExitOk : ExitDeviation;
    }
    const std::vector<const Bytes *> blocks = BlockCollections(trace);
    result.output += "block  size  leading bytes\n";
    for (unsigned block = 0; block < blocks.size(); ++block) {
        result.output += Format("%5llu", block) + Format("  %4llu  ", blocks[block]->size());
        if (!options.size) {
            result.output += "-"; // unknown without the block size
        } else if (cut[block].shorter) {
            result.output += "(short)";
        } else if (cut[block].leadSize == 0) {
            result.output += "(none)";
        } else {
            result.output += SpacedHex(*blocks[block], 0, cut[block].leadSize);
        }
        result.output += "\n";
    }
    for (const std::string &problem : problems) {
        result.messages += problem + "\n";
    }
    return result;
}

Result Dump(const trace::ParsedTrace &trace, const BlockOptions &options)
{
    Result result;
    std::vector<Bytes> blocks;
    if (!SelectBlocks(trace, options, blocks, result)) {
        return result;
    }
    std::size_t offset = 0;
    for (unsigned block = 0; block < blocks.size(); ++block) {
        const Bytes &bytes = blocks[block];
        if (bytes.empty()) {
            result.output += Format("%08llx", offset) + Format("  blk %3llu  (empty)\n", block);
        }
        for (std::size_t from = 0; from < bytes.size(); from += DumpLineSize) {
            AppendDumpLine(offset + from, block, bytes, from, result.output);
        }
        offset += bytes.size();
    }
    result.output += Format("%08llx\n", offset);
    return result;
}

Result Diff(const trace::ParsedTrace &a, const trace::ParsedTrace &b)
{
    Result result;
    std::string &out = result.output;
    std::size_t differences = CompareBringUps(a, b, out);
    const std::vector<const Bytes *> repliesA = RepliesOf(a);
    const std::vector<const Bytes *> repliesB = RepliesOf(b);
    const std::vector<Request> &requests = trace::Requests();
    std::size_t differingReplies = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (repliesA[i] != nullptr) {
            const std::string lines = CompareReplies(StageName(requests[i]), *repliesA[i], *repliesB[i]);
            out += lines;
            differingReplies += lines.empty() ? 0 : 1;
        }
    }
    differences += differingReplies + CompareReleases(a, b, out);
    if (differences == 0) {
        out += "same: every reply, the bring-up and the release agree\n";
    } else {
        out += "different: " + Plural(differingReplies, "reply differs", "replies differ") + " of " +
               std::to_string(trace::CollectionCount) + "\n";
        result.status = ExitDeviation;
    }
    return result;
}

Result Json(const trace::ParsedTrace &trace)
{
    Result result;
    std::string &out = result.output;
    const std::vector<const Bytes *> replies = RepliesOf(trace);
    const std::vector<Request> &requests = trace::Requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        out += JsonRequest(i, requests[i], replies[i]);
    }
    out += std::string("{\"type\":\"bring-up\",\"shown\":") + JsonBool(trace.hasBringUp) +
           ",\"port\":" + JsonString(PortName(trace.port)) + ",\"lines\":[";
    for (std::size_t i = 0; i < trace.bringUpLines.size(); ++i) {
        out += (i > 0 ? "," : "") + JsonString(trace.bringUpLines[i]);
    }
    out += "]}\n";
    out += std::string("{\"type\":\"release\",\"shown\":") + JsonBool(trace.hasRelease) +
           ",\"released\":" + (trace.hasRelease ? JsonBool(trace.released) : "null") +
           ",\"line\":" + (trace.hasRelease ? JsonString(trace.releaseLine) : "null") + "}\n";
    return result;
}

} // namespace tracetool
