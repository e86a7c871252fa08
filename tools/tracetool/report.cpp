#include "report.h"

#include "block_rule.h"

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

// "0x21-0x7F (33-127)" for a run of block numbers.
std::string BlockRun(unsigned first, unsigned last)
{
    if (first == last) {
        return trace::BlockName(first);
    }
    return "blocks " + Format("0x%02llX", first) + Format("-0x%02llX", last) + Format(" (%llu", first) +
           Format("-%llu)", last);
}

// --- check -----------------------------------------------------------------

// A stage's own answer: its collection, less the device's answer to an
// acknowledgement the program sent before it without collecting. Those
// bytes are the ones the blocks show before their data; they are never
// taken as the stage's answer.
struct OwnAnswer {
    Bytes bytes;
    std::string note; // says what was taken off, or empty
};

OwnAnswer OwnAnswerAfter(const Bytes &collection, const Bytes &ackAnswer, const std::string &acknowledgement)
{
    if (ackAnswer.empty() || collection.size() < ackAnswer.size() ||
        !std::equal(ackAnswer.begin(), ackAnswer.end(), collection.begin())) {
        return {collection, {}};
    }
    return {Bytes(collection.begin() + static_cast<std::ptrdiff_t>(ackAnswer.size()), collection.end()),
            SpacedHex(ackAnswer) + " before it answers " + acknowledgement};
}

std::string Sized(const OwnAnswer &answer)
{
    return Plural(answer.bytes.size(), "byte", "bytes") + (answer.note.empty() ? "" : "; " + answer.note);
}

// The line for a stage that expects ACK first; returns whether it got it.
bool CheckAcknowledgement(const char *stage, const OwnAnswer &answer, std::string &out)
{
    out += stage;
    const Bytes &reply = answer.bytes;
    if (Acknowledged(reply)) {
        out += ": acknowledged (" + Sized(answer) + ")\n";
        return true;
    }
    if (reply.empty()) {
        out += ": no answer" + (answer.note.empty() ? "" : " (" + answer.note + ")") + "\n";
    } else {
        out += ": not acknowledged: " + Sized(answer) + ", first " + HexByte(reply[0]) + "\n";
    }
    return false;
}

// The line for a stage that expects a text; returns whether one was shown.
bool CheckText(const char *stage, const OwnAnswer &answer, std::string &out)
{
    out += stage;
    const Bytes &reply = answer.bytes;
    const std::string text = trace::CapturedText(reply);
    if (!text.empty()) {
        out += ": \"" + text + "\" (" + Sized(answer) + ")\n";
        return true;
    }
    if (reply.empty()) {
        out += ": no answer" + (answer.note.empty() ? "" : " (" + answer.note + ")") + "\n";
    } else {
        out += ": no text: " + Sized(answer) + ", first " + HexByte(reply[0]) + "\n";
    }
    return false;
}

// The lines for the blocks: a summary, then the irregular ones, a run of
// blocks irregular alike on one line; returns whether all are regular.
bool CheckBlocks(const BlockLayout &layout, std::string &out)
{
    const std::size_t read = layout.blocks.size();
    out += "blocks: ";
    if (layout.irregularCount == 0) {
        out += std::to_string(read) + " of " + std::to_string(trace::BlockCount) + " regular, ";
    } else {
        out += std::to_string(layout.irregularCount) + " of " + std::to_string(read) + " irregular; ";
    }
    out += layout.size == 0 ? "none answered" : Plural(layout.size, "byte", "bytes") + " each";
    if (!layout.lead.empty()) {
        out += ", after " + SpacedHex(layout.lead) + " answering the previous block's acknowledgement";
    }
    out += "\n";
    for (unsigned block = 0; block < read;) {
        const std::string &why = layout.blocks[block].irregularity;
        unsigned last = block;
        while (last + 1 < read && layout.blocks[last + 1].irregularity == why) {
            ++last;
        }
        if (!why.empty()) {
            out += "  " + BlockRun(block, last) + ": " + why + "\n";
        }
        block = last + 1;
    }
    return layout.irregularCount == 0;
}

// Why a failed bring-up step matters beyond its own line.
const char *BringUpConsequence(std::size_t step)
{
    switch (step) {
    case 1:
        return " (bytes from before the run may open the first collection)";
    case 2:
        return " (the line may have stayed in a break)";
    case 3:
    case 4:
        return " (the dialogue ran at unknown line settings)";
    default:
        return "";
    }
}

// The lines for the bring-up of a port that opened; returns whether every
// step succeeded.
bool CheckBringUp(const trace::ParsedTrace &trace, std::string &out)
{
    bool succeeded = true;
    std::size_t step = 0;
    for (const std::string &line : trace.bringUpLines) {
        if (line.rfind(trace::ErrorCodePrefix, 0) == 0) {
            out += "bring-up: " + line + "\n"; // the error code of the step before
            continue;
        }
        if (step < trace::BringUpStepCount && line == trace::BringUpSteps[step].failure) {
            out += "bring-up: failed: \"" + line + "\"" + BringUpConsequence(step) + "\n";
            succeeded = false;
        }
        ++step;
    }
    if (succeeded && step == trace::BringUpStepCount) {
        out += "bring-up: every step succeeded\n";
    }
    return succeeded;
}

// The line for the release; returns whether the port was released or the
// trace does not show it.
bool CheckRelease(const trace::ParsedTrace &trace, std::string &out)
{
    if (trace.hasRelease) {
        out += trace.released ? "release: the port was closed\n"
                              : "release: failed: \"" + trace.releaseLine + "\" (the port was not closed)\n";
        return trace.released;
    }
    if (trace.incomplete.empty()) {
        out += "release: not shown (the trace has no release line)\n";
    }
    return true;
}

// --- blocks and dump -------------------------------------------------------

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

// Says on standard error that a trace is cut short, and makes the status
// tell; the output still holds what the trace has.
void NoteIncomplete(const trace::ParsedTrace &trace, Result &result)
{
    if (!trace.incomplete.empty()) {
        result.messages += "incomplete: " + trace.incomplete + "\n";
        result.status = result.status == ExitOk ? ExitDeviation : result.status;
    }
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

Result Check(const trace::ParsedTrace &trace, std::optional<std::size_t> size)
{
    Result result;
    std::string &out = result.output;
    std::vector<std::string> failed; // besides the device's stages
    switch (trace.port) {
    case trace::PortState::Opened:
        out += "port: opened\n";
        if (!CheckBringUp(trace, out)) {
            failed.emplace_back("the bring-up failed");
        }
        break;
    case trace::PortState::NotOpened:
        out += "port: not opened\n";
        break;
    case trace::PortState::Unknown:
        out += "port: not shown (the trace has no bring-up lines)\n";
        break;
    }

    const BlockLayout layout = LayOutBlocks(trace::BlockCollections(trace.collections), size);
    std::vector<std::string> missed;
    // A stage whose collection a trace cut short does not hold was not
    // reached: the device is not blamed for it.
    const auto stage = [&](RequestKind kind, const char *name, const auto &judge) {
        const std::size_t index = trace::CollectionIndex(kind);
        if (index >= trace.collections.size()) {
            out += std::string(name) + ": not reached\n";
        } else if (!judge(trace.collections[index])) {
            missed.emplace_back(name);
        }
    };
    stage(RequestKind::Handshake, "handshake", [&](const Bytes &reply) {
        return CheckAcknowledgement("handshake", {reply, {}}, out);
    });
    stage(RequestKind::Identify, "identification", [&](const Bytes &reply) {
        return CheckText("identification", {reply, {}}, out);
    });
    stage(RequestKind::Version, "version", [&](const Bytes &reply) {
        return CheckText("version", OwnAnswerAfter(reply, layout.lead, "the identification's acknowledgement"), out);
    });
    stage(RequestKind::VersionAck, "version acknowledgement", [&](const Bytes &reply) {
        return CheckAcknowledgement("version acknowledgement", {reply, {}}, out);
    });
    stage(RequestKind::Block, "blocks", [&](const Bytes &) { return CheckBlocks(layout, out); });
    stage(RequestKind::End, "end", [&](const Bytes &reply) {
        const std::string acknowledgement = trace::BlockName(trace::BlockCount - 1) + "'s acknowledgement";
        return CheckAcknowledgement("end", OwnAnswerAfter(reply, layout.lead, acknowledgement), out);
    });
    if (!CheckRelease(trace, out)) {
        failed.emplace_back("the release failed");
    }
    if (!trace.incomplete.empty()) {
        out += "incomplete: " + trace.incomplete + "\n";
        failed.emplace_back("the trace is incomplete");
    }

    if (trace.port == trace::PortState::NotOpened) {
        out += "verdict: failed: the port never opened\n";
        result.status = ExitNoPort;
        return result;
    }
    if (!missed.empty()) {
        std::string stages = "the device missed or deviated at ";
        for (std::size_t i = 0; i < missed.size(); ++i) {
            stages += (i > 0 ? ", " : "") + missed[i];
        }
        failed.insert(failed.begin(), stages);
    }
    if (failed.empty()) {
        out += "verdict: passed: every stage got the answer the dialogue expects\n";
        return result;
    }
    out += "verdict: failed: ";
    for (std::size_t i = 0; i < failed.size(); ++i) {
        out += (i > 0 ? "; " : "") + failed[i];
    }
    out += "\n";
    result.status = ExitDeviation;
    return result;
}

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

Result Diff(const trace::ParsedTrace &a, const trace::ParsedTrace &b)
{
    Result result;
    std::string &out = result.output;
    std::size_t differences = CompareBringUps(a, b, out);
    const std::vector<const Bytes *> repliesA = trace::CollectionsByRequest(a.collections);
    const std::vector<const Bytes *> repliesB = trace::CollectionsByRequest(b.collections);
    const std::vector<Request> &requests = trace::Requests();
    std::size_t differingReplies = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (repliesA[i] != nullptr && repliesB[i] != nullptr) {
            const std::string lines = CompareReplies(StageName(requests[i]), *repliesA[i], *repliesB[i]);
            out += lines;
            differingReplies += lines.empty() ? 0 : 1;
        }
    }
    differences += differingReplies + CompareReleases(a, b, out);
    // A trace cut short is compared as far as it goes, and is not the same
    // as any other.
    for (const auto &[name, trace] : {std::pair<const char *, const trace::ParsedTrace *>{"A", &a}, {"B", &b}}) {
        if (!trace->incomplete.empty()) {
            out += std::string("incomplete: ") + name + ": " + trace->incomplete + "; compared up to there\n";
            ++differences;
        }
    }
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
    const std::vector<const Bytes *> replies = trace::CollectionsByRequest(trace.collections);
    const std::vector<Request> &requests = trace::Requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].collected && replies[i] == nullptr) {
            break; // a trace cut short: what follows it is not there
        }
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
    NoteIncomplete(trace, result);
    return result;
}

} // namespace tracetool
