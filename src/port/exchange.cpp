#include "port/exchange.h"

#include <cstring>

#include "port/bringup.h"
#include "port/trace.h"

unsigned char ReceiveBuffer[ReceiveBufferSize];
std::uint32_t ReplyCount = 0;
char ReplyText[ReplyTextLength + 1];

namespace {

constexpr unsigned char Ack = 0x06;

// One overlap record serves every read and write; it is never reused while
// an operation on it is pending. A write may still be running when its send
// returns, so its bytes live here rather than with the caller.
OVERLAPPED SharedOverlap;
unsigned char SendBuffer[SendBufferSize];
bool WritePending = false;
HANDLE PendingWritePort = INVALID_HANDLE_VALUE;

// Waits up to bound for the operation on SharedOverlap to finish, cancels it
// after that, and returns the bytes it transferred.
DWORD CompleteOperation(HANDLE port, DWORD bound)
{
    DWORD transferred = 0;
    if (GetOverlappedResultEx(port, &SharedOverlap, &transferred, bound, FALSE)) {
        return transferred;
    }
    DWORD error = GetLastError();
    if (error == WAIT_TIMEOUT || error == ERROR_IO_INCOMPLETE) {
        // A cancelled operation completes promptly; wait for that so that
        // nothing is left running into our buffers.
        (void)CancelIoEx(port, &SharedOverlap);
        transferred = 0;
        if (GetOverlappedResult(port, &SharedOverlap, &transferred, TRUE)) {
            return transferred;
        }
        error = GetLastError();
    }
    // An aborted operation keeps what it transferred before it stopped.
    return error == ERROR_OPERATION_ABORTED ? transferred : 0;
}

void WriteBytes(const unsigned char *bytes, std::size_t count)
{
    FinishPendingWrite();
    if (count > SendBufferSize) {
        count = SendBufferSize;
    }
    std::memcpy(SendBuffer, bytes, count);
    SharedOverlap = OVERLAPPED{};
    // The write's outcome is not reported: a failed send shows as a missing
    // reply. Only a write still running needs finishing before the record is
    // used again.
    if (!WriteFile(PortHandle, SendBuffer, static_cast<DWORD>(count), nullptr, &SharedOverlap) &&
        GetLastError() == ERROR_IO_PENDING) {
        WritePending = true;
        PendingWritePort = PortHandle;
    }
}

// Reads up to count waiting bytes into ReceiveBuffer; returns how many the
// completed read delivered.
std::uint32_t ReadWaiting(std::uint32_t count)
{
    SharedOverlap = OVERLAPPED{};
    DWORD delivered = 0;
    if (ReadFile(PortHandle, ReceiveBuffer, count, nullptr, &SharedOverlap)) {
        if (!GetOverlappedResult(PortHandle, &SharedOverlap, &delivered, FALSE)) {
            delivered = 0;
        }
    } else if (GetLastError() == ERROR_IO_PENDING) {
        delivered = CompleteOperation(PortHandle, ReadCompletionBoundMs);
    }
    return delivered < count ? delivered : count;
}

} // namespace

void FinishPendingWrite()
{
    if (!WritePending) {
        return;
    }
    WritePending = false;
    (void)CompleteOperation(PendingWritePort, WriteCompletionBoundMs);
}

void SendPaced(const unsigned char *bytes, const char *const *labels, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        Trace("%s", labels[i]);
        WriteBytes(&bytes[i], 1);
        Sleep(i + 1 < count ? ByteGapMs : RequestGapMs);
    }
}

void SendCommand(const char *label, const unsigned char *bytes, std::size_t count)
{
    Trace("%s", label);
    WriteBytes(bytes, count);
    Sleep(RequestGapMs);
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
    ReplyCount = waiting > 0 ? ReadWaiting(waiting) : 0;
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
