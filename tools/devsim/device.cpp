#include "device.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "trace/reader.h"

namespace devsim {

namespace {

using trace::RequestKind;

// Bytes that terminal line disciplines and flow control like to eat or
// rewrite. They open block 0 so that the first block read already tells
// whether the program's port passes every byte through untouched.
constexpr std::uint8_t AwkwardBytes[] = {
    0x00, 0xFF, 0x06, 0x11, 0x13, 0x0A, 0x0D, 0x03, 0x04, 0x08,
    0x0F, 0x12, 0x15, 0x16, 0x17, 0x1A, 0x1C, 0x7F, 0x80, 0x8D,
};
static_assert(sizeof AwkwardBytes <= BlockSize, "awkward bytes must fit in block 0");

const char ShortIdentification[] = "DEVSIM MEMORY UNIT-2";
const char LongIdentification[] = "DEVSIM MEMORY UNIT-2 WITH A LONGER NAME!";
const char Version[] = "FW 3.10 build 42";

std::string FormatByte(std::uint8_t byte)
{
    return FormatHex(Bytes{byte});
}

Bytes TextReply(const std::string &text)
{
    Bytes reply(text.begin(), text.end());
    reply.push_back(TextEnd);
    return reply;
}

std::vector<ReplyChunk> AtOnce(Bytes bytes)
{
    std::vector<ReplyChunk> reply;
    reply.push_back(ReplyChunk{0, std::move(bytes)});
    return reply;
}

Bytes BlockReplyFrom(const Bytes &image, const DeviceOptions &options, unsigned block)
{
    std::size_t length = BlockSize;
    if (block == 0 && options.bigReply) {
        length = *options.bigReply;
    }

    Bytes reply(length);
    const std::size_t start = std::size_t{block} * BlockSize;
    for (std::size_t i = 0; i < length; ++i) {
        reply[i] = image[(start + i) % ImageSize];
    }
    return reply;
}

std::vector<ReplyChunk> BlockChunks(const Bytes &image, const DeviceOptions &options, unsigned block)
{
    Bytes whole = BlockReplyFrom(image, options, block);
    if (!options.splitDelayMs) {
        return AtOnce(std::move(whole));
    }

    std::vector<ReplyChunk> reply;
    const auto half = static_cast<std::ptrdiff_t>(whole.size() / 2);
    if (half > 0) {
        reply.push_back(ReplyChunk{0, Bytes(whole.begin(), whole.begin() + half)});
    }
    reply.push_back(ReplyChunk{*options.splitDelayMs, Bytes(whole.begin() + half, whole.end())});
    return reply;
}

// A replayed device answers with the recording's bytes alone; a setting that
// changes replies would make it something the recording never was.
std::string CheckReplay(const DeviceOptions &options)
{
    if (options.silent || options.answerAcks || options.longText || options.bigReply || options.splitDelayMs ||
        !options.image.empty()) {
        return "a replayed trace fixes every reply; no other reply setting can be combined with it";
    }
    if (options.replay->size() != CollectionCount) {
        return "a replayed trace must hold " + std::to_string(CollectionCount) + " collections, not " +
               std::to_string(options.replay->size());
    }
    return std::string();
}

// Gives each collected request the bytes its collection took in the
// recording; the blind acknowledgements get nothing, since whatever the
// recorded device sent after them was taken by the next collection.
void ReplayCollections(const std::vector<Bytes> &collections, std::vector<Exchange> &dialogue)
{
    std::size_t next = 0;
    for (std::size_t i = 0; i < dialogue.size(); ++i) {
        dialogue[i].reply.clear();
        if (trace::Requests()[i].collected) {
            if (!collections[next].empty()) {
                dialogue[i].reply = AtOnce(collections[next]);
            }
            ++next;
        }
    }
}

// The device's answer to a request, whatever the timing.
std::vector<ReplyChunk> Answer(const trace::Request &request, const Bytes &image, const DeviceOptions &options)
{
    std::vector<ReplyChunk> ack = AtOnce(Bytes{Ack});
    switch (request.kind) {
    case RequestKind::Handshake:
    case RequestKind::VersionAck:
    case RequestKind::End:
        return ack;
    case RequestKind::Identify:
        return AtOnce(TextReply(IdentificationText(options.longText)));
    case RequestKind::Version:
        return AtOnce(TextReply(VersionText()));
    case RequestKind::Block:
        return BlockChunks(image, options, request.block);
    case RequestKind::IdentifyAck:
    case RequestKind::BlockAck:
        break;
    }
    return options.answerAcks ? ack : std::vector<ReplyChunk>();
}

} // namespace

std::string FormatHex(const Bytes &bytes)
{
    std::string text;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        (void)std::snprintf(digits, sizeof digits, "%02X", byte); // "FF" and its NUL always fit
        if (!text.empty()) {
            text += ' ';
        }
        text += digits;
    }
    return text;
}

std::string CheckDeviceOptions(const DeviceOptions &options)
{
    if (!options.image.empty() && options.image.size() != ImageSize) {
        return "the memory image holds " + std::to_string(options.image.size()) + " bytes; it must hold exactly " +
               std::to_string(ImageSize) + " (" + std::to_string(BlockCount) + " blocks of " +
               std::to_string(BlockSize) + ")";
    }
    if (options.bigReply && (*options.bigReply == 0 || *options.bigReply > MaxBigReply)) {
        return "the reply to block 0 must be 1 to " + std::to_string(MaxBigReply) + " bytes long";
    }
    if (options.splitDelayMs && *options.splitDelayMs > MaxSplitDelayMs) {
        return "the split delay must be at most " + std::to_string(MaxSplitDelayMs) + " ms";
    }
    if (options.replay) {
        return CheckReplay(options);
    }
    return std::string();
}

Bytes BuiltInImage()
{
    Bytes image(ImageSize);
    // 37 is odd, so every run of 256 consecutive bytes holds each value once.
    for (std::size_t i = 0; i < ImageSize; ++i) {
        image[i] = static_cast<std::uint8_t>(37 * i + 11);
    }
    for (std::size_t i = 0; i < sizeof AwkwardBytes; ++i) {
        image[i] = AwkwardBytes[i];
    }
    return image;
}

std::string IdentificationText(bool longText)
{
    return longText ? LongIdentification : ShortIdentification;
}

std::string VersionText()
{
    return Version;
}

Bytes BlockReply(const DeviceOptions &options, unsigned block)
{
    return BlockReplyFrom(options.image.empty() ? BuiltInImage() : options.image, options, block);
}

std::vector<Exchange> BuildDialogue(const DeviceOptions &options)
{
    const Bytes image = options.image.empty() ? BuiltInImage() : options.image;
    std::vector<Exchange> dialogue;
    dialogue.reserve(trace::RequestCount);
    for (const trace::Request &request : trace::Requests()) {
        Exchange exchange;
        exchange.request = request.kind;
        exchange.block = request.block;
        exchange.sent = request.bytes;
        exchange.reply = Answer(request, image, options);
        dialogue.push_back(std::move(exchange));
    }

    if (options.silent) {
        for (Exchange &exchange : dialogue) {
            exchange.reply.clear();
        }
    }
    if (options.replay) {
        ReplayCollections(*options.replay, dialogue);
    }
    return dialogue;
}

Bytes JoinReply(const std::vector<ReplyChunk> &reply)
{
    Bytes joined;
    for (const ReplyChunk &chunk : reply) {
        joined.insert(joined.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    return joined;
}

std::vector<Bytes> JoinedReplies(const DeviceOptions &options)
{
    const std::vector<Exchange> dialogue = BuildDialogue(options);
    std::vector<Bytes> replies(dialogue.size());
    std::transform(dialogue.begin(), dialogue.end(), replies.begin(),
                   [](const Exchange &exchange) { return JoinReply(exchange.reply); });
    return replies;
}

std::string DescribeExchange(const Exchange &exchange)
{
    trace::Request request{};
    request.kind = exchange.request;
    request.block = exchange.block;
    return trace::Describe(request) + " (" + FormatHex(exchange.sent) + ")";
}

std::string LoadReplay(const std::string &path, std::vector<Bytes> &collections)
{
    std::string text;
    std::string problem = trace::ReadTraceFile(path, text);
    if (!problem.empty()) {
        return problem;
    }
    trace::ParsedTrace parsed;
    problem = trace::ParseTrace(text, parsed);
    if (problem.empty() && parsed.port == trace::PortState::NotOpened) {
        problem = "line 1: expected \"" + std::string(trace::BringUpSteps[trace::OpenStep].success) + "\", found \"" +
                  trace::BringUpSteps[trace::OpenStep].failure +
                  "\": the recorded run had no port, so there is no device to replay (devsim --absent plays such "
                  "a run)";
    }
    if (!problem.empty()) {
        return "cannot replay the trace " + path + ": " + problem;
    }
    collections = std::move(parsed.collections);
    return std::string();
}

Device::Device(const DeviceOptions &options)
{
    const std::string problem = CheckDeviceOptions(options);
    if (!problem.empty()) {
        throw std::invalid_argument(problem);
    }
    dialogue_ = BuildDialogue(options);
}

Device::Reaction Device::Receive(std::uint8_t byte)
{
    Reaction reaction;
    ++received_;
    if (HasDeviated()) {
        return reaction;
    }

    const std::string where = "received byte " + std::to_string(received_) + " was " + FormatByte(byte);
    if (IsComplete()) {
        deviation_ = where + " after the end request had completed the dialogue";
        reaction.deviation = deviation_;
        return reaction;
    }

    const Exchange &exchange = dialogue_[exchange_];
    const std::uint8_t expected = exchange.sent[offset_];
    if (byte != expected) {
        deviation_ = where + ", expected " + FormatByte(expected) + " (byte " + std::to_string(offset_ + 1) + " of " +
                     std::to_string(exchange.sent.size()) + " of the " + DescribeExchange(exchange) + ")";
        reaction.deviation = deviation_;
        return reaction;
    }

    if (++offset_ < exchange.sent.size()) {
        return reaction;
    }
    offset_ = 0;
    ++exchange_;
    reaction.completed = &exchange;
    reaction.reply = exchange.reply;
    return reaction;
}

std::string Device::DescribeUnfinished() const
{
    if (!HasStarted() || IsComplete() || HasDeviated()) {
        return std::string();
    }
    const Exchange &exchange = dialogue_[exchange_];
    return "the dialogue stopped after " + std::to_string(received_) + " of " + std::to_string(DialogueLength) +
           " bytes, at byte " + std::to_string(offset_ + 1) + " of the " + DescribeExchange(exchange);
}

} // namespace devsim
