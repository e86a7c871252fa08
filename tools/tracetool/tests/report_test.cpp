// tracetool's commands on traces of the simulated device's sessions: the
// device model gives the replies, the trace writer the text comtrace would
// print, the reader parses it back, and each command must give back the
// model's data, whatever the line ends and the encoding.
#include <algorithm>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "devsim/device.h"
#include "report.h"
#include "trace/reader.h"
#include "trace/writer.h"

namespace tracetool {
namespace {

using trace::Bytes;

// What each collection takes in a session with this device, when every
// answer has arrived before the program collects: all answered since the
// previous collection, at most one receive buffer, the rest left for the
// next collection.
std::vector<Bytes> CollectionsFrom(const devsim::DeviceOptions &options)
{
    const std::vector<Bytes> answers = devsim::JoinedReplies(options);
    std::vector<Bytes> collections;
    Bytes pending;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        pending.insert(pending.end(), answers[i].begin(), answers[i].end());
        if (trace::Requests()[i].collected) {
            const std::size_t taken = std::min(pending.size(), trace::ReceiveBufferSize);
            collections.emplace_back(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
        }
    }
    return collections;
}

trace::ParsedTrace Parsed(const std::string &text)
{
    trace::ParsedTrace parsed;
    const std::string problem = trace::ParseTrace(text, parsed);
    EXPECT_EQ(problem, "");
    return parsed;
}

trace::ParsedTrace ParsedSession(const std::vector<Bytes> &collections, bool opened = true)
{
    return Parsed(trace::WholeTrace(collections, opened));
}

Bytes AsBytes(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

// The blocks from..to-1 of a memory image, joined.
Bytes ImageBlocks(const Bytes &image, std::size_t from, std::size_t to)
{
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(from * devsim::BlockSize),
                 image.begin() + static_cast<std::ptrdiff_t>(to * devsim::BlockSize));
}

std::size_t Occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

// The block numbers named as "block 0xNN (N):" in messages.
std::set<unsigned> NamedBlocks(const std::string &messages)
{
    std::set<unsigned> blocks;
    const std::regex named("block 0x[0-9A-F]{2} \\(([0-9]+)\\):");
    for (std::sregex_iterator it(messages.begin(), messages.end(), named), end; it != end; ++it) {
        blocks.insert(static_cast<unsigned>(std::stoul((*it)[1])));
    }
    return blocks;
}

std::set<unsigned> Range(unsigned from, unsigned to)
{
    std::set<unsigned> numbers;
    for (unsigned n = from; n < to; ++n) {
        numbers.insert(n);
    }
    return numbers;
}

// The bytes of every "received" field of json's output, joined in order.
Bytes ReceivedInJson(const std::string &json)
{
    Bytes bytes;
    const std::regex received("\"received\":\"([0-9a-f]*)\"");
    for (std::sregex_iterator it(json.begin(), json.end(), received), end; it != end; ++it) {
        const std::string hex = (*it)[1];
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
    }
    return bytes;
}

Bytes Joined(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

devsim::DeviceOptions Chatty()
{
    devsim::DeviceOptions options;
    options.answerAcks = true;
    return options;
}

TEST(TracetoolRoundTrip, EachDeviceGivesBackItsDataAndItsCheckStatus)
{
    const Bytes image = devsim::BuiltInImage();
    devsim::DeviceOptions silent;
    silent.silent = true;
    devsim::DeviceOptions longText;
    longText.longText = true;
    devsim::DeviceOptions bigReply;
    bigReply.bigReply = 5000;
    Bytes bigBlocks;
    for (unsigned block = 0; block < trace::BlockCount; ++block) {
        const Bytes reply = devsim::BlockReply(bigReply, block);
        bigBlocks.insert(bigBlocks.end(), reply.begin(), reply.end());
    }
    const std::string identification = devsim::IdentificationText(false);
    const std::string version = devsim::VersionText();

    struct Case {
        const char *device;
        devsim::DeviceOptions options;
        std::optional<unsigned> vanishAfter; // the device answers nothing after this block
        bool opened;
        int checkStatus;
        std::vector<std::string> checkLines; // among check's lines
        std::optional<std::size_t> size;     // for blocks
        Bytes blocks;                        // what blocks writes
    };
    const Case cases[] = {
        {"talking",
         {},
         {},
         true,
         ExitOk,
         {"identification: \"" + identification + "\" (21 bytes)", "version: \"" + version + "\" (17 bytes)",
          "blocks: 128 of 128 regular, 32 bytes each",
          "verdict: passed: every stage got the answer the dialogue expects"},
         {},
         image},
        {"silent",
         silent,
         {},
         true,
         ExitDeviation,
         {"handshake: no answer", "blocks: 128 of 128 irregular; none answered",
          "  blocks 0x00-0x7F (0-127): no answer",
          "verdict: failed: the device missed or deviated at handshake, identification, version, version "
          "acknowledgement, blocks, end"},
         {},
         {}},
        // The answer to the identification's acknowledgement comes before
        // the version text, that to each block's before the next block and
        // before the end's answer: none is taken as a stage's own.
        {"chatty",
         Chatty(),
         {},
         true,
         ExitOk,
         {"version: \"" + version + "\" (17 bytes; 06 before it answers the identification's acknowledgement)",
          "blocks: 128 of 128 regular, 32 bytes each, after 06 answering the previous block's acknowledgement",
          "end: acknowledged (1 byte; 06 before it answers block 0x7F (127)'s acknowledgement)"},
         32,
         image},
        {"long text",
         longText,
         {},
         true,
         ExitOk,
         {"identification: \"" + devsim::IdentificationText(true).substr(0, trace::MaxTextLength) + "\" (41 bytes)"},
         {},
         image},
        // Block 0's reply fills the receive buffer; the rest comes with
        // block 1.
        {"big reply",
         bigReply,
         {},
         true,
         ExitDeviation,
         {"blocks: 2 of 128 irregular; 32 bytes each",
          "  block 0x00 (0): 4096 bytes, not 32; the rest of its reply spills into block 0x01 (1)'s collection",
          "  block 0x01 (1): 936 bytes, not 32: its first 904 bytes are the rest of block 0x00 (0)'s reply, spilled "
          "into this collection"},
         {},
         bigBlocks},
        {"vanishing after block 32",
         {},
         32,
         true,
         ExitDeviation,
         {"blocks: 95 of 128 irregular; 32 bytes each", "  blocks 0x21-0x7F (33-127): no answer", "end: no answer",
          "verdict: failed: the device missed or deviated at blocks, end"},
         {},
         ImageBlocks(image, 0, 33)},
        {"absent", {}, {}, false, ExitNoPort, {"port: not opened", "verdict: failed: the port never opened"}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        std::vector<Bytes> collections = CollectionsFrom(c.options);
        if (c.vanishAfter) {
            std::fill(collections.begin() +
                          static_cast<std::ptrdiff_t>(trace::BlockCollectionIndex(*c.vanishAfter + 1)),
                      collections.end(), Bytes());
        }
        if (!c.opened) {
            collections.assign(trace::CollectionCount, Bytes());
        }
        const trace::ParsedTrace parsed = ParsedSession(collections, c.opened);

        const Result check = Check(parsed);
        EXPECT_EQ(check.status, c.checkStatus) << check.output;
        for (const std::string &line : c.checkLines) {
            EXPECT_NE(check.output.find(line + "\n"), std::string::npos) << "no line \"" << line << "\" in\n"
                                                                         << check.output;
        }
        const Result blocks = BlockData(parsed, {c.size, false});
        EXPECT_EQ(blocks.status, ExitOk) << blocks.messages;
        EXPECT_TRUE(AsBytes(blocks.output) == c.blocks)
            << "blocks wrote " << blocks.output.size() << " bytes, not " << c.blocks.size() << " (or other bytes)";
        // Nothing the device sent is missing from json or out of order.
        EXPECT_TRUE(ReceivedInJson(Json(parsed).output) == Joined(collections));
    }
}

// The reviewed golden trace, edited as a device that deviates would have
// it: check fails each edit, naming what is wrong, and no stage is given
// an answer that another request got.
TEST(TracetoolCheck, FailsEditedGoldenTracesNamingWhatIsWrong)
{
    trace::ParsedTrace golden;
    ASSERT_EQ(trace::LoadTrace(GOLDEN_TRACE, golden), "");
    const std::string goldenText = trace::WholeTrace(golden.collections);
    const auto block = [](std::vector<Bytes> &c, unsigned n) -> Bytes & { return c[trace::BlockCollectionIndex(n)]; };
    const auto everyBlock = [&](const std::function<void(Bytes &)> &edit) {
        return [&block, edit](std::vector<Bytes> &c) {
            for (unsigned n = 0; n < trace::BlockCount; ++n) {
                edit(block(c, n));
            }
        };
    };
    const auto replaced = [&goldenText](const std::string &line, const std::string &by) {
        std::string text = goldenText;
        text.replace(text.find(line + "\n"), line.size(), by);
        return text;
    };
    struct Case {
        const char *edit;
        std::function<void(std::vector<Bytes> &)> collections; // or null
        std::string text;                                      // when collections is null
        std::optional<std::size_t> size;
        int status;
        std::string line; // among check's lines (or lines in a row)
    };
    const Case cases[] = {
        {"none", [](std::vector<Bytes> &) {}, "", {}, ExitOk, "blocks: 128 of 128 regular, 32 bytes each"},
        {"every block answered with 15 alone",
         everyBlock([](Bytes &b) { b = {0x15}; }),
         "",
         {},
         ExitDeviation,
         "  blocks 0x00-0x7F (0-127): answered with 15 (NAK) alone: the device refused the request"},
        {"every block 31 bytes, 32 required", everyBlock([](Bytes &b) { b.pop_back(); }), "", 32, ExitDeviation,
         "  blocks 0x00-0x7F (0-127): 31 bytes, fewer than the 32 of a block's data"},
        {"one block of 31 bytes",
         [&](std::vector<Bytes> &c) { block(c, 37).pop_back(); },
         "",
         {},
         ExitDeviation,
         "  block 0x25 (37): 31 bytes, fewer than the 32 of a block's data"},
        {"a stray byte before one block",
         [&](std::vector<Bytes> &c) { block(c, 37).insert(block(c, 37).begin(), 0x41); },
         "",
         {},
         ExitDeviation,
         "  block 0x25 (37): 33 bytes, not 32"},
        {"a 4096-byte reply collected as 4095 + 1 bytes",
         [&](std::vector<Bytes> &c) {
             Bytes reply(trace::ReceiveBufferSize, 0x5A);
             block(c, 37).assign(reply.begin(), reply.end() - 1);
             block(c, 38).insert(block(c, 38).begin(), reply.back());
         },
         "",
         {},
         ExitDeviation,
         "  block 0x25 (37): 4095 bytes, not 32; the rest of its reply spills into block 0x26 (38)'s collection\n"
         "  block 0x26 (38): 33 bytes, not 32: its first byte is the rest of block 0x25 (37)'s reply, spilled into "
         "this collection"},
        {"block acknowledgements answered, the end never",
         [&](std::vector<Bytes> &c) {
             for (unsigned n = 1; n < trace::BlockCount; ++n) {
                 block(c, n).insert(block(c, n).begin(), trace::Ack);
             }
             c.back() = {trace::Ack}; // block 0x7F's acknowledgement's answer, nothing after it
         },
         "",
         {},
         ExitDeviation,
         "end: no answer (06 before it answers block 0x7F (127)'s acknowledgement)"},
        {"line settings failed",
         nullptr,
         replaced(trace::BringUpSteps[4].success, trace::BringUpSteps[4].failure),
         {},
         ExitDeviation,
         "bring-up: failed: \"(-) SetCommState() failed\" (the dialogue ran at unknown line settings)"},
        {"release failed",
         nullptr,
         replaced(trace::ReleasedLine, trace::ReleaseFailedLine),
         {},
         ExitDeviation,
         "release: failed: \"(-) CloseHandle() failed\" (the port was not closed)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.edit);
        std::vector<Bytes> collections = golden.collections;
        if (c.collections) {
            c.collections(collections);
        }
        const trace::ParsedTrace parsed = Parsed(c.collections ? trace::WholeTrace(collections) : c.text);
        const Result check = Check(parsed, c.size);
        EXPECT_EQ(check.status, c.status) << check.output;
        EXPECT_NE(check.output.find(c.line + "\n"), std::string::npos) << "no line \"" << c.line << "\" in\n"
                                                                       << check.output;
    }
}

// A trace cut short is judged up to where it ends; the other commands give
// what it holds and say that it is incomplete.
TEST(TracetoolCheck, JudgesATraceCutShortUpToWhereItEnds)
{
    const std::string whole = trace::WholeTrace(CollectionsFrom({}));
    const std::string cut = whole.substr(0, whole.find("send [x52] [x00] [x25] ") + 12);
    trace::ParsedTrace parsed;
    ASSERT_EQ(trace::ParseTrace(cut, parsed, trace::Ending::MayBeCut), "");
    const Result check = Check(parsed);
    EXPECT_EQ(check.status, ExitDeviation);
    for (const char *line :
         {"blocks: 37 of 128 regular, 32 bytes each", "end: not reached",
          "incomplete: the trace ends during block 0x25 (37)", "verdict: failed: the trace is incomplete"}) {
        EXPECT_NE(check.output.find(std::string(line) + "\n"), std::string::npos) << line << " in\n" << check.output;
    }
    const Result blocks = BlockData(parsed, {32, false});
    const Result dump = Dump(parsed, {});
    const Result json = Json(parsed);
    const Bytes image = devsim::BuiltInImage();
    EXPECT_TRUE(AsBytes(blocks.output) == ImageBlocks(image, 0, 37));
    EXPECT_NE(dump.output.find("  blk  36  "), std::string::npos);
    EXPECT_EQ(dump.output.find("  blk  37  "), std::string::npos);
    EXPECT_EQ(ReceivedInJson(json.output), Joined(parsed.collections));
    for (const Result &result : {blocks, dump, json}) {
        EXPECT_EQ(result.status, ExitDeviation);
        EXPECT_EQ(result.messages, "incomplete: the trace ends during block 0x25 (37)\n");
    }
}

// Without the bring-up lines the port's state is unknown: the dialogue
// alone decides, and an empty one is a device that missed, not a port
// that never opened.
TEST(TracetoolRoundTrip, CheckJudgesATraceWithoutBringUpByItsDialogue)
{
    const std::pair<std::vector<Bytes>, int> cases[] = {
        {CollectionsFrom({}), ExitOk},
        {std::vector<Bytes>(trace::CollectionCount), ExitDeviation},
    };
    for (const auto &[collections, status] : cases) {
        const Result check = Check(Parsed(trace::DialogueText(collections)));
        EXPECT_EQ(check.status, status) << check.output;
        EXPECT_EQ(check.output.rfind("port: not shown (the trace has no bring-up lines)\n", 0), 0u) << check.output;
    }
}

// A device whose blocks begin with 06 (ACK), alone and answering each block
// acknowledgement with 06 too: --size cuts every block right. A device that
// answers some acknowledgements but not all, or vanishes, or puts bytes
// before block 0, has exactly those blocks named and nothing written.
TEST(TracetoolBlocks, SizeCutsEveryBlockOrNamesEveryIrregularOne)
{
    devsim::DeviceOptions ackFirst;
    ackFirst.image = devsim::BuiltInImage();
    for (std::size_t block = 0; block < trace::BlockCount; ++block) {
        ackFirst.image[block * devsim::BlockSize] = trace::Ack;
    }
    devsim::DeviceOptions ackFirstChatty = ackFirst;
    ackFirstChatty.answerAcks = true;
    const std::size_t firstBlock = trace::BlockCollectionIndex(0);

    struct Case {
        const char *device;
        devsim::DeviceOptions options;
        std::function<void(std::vector<Bytes> &)> alter;
        std::set<unsigned> irregular;
    };
    const Case cases[] = {
        {"blocks beginning with 06", ackFirst, nullptr, {}},
        {"blocks beginning with 06, acknowledgements answered", ackFirstChatty, nullptr, {}},
        {"acknowledgements after blocks 9 and 70 unanswered",
         ackFirstChatty,
         [&](std::vector<Bytes> &c) {
             c[firstBlock + 10].erase(c[firstBlock + 10].begin());
             c[firstBlock + 71].erase(c[firstBlock + 71].begin());
         },
         {10, 71}},
        {"acknowledgement after block 3 answered twice",
         ackFirstChatty,
         [&](std::vector<Bytes> &c) { c[firstBlock + 4].insert(c[firstBlock + 4].begin(), trace::Ack); },
         {4}},
        {"version acknowledgement answered twice",
         ackFirst,
         [&](std::vector<Bytes> &c) { c[firstBlock].insert(c[firstBlock].begin(), trace::Ack); },
         {0}},
        {"vanishing after block 99", ackFirstChatty,
         [&](std::vector<Bytes> &c) { std::fill(c.begin() + firstBlock + 100, c.end(), Bytes()); }, Range(100, 128)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        std::vector<Bytes> collections = CollectionsFrom(c.options);
        if (c.alter) {
            c.alter(collections);
        }
        const trace::ParsedTrace parsed = ParsedSession(collections);
        const Result strict = BlockData(parsed, {devsim::BlockSize, false});
        const Result listed = ListBlocks(parsed, {devsim::BlockSize, false});
        EXPECT_EQ(NamedBlocks(strict.messages), c.irregular) << strict.messages;
        EXPECT_EQ(NamedBlocks(listed.messages), c.irregular) << listed.messages;
        const int status = c.irregular.empty() ? ExitOk : ExitDeviation;
        EXPECT_EQ(strict.status, status);
        EXPECT_EQ(listed.status, status);
        if (c.irregular.empty()) {
            EXPECT_TRUE(AsBytes(strict.output) == c.options.image) << "the blocks are misaligned";
        } else {
            EXPECT_EQ(strict.output, "") << "written despite irregular blocks";
        }

        // Forced, every block keeps its place: each regular block is its
        // image block, each short one the end of its collection, padded
        // with zeros that dump marks and the status owns up to.
        const Result forced = BlockData(parsed, {devsim::BlockSize, true});
        const Result forcedDump = Dump(parsed, {devsim::BlockSize, true});
        std::size_t padded = 0;
        for (unsigned block = 0; block < trace::BlockCount; ++block) {
            const std::size_t size = collections[firstBlock + block].size();
            padded += size < devsim::BlockSize ? devsim::BlockSize - size : 0;
        }
        EXPECT_EQ(forced.status, padded > 0 ? ExitDeviation : ExitOk);
        EXPECT_EQ(forcedDump.status, forced.status);
        EXPECT_EQ(Occurrences(forcedDump.output, "-- "), padded);
        ASSERT_EQ(forced.output.size(), c.options.image.size());
        for (unsigned block = 0; block < trace::BlockCount; ++block) {
            const Bytes expected = ImageBlocks(c.options.image, block, block + 1);
            const Bytes written = ImageBlocks(AsBytes(forced.output), block, block + 1);
            if (collections[firstBlock + block].size() >= devsim::BlockSize) {
                EXPECT_TRUE(written == expected) << "block " << block << " misaligned";
            }
        }
    }
}

// The same session stored as the Linux build prints it, as the Windows
// build does, and as PowerShell saves that, with and without the bring-up
// and release lines: every command gives the same output.
TEST(TracetoolInput, LineEndsAndEncodingsGiveIdenticalOutput)
{
    const std::string text = trace::WholeTrace(CollectionsFrom(Chatty()));
    const trace::ParsedTrace lf = Parsed(text);
    const trace::ParsedTrace forms[] = {
        Parsed(trace::Encoded(text, trace::LineEnd::CrLf, false)),
        Parsed(trace::Encoded(text, trace::LineEnd::Lf, true)),
        Parsed(trace::Encoded(text, trace::LineEnd::CrLf, true)),
    };
    const std::function<Result(const trace::ParsedTrace &)> commands[] = {
        [](const trace::ParsedTrace &t) { return Check(t); },
        Json,
        [](const trace::ParsedTrace &t) { return BlockData(t, {}); },
        [](const trace::ParsedTrace &t) {
            return BlockData(t, {32, false});
        },
        [](const trace::ParsedTrace &t) {
            return ListBlocks(t, {32, false});
        },
        [](const trace::ParsedTrace &t) { return Dump(t, {}); },
        [&lf](const trace::ParsedTrace &t) { return Diff(lf, t); },
    };
    for (const trace::ParsedTrace &form : forms) {
        for (std::size_t i = 0; i < std::size(commands); ++i) {
            SCOPED_TRACE("command " + std::to_string(i));
            const Result wanted = commands[i](lf);
            const Result got = commands[i](form);
            EXPECT_EQ(got.status, wanted.status);
            EXPECT_EQ(got.output, wanted.output);
            EXPECT_EQ(got.messages, wanted.messages);
        }
    }
    EXPECT_EQ(Diff(lf, forms[2]).status, ExitOk);
}

TEST(TracetoolDiff, NamesEachDifferingReplyWithItsOffsetsAndBytes)
{
    const std::vector<Bytes> talking = CollectionsFrom({});
    std::vector<Bytes> altered = talking;
    for (std::size_t i = 0; i < 20; ++i) {
        altered[trace::BlockCollectionIndex(5)][i] ^= 0x01; // block 5: 20 bytes differ
    }
    altered[trace::BlockCollectionIndex(7)].push_back(0x06); // block 7: one byte more
    altered[0] = {0x15};                                     // the handshake: NAK
    altered.back().clear();                                  // the end: no answer
    const trace::ParsedTrace a = ParsedSession(talking);
    const trace::ParsedTrace b = ParsedSession(altered);

    const Result same = Diff(a, a);
    EXPECT_EQ(same.status, ExitOk);
    const Result diff = Diff(a, b);
    EXPECT_EQ(diff.status, ExitDeviation);
    const std::string &out = diff.output;
    EXPECT_NE(out.find("handshake: A 1 byte, B 1 byte, 1 byte differs\n  offset 0: A 06, B 15\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("block 5: A 32 bytes, B 32 bytes, 20 bytes differ\n"), std::string::npos) << out;
    const Bytes &block5 = talking[trace::BlockCollectionIndex(5)];
    for (std::size_t i = 0; i < 20; ++i) {
        char line[64];
        (void)std::snprintf(line, sizeof line, "  offset %zu: A %02X, B %02X\n", i, block5[i], block5[i] ^ 0x01);
        EXPECT_EQ(out.find(line) != std::string::npos, i < 16) << "difference " << i;
    }
    EXPECT_NE(out.find("  and 4 more differences\n"), std::string::npos) << out;
    EXPECT_NE(out.find("block 7: A 32 bytes, B 33 bytes, B has 1 more byte from offset 32\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("end: A 1 byte, B 0 bytes, A has 1 more byte from offset 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("different: 4 replies differ of 133\n"), std::string::npos) << out;

    // A session whose port did not open differs in its bring-up and release
    // too; one without those lines is compared on its replies alone.
    const trace::ParsedTrace absent = ParsedSession(std::vector<Bytes>(trace::CollectionCount), false);
    const Result ports = Diff(absent, a);
    EXPECT_NE(ports.output.find("bring-up: A not opened, B opened\n"), std::string::npos) << ports.output;
    EXPECT_NE(ports.output.find("release: A failed, B released\n"), std::string::npos) << ports.output;
    const trace::ParsedTrace bare = Parsed(trace::DialogueText(talking));
    EXPECT_EQ(Diff(bare, a).status, ExitOk);
}

// Texts may hold any byte from 0x20 to 0x7F, among them the quote, the
// backslash and DEL: json must escape them to stay valid JSON.
TEST(TracetoolJson, EscapesWhatATextCanHold)
{
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {R"(say "hi")", R"("say \"hi\"")"},
        {R"(C:\dev\)", R"("C:\\dev\\")"},
        {"DEL\x7F end", R"("DEL\u007f end")"},
        {"", R"("")"},
    };
    for (const Case &c : cases) {
        std::vector<Bytes> collections = CollectionsFrom({});
        collections[1] = AsBytes(c.text + "\r");
        const std::string json = Json(ParsedSession(collections)).output;
        const std::size_t identify = json.find("\"request\":\"identify\"");
        ASSERT_NE(identify, std::string::npos);
        const std::string line = json.substr(identify, json.find('\n', identify) - identify);
        EXPECT_NE(line.find(",\"text\":" + c.json + "}"), std::string::npos) << line;
    }
}

} // namespace
} // namespace tracetool
