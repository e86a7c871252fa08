#include "dialogue/dialogue.h"

#include <cstdio>

#include "output/trace.h"
#include "port/exchange.h"

namespace {

constexpr unsigned char Stx = 0x02;
constexpr unsigned char Ack = 0x06;
constexpr unsigned char BlockCount = 0x80;
constexpr std::size_t BlockLabelSize = 8;
// The handshake, STX, P and acknowledgement collections, one per block and
// the last: the trace's queue is sized for as many.
static_assert(BlockCount + 5 == TracedCollectionCount, "the trace queue holds every collection");

const unsigned char Handshake[] = {Stx, 'P', 'R', 'O', 'G', 'R', 'A', 'M'};
const char *const HandshakeLabels[] = {"send [x02] ", "[x50] ", "[x52] ", "[x4F] ",
                                       "[x47] ",      "[x52] ", "[x41] ", "[x4D]\n"};
// The identification request is STX followed by a zero byte.
const unsigned char StxRequest[] = {Stx, 0x00};
const unsigned char AckByte[] = {Ack};
const unsigned char VersionRequest[] = {'P'};
const unsigned char EndRequest[] = {'E'};

void Acknowledge()
{
    SendCommand("send [x06]\n", AckByte, sizeof AckByte);
}

void ReadBlock(unsigned char block)
{
    char blockLabel[BlockLabelSize];
    if (block <= 0x0F) {
        (void)std::snprintf(blockLabel, sizeof blockLabel, "[x0%X] ", block);
    } else {
        (void)std::snprintf(blockLabel, sizeof blockLabel, "[x%X] ", block);
    }
    const unsigned char request[] = {'R', 0x00, block};
    const char *const labels[] = {"send [x52] ", "[x00] ", blockLabel};
    SendPaced(request, labels, sizeof request);
    Trace("\n");
    CollectReply(true);
    DumpReply();
    // The answer to this acknowledgement, if any, is taken by the next collection.
    Acknowledge();
}

} // namespace

void RunDialogue()
{
    SendPaced(Handshake, HandshakeLabels, sizeof Handshake);
    CollectReply(true);
    DumpReply();
    ReportAck();

    SendCommand("send [ x02]\n", StxRequest, sizeof StxRequest);
    CollectReply(true);
    DumpReply();
    CaptureText();

    // Its answer, if any, arrives with the version text.
    Acknowledge();

    SendCommand("send [x50]\n", VersionRequest, sizeof VersionRequest);
    CollectReply(true);
    DumpReply();
    CaptureText();

    Acknowledge();
    CollectReply(true);
    DumpReply();
    ReportAck();

    for (unsigned block = 0; block < BlockCount; ++block) {
        ReadBlock(static_cast<unsigned char>(block));
    }

    SendCommand("send [x45]\n", EndRequest, sizeof EndRequest);
    CollectReply(false);
    DumpReply();
    ReportAck();
}
