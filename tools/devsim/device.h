// The simulated device: the instrument at the far end of comtrace's serial
// line, reduced to a byte-in, bytes-out model with no I/O of its own.
//
// The device knows the one conversation comtrace holds with it: the
// handshake, the identification and version requests, the acknowledgements,
// 128 block reads and the end request. It checks every received byte
// against that conversation and says what it answers and when.
//
// devsim drives this model from a pty; tests link it (target devsim_device,
// include "devsim/device.h") to know which replies an option set produces,
// byte for byte, without running devsim.
#ifndef COMTRACE_DEVSIM_DEVICE_H
#define COMTRACE_DEVSIM_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trace/dialogue.h"

namespace devsim {

// The dialogue's facts, as the trace library states them.
using trace::Ack;
using trace::BlockCount;
using trace::Bytes;
using trace::CollectionCount;
using trace::DialogueLength;

constexpr std::size_t BlockSize = 32;
constexpr std::size_t ImageSize = BlockCount * BlockSize;
constexpr std::size_t MaxBigReply = 1u << 20;
constexpr unsigned MaxSplitDelayMs = 60000;

// What ends the device's text replies.
constexpr std::uint8_t TextEnd = 0x0D;

// How the device behaves. The defaults are a well-behaved device.
struct DeviceOptions {
    // Never answer anything; received bytes are still checked.
    bool silent = false;
    // Also answer with ACK the acknowledgements a plain device leaves
    // unanswered (after the identification text and after every block).
    bool answerAcks = false;
    // Identification text longer than 20 printable characters.
    bool longText = false;
    // Length of the reply to block 0; unset means the block's 32 bytes.
    // Longer replies continue through the following blocks of the image,
    // wrapping round at its end.
    std::optional<std::size_t> bigReply;
    // When set, every block reply goes out in two halves: the first at
    // once, the second (the larger one for odd lengths) this many
    // milliseconds later.
    std::optional<unsigned> splitDelayMs;
    // Memory image, ImageSize bytes, block N at offset N * BlockSize.
    // Empty means the built-in image.
    Bytes image;
    // When set, the device plays back a recorded trace: CollectionCount
    // byte strings, the bytes each collection of the recording took. Each
    // goes out at once after the request that the collection follows, so
    // the program collects it where the recording did. Every other reply
    // setting must then keep its default.
    std::optional<std::vector<Bytes>> replay;
};

// Returns an empty string when a device can be built from the options,
// else a sentence saying what is wrong with them.
std::string CheckDeviceOptions(const DeviceOptions &options);

// The built-in memory image: every byte value 0x00 to 0xFF occurs, and
// block 0 opens with the control bytes a careless serial path alters
// (NUL, 0xFF, ACK, XON, XOFF, LF, CR, the terminal's editing and signal
// characters, bytes with the top bit set).
Bytes BuiltInImage();

// The identification text, without its closing 0x0D: exactly 20
// printable characters, or 40 with longText.
std::string IdentificationText(bool longText);

// The version text, without its closing 0x0D.
std::string VersionText();

// The whole reply to the request for one block (0 to 127), whatever the
// timing: the block's 32 bytes, or bigReply bytes for block 0.
// Precondition: CheckDeviceOptions(options) is empty and block < BlockCount.
Bytes BlockReply(const DeviceOptions &options, unsigned block);

// Part of a reply: bytes sent afterMs milliseconds after the last byte of
// the request arrived.
struct ReplyChunk {
    unsigned afterMs = 0;
    Bytes bytes;
};

// One request of the dialogue (trace::Requests()) and the device's answer
// to it. The device answers the handshake, the version's acknowledgement
// and the end request with ACK, the identification and version requests
// with their text and 0x0D, each block request with the block; the other
// acknowledgements go unanswered (or get ACK with answerAcks).
struct Exchange {
    trace::RequestKind request = trace::RequestKind::Handshake;
    unsigned block = 0;            // block number for Block and BlockAck
    Bytes sent;                    // the request's bytes, as the program sends them
    std::vector<ReplyChunk> reply; // in sending order; empty when unanswered
};

// The full conversation for an option set: trace::RequestCount exchanges
// whose sent bytes add up to DialogueLength. Precondition as for BlockReply.
std::vector<Exchange> BuildDialogue(const DeviceOptions &options);

// The bytes of a reply, its chunks joined in order.
Bytes JoinReply(const std::vector<ReplyChunk> &reply);

// The whole reply to each request of the conversation, in order: what
// trace::CollectionsOf makes the collections of when no reply is late.
std::vector<Bytes> JoinedReplies(const DeviceOptions &options);

// Bytes as two-digit uppercase hex separated by spaces, e.g. "52 00 1A".
std::string FormatHex(const Bytes &bytes);

// Names an exchange for messages, e.g. "block 0x1A request (52 00 1A)".
std::string DescribeExchange(const Exchange &exchange);

// Reads the recorded trace at path ("-": standard input) for replay: fills
// collections with its CollectionCount collections and returns an empty
// string, else what is wrong (a trace whose port never opened has no device
// to replay).
[[nodiscard]] std::string LoadReplay(const std::string &path, std::vector<Bytes> &collections);

// The device during one run: fed the received bytes one at a time.
//
// On the first byte that departs from the conversation (a wrong byte, or
// any byte after the end request) the device records a deviation and goes
// quiet: it answers nothing more for the rest of the run and checks
// nothing more.
class Device {
public:
    // What receiving one byte caused.
    struct Reaction {
        // The answer, when the byte completed a request that is answered.
        std::vector<ReplyChunk> reply;
        // The exchange the byte completed, or null.
        const Exchange *completed = nullptr;
        // Set when this byte is the first deviation: what was expected,
        // what came and where.
        std::string deviation;
    };

    // Throws std::invalid_argument with CheckDeviceOptions' text when the
    // options are unusable.
    explicit Device(const DeviceOptions &options);

    Reaction Receive(std::uint8_t byte);

    bool HasStarted() const { return received_ > 0; }
    bool IsComplete() const { return exchange_ == dialogue_.size(); }
    bool HasDeviated() const { return !deviation_.empty(); }
    std::size_t ReceivedCount() const { return received_; }
    const std::string &FirstDeviation() const { return deviation_; }

    // When the conversation was begun but neither finished nor already
    // broken off by a deviation, says where it stopped; else empty.
    std::string DescribeUnfinished() const;

    const std::vector<Exchange> &Dialogue() const { return dialogue_; }

private:
    std::vector<Exchange> dialogue_;
    std::size_t exchange_ = 0; // exchange the next byte belongs to
    std::size_t offset_ = 0;   // position of the next byte inside it
    std::size_t received_ = 0;
    std::string deviation_;
};

} // namespace devsim

#endif
