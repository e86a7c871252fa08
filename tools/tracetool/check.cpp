// tracetool check: one line per stage of the dialogue and a verdict.
#include "report.h"

#include "block_rule.h"
#include "report_text.h"

#include <string>
#include <vector>

namespace tracetool {

namespace {

using trace::Bytes;
using trace::RequestKind;

// Whether the program shows "GET OK!" for a reply.
bool Acknowledged(const Bytes &reply)
{
    return !reply.empty() && reply[0] == trace::Ack;
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

} // namespace tracetool
