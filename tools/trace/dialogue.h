// The one dialogue comtrace holds with the device, as the test side and the
// companions know it: the requests in order, which of them the program
// collects after, what it shows after each collection, the labels and the
// bring-up and release lines of its trace, the limits, and the schedule the
// program keeps while it sends.
//
// The program's own code does not use this: it is what the tests hold the
// program to, and the reviewed golden trace holds this to the program.
#ifndef COMTRACE_TRACE_DIALOGUE_H
#define COMTRACE_TRACE_DIALOGUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trace {

using Bytes = std::vector<std::uint8_t>;

// Blocks the dialogue reads, one request each.
constexpr std::size_t BlockCount = 128;
// Requests the program sends, and their bytes over the whole dialogue
// (8 + 2 + 1 + 1 + 1 + 128 * 4 + 1).
constexpr std::size_t RequestCount = 5 + 2 * BlockCount + 1;
constexpr std::size_t DialogueLength = 13 + 4 * BlockCount + 1;
// Collections the program makes: after every request but the
// acknowledgements of the identification and of the blocks.
constexpr std::size_t CollectionCount = 4 + BlockCount + 1;
// The most one collection takes: the program's receive buffer.
constexpr std::size_t ReceiveBufferSize = 4096;
// The most characters of a text reply the program shows.
constexpr std::size_t MaxTextLength = 20;

// Where block k's request stands in Requests(), and where its collection
// stands in the collections of a run: after the handshake, identification,
// its acknowledgement, version and its acknowledgement, and after the first
// four collections. The end request's collection is the last.
constexpr std::size_t BlockRequestIndex(std::size_t block)
{
    return 5 + 2 * block;
}
constexpr std::size_t BlockCollectionIndex(std::size_t block)
{
    return 4 + block;
}
constexpr std::size_t EndCollectionIndex = CollectionCount - 1;

// The schedule. The program settles for SettleMs after the bring-up, then
// sends a paced request one byte at a time PacedByteGapMs apart, any other
// request in one write, and waits RequestGapMs after every request.
constexpr std::uint64_t SettleMs = 1000;
constexpr std::uint64_t PacedByteGapMs = 50;
constexpr std::uint64_t RequestGapMs = 500;
// The spans that follow from it: the handshake (eight paced bytes), one
// block with its acknowledgement, the whole dialogue from the first byte to
// the end of the last wait, from the first byte to the end request, and the
// run from the end of the bring-up to the release.
constexpr std::uint64_t HandshakeSpanMs = 7 * PacedByteGapMs + RequestGapMs;
constexpr std::uint64_t BlockSpanMs = 2 * PacedByteGapMs + 2 * RequestGapMs;
constexpr std::uint64_t DialogueSpanMs = HandshakeSpanMs + 4 * RequestGapMs + BlockCount * BlockSpanMs + RequestGapMs;
constexpr std::uint64_t FirstByteToEndRequestMs = DialogueSpanMs - RequestGapMs;
constexpr std::uint64_t RunSpanMs = SettleMs + DialogueSpanMs;

constexpr std::uint8_t Ack = 0x06;

enum class RequestKind { Handshake, Identify, IdentifyAck, Version, VersionAck, Block, BlockAck, End };

struct Request {
    RequestKind kind;
    unsigned block;                              // for Block and BlockAck, else 0
    Bytes bytes;                                 // as the program sends them
    bool paced;                                  // sent byte by byte, PacedByteGapMs apart
    bool collected;                              // the program collects right after it
    bool countShown;                             // the trace shows the collection's byte count
    enum Shows { Nothing, Verdict, Text } shows; // shown after the collection's dump
    std::string label;                           // the trace line that announces it
};

// The dialogue's RequestCount requests, in order.
const std::vector<Request> &Requests();

// One write of the program: when it starts, from the first byte of the
// dialogue, and its bytes.
struct ScheduledWrite {
    std::uint64_t atMs;
    Bytes bytes;
    bool operator==(const ScheduledWrite &other) const { return atMs == other.atMs && bytes == other.bytes; }
};

// Every write of the dialogue on its nominal schedule, the first at 0.
std::vector<ScheduledWrite> Schedule();

// The nominal gap before each byte the program sends but the first: 0
// inside one write, PacedByteGapMs between the bytes of a paced request,
// RequestGapMs between requests. DialogueLength - 1 gaps.
std::vector<std::uint64_t> NominalByteGapsMs();

// The kind as one word for machine-readable output: "handshake",
// "identify", "identify-ack", "version", "version-ack", "block",
// "block-ack", "end".
const char *KindName(RequestKind kind);

// The request as messages name it: "handshake", "identification request",
// "acknowledgement of block 0x1A", ...
std::string Describe(const Request &request);

// A block as messages name it: "block 0x25 (37)", as the trace labels it
// and in decimal.
std::string BlockName(unsigned block);

// The stage of the dialogue a request belongs to, as a message names where
// a trace ends: "the handshake", "the identification request", "the version
// request", "the version acknowledgement", "block 0x25 (37)" (its request
// and its acknowledgement), "the end request".
std::string StageOf(const Request &request);

// The collection after each request, or null for a request collected
// without (or, in a trace cut short, not yet) a collection; collections in
// dialogue order, at most CollectionCount.
std::vector<const Bytes *> CollectionsByRequest(const std::vector<Bytes> &collections);

// The index in a dialogue's collections of the one after the first request
// of a kind (a block's: BlockCollectionIndex).
std::size_t CollectionIndex(RequestKind kind);

// The collection after each block request that collections holds (all of
// them but in a trace cut short), in block order.
std::vector<const Bytes *> BlockCollections(const std::vector<Bytes> &collections);

// What each collection takes when every answer (one per request, in order)
// has arrived before the next collection: all that was answered since the
// previous collection. Answers past the last collected request are dropped.
std::vector<Bytes> CollectionsOf(const std::vector<Bytes> &answers);

// The text the program captures from a reply: its leading run of bytes
// 0x20..0x7F, at most MaxTextLength of them.
std::string CapturedText(const Bytes &reply);

// The verdict line (without its line end) on a collection: acknowledged
// when it starts with ACK.
const char *VerdictLine(const Bytes &collection);
extern const char AcknowledgedLine[]; // "GET OK! "
extern const char NoAnswerLine[];     // "no answer "

// The bring-up: one line per step, the success or the failure form; a
// failed clear-break step is followed by the error-code line.
struct BringUpStep {
    const char *success;
    const char *failure;
};
constexpr std::size_t BringUpStepCount = 6;
extern const BringUpStep BringUpSteps[BringUpStepCount];
constexpr std::size_t OpenStep = 0;
constexpr std::size_t ClearBreakStep = 2;
// The error-code line: this prefix, the code as %i, a space and the code's
// text (ErrorCodeText).
extern const char ErrorCodePrefix[];
// The text the program prints after an error code, empty for codes it has
// no text for.
std::string ErrorCodeText(long long code);

// The line ends of a trace: the Linux build's and the Windows build's.
enum class LineEnd { Lf, CrLf };

// The release line, port closed or not.
extern const char ReleasedLine[];
extern const char ReleaseFailedLine[];

} // namespace trace

#endif
