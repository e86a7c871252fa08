#include "dialogue.h"

#include <cstdio>

namespace trace {

const char AcknowledgedLine[] = "GET OK! ";
const char NoAnswerLine[] = "no answer ";

const BringUpStep BringUpSteps[BringUpStepCount] = {
    {"(+) COM1 initialized", "(-) COM1 initialization failed"},
    {"(+) Discarded all characters from the output and input buffer", "(-) PurgeComm() failed"},
    {"(+) Restored character transmission and placed the transmission line in a nonbreak state",
     "(-) ClearCommBreak() failed"},
    {"(+) Retrieved the current control settings for COM1", "(-) GetCommState() failed"},
    {"(+) Reinitialized all hardware and control settings ", "(-) SetCommState() failed"},
    {"(+) PurgeComm", "(-) PurgeComm() failed"},
};

const char ErrorCodePrefix[] = "(-) GetLastError() return ";
const char ReleasedLine[] = "(+) CloseHandle ok ";
const char ReleaseFailedLine[] = "(-) CloseHandle() failed";

namespace {

constexpr std::uint8_t Stx = 0x02;

std::string Formatted(const char *format, unsigned value)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, format, value); // "send [x52] [x00] [xFF] " fits
    return text;
}

std::vector<Request> BuildRequests()
{
    const std::string ackLabel = "send [x06]";
    std::vector<Request> requests = {
        {RequestKind::Handshake,
         0,
         {Stx, 'P', 'R', 'O', 'G', 'R', 'A', 'M'},
         true,
         true,
         true,
         Request::Verdict,
         "send [x02] [x50] [x52] [x4F] [x47] [x52] [x41] [x4D]"},
        {RequestKind::Identify, 0, {Stx, 0x00}, false, true, true, Request::Text, "send [ x02]"},
        {RequestKind::IdentifyAck, 0, {Ack}, false, false, false, Request::Nothing, ackLabel},
        {RequestKind::Version, 0, {'P'}, false, true, true, Request::Text, "send [x50]"},
        {RequestKind::VersionAck, 0, {Ack}, false, true, true, Request::Verdict, ackLabel},
    };
    for (unsigned block = 0; block < BlockCount; ++block) {
        requests.push_back({RequestKind::Block,
                            block,
                            {'R', 0x00, static_cast<std::uint8_t>(block)},
                            true,
                            true,
                            true,
                            Request::Nothing,
                            Formatted("send [x52] [x00] [x%02X] ", block)});
        requests.push_back({RequestKind::BlockAck, block, {Ack}, false, false, false, Request::Nothing, ackLabel});
    }
    requests.push_back({RequestKind::End, 0, {'E'}, false, true, false, Request::Verdict, "send [x45]"});
    return requests;
}

} // namespace

const std::vector<Request> &Requests()
{
    static const std::vector<Request> requests = BuildRequests();
    return requests;
}

std::vector<ScheduledWrite> Schedule()
{
    std::vector<ScheduledWrite> writes;
    std::uint64_t at = 0;
    for (const Request &request : Requests()) {
        if (request.paced) {
            for (std::size_t i = 0; i < request.bytes.size(); ++i) {
                writes.push_back({at, {request.bytes[i]}});
                at += i + 1 < request.bytes.size() ? PacedByteGapMs : RequestGapMs;
            }
        } else {
            writes.push_back({at, request.bytes});
            at += RequestGapMs;
        }
    }
    return writes;
}

std::vector<std::uint64_t> NominalByteGapsMs()
{
    std::vector<std::uint64_t> gaps;
    std::uint64_t previous = 0;
    bool first = true;
    for (const ScheduledWrite &write : Schedule()) {
        for (std::size_t i = 0; i < write.bytes.size(); ++i) {
            if (!first) {
                gaps.push_back(i == 0 ? write.atMs - previous : 0);
            }
            first = false;
        }
        previous = write.atMs;
    }
    return gaps;
}

const char *KindName(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Handshake:
        return "handshake";
    case RequestKind::Identify:
        return "identify";
    case RequestKind::IdentifyAck:
        return "identify-ack";
    case RequestKind::Version:
        return "version";
    case RequestKind::VersionAck:
        return "version-ack";
    case RequestKind::Block:
        return "block";
    case RequestKind::BlockAck:
        return "block-ack";
    case RequestKind::End:
        return "end";
    }
    return "?";
}

std::string Describe(const Request &request)
{
    switch (request.kind) {
    case RequestKind::Handshake:
        return "handshake";
    case RequestKind::Identify:
        return "identification request";
    case RequestKind::IdentifyAck:
        return "acknowledgement of the identification";
    case RequestKind::Version:
        return "version request";
    case RequestKind::VersionAck:
        return "acknowledgement of the version";
    case RequestKind::Block:
        return Formatted("block 0x%02X request", request.block);
    case RequestKind::BlockAck:
        return Formatted("acknowledgement of block 0x%02X", request.block);
    case RequestKind::End:
        return "end request";
    }
    return "?";
}

std::string BlockName(unsigned block)
{
    return Formatted("block 0x%02X", block) + Formatted(" (%u)", block);
}

std::string StageOf(const Request &request)
{
    switch (request.kind) {
    case RequestKind::Handshake:
        return "the handshake";
    case RequestKind::Identify:
    case RequestKind::IdentifyAck:
        return "the identification request";
    case RequestKind::Version:
        return "the version request";
    case RequestKind::VersionAck:
        return "the version acknowledgement";
    case RequestKind::Block:
    case RequestKind::BlockAck:
        return BlockName(request.block);
    case RequestKind::End:
        return "the end request";
    }
    return "?";
}

std::vector<const Bytes *> CollectionsByRequest(const std::vector<Bytes> &collections)
{
    const std::vector<Request> &requests = Requests();
    std::vector<const Bytes *> byRequest(requests.size(), nullptr);
    std::size_t next = 0;
    for (std::size_t i = 0; i < requests.size() && next < collections.size(); ++i) {
        if (requests[i].collected) {
            byRequest[i] = &collections[next++];
        }
    }
    return byRequest;
}

std::size_t CollectionIndex(RequestKind kind)
{
    std::size_t index = 0;
    for (const Request &request : Requests()) {
        if (request.kind == kind) {
            break;
        }
        index += request.collected ? 1 : 0;
    }
    return index;
}

std::vector<const Bytes *> BlockCollections(const std::vector<Bytes> &collections)
{
    std::vector<const Bytes *> blocks;
    for (unsigned block = 0; block < BlockCount && BlockCollectionIndex(block) < collections.size(); ++block) {
        blocks.push_back(&collections[BlockCollectionIndex(block)]);
    }
    return blocks;
}

std::vector<Bytes> CollectionsOf(const std::vector<Bytes> &answers)
{
    std::vector<Bytes> collections;
    Bytes pending;
    for (std::size_t i = 0; i < answers.size() && i < Requests().size(); ++i) {
        pending.insert(pending.end(), answers[i].begin(), answers[i].end());
        if (Requests()[i].collected) {
            collections.push_back(pending);
            pending.clear();
        }
    }
    return collections;
}

std::string CapturedText(const Bytes &reply)
{
    std::string captured;
    for (std::uint8_t byte : reply) {
        if (byte < 0x20 || byte > 0x7F || captured.size() == MaxTextLength) {
            break;
        }
        captured += static_cast<char>(byte);
    }
    return captured;
}

const char *VerdictLine(const Bytes &collection)
{
    return !collection.empty() && collection[0] == Ack ? AcknowledgedLine : NoAnswerLine;
}

std::string ErrorCodeText(long long code)
{
    switch (code) {
    case 2:
        return "(The system cannot find the file specified)";
    case 5:
        return "(Access is denied)";
    case 29:
        return "(The system cannot write to the specified device)";
    case 87:
        return "(The parameter is incorrect)";
    case 998:
        return "(Invalid access to memory location)";
    default:
        return std::string();
    }
}

} // namespace trace
