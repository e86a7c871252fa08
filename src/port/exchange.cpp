#include "port/exchange.h"

#include "output/trace.h"
#include "port/port_io.h"
#include "port/wait.h"

unsigned char ReceiveBuffer[ReceiveBufferSize];
std::uint32_t ReplyCount = 0;
char ReplyText[ReplyTextLength + 1];

namespace {

constexpr unsigned char Ack = 0x06;
static_assert(ReceiveBufferSize <= LargestCollectionSize, "the trace queue holds a full collection's dump");

} // namespace

void SendPaced(const unsigned char *bytes, const char *const *labels, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        Trace("%s", labels[i]);
        WritePortBytes(&bytes[i], 1);
        WaitMs(i + 1 < count ? ByteGapMs : RequestGapMs);
    }
}

void SendCommand(const char *label, const unsigned char *bytes, std::size_t count)
{
    Trace("%s", label);
    WritePortBytes(bytes, count);
    WaitMs(RequestGapMs);
}

void CollectReply(bool showCount)
{
    FinishPendingWrite();
    DWORD errors = 0;
    COMSTAT status = {};
    std::uint32_t waiting = 0;
    if (ClearCommError(PortHandle, &errors, &status)) {
        waiting = status.cbInQue < ReceiveBufferSize ? status.cbInQue : ReceiveBufferSize;
    }
    ReplyCount = waiting > 0 ? ReadWaitingBytes(ReceiveBuffer, waiting) : 0;
    if (showCount) {
        Trace("%d\n", static_cast<int>(ReplyCount));
    }
}

void DumpReply()
{
    for (std::uint32_t i = 0; i < ReplyCount; ++i) {
        if (ReceiveBuffer[i] <= 0x0F) {
            Trace("[0%X] ", ReceiveBuffer[i]);
        } else {
            Trace("[%X] ", ReceiveBuffer[i]);
        }
    }
    Trace("\n");
    // A redirected trace reaches its file at the end of each collection's
    // dump at the latest, so that a run cut short leaves it complete so far.
    PushTrace();
}

void ReportAck()
{
    if (ReplyCount > 0 && ReceiveBuffer[0] == Ack) {
        Trace("GET OK! \n");
    } else {
        Trace("no answer \n");
    }
}

void CaptureText()
{
    std::size_t length = 0;
    while (length < ReplyCount && length < ReplyTextLength && ReceiveBuffer[length] >= 0x20 &&
           ReceiveBuffer[length] <= 0x7F) {
        ReplyText[length] = static_cast<char>(ReceiveBuffer[length]);
        ++length;
    }
    ReplyText[length] = '\0';
    Trace("%s\n", ReplyText);
}
