#include "port/port_io.h"

#include <cstring>

HANDLE PortHandle = INVALID_HANDLE_VALUE;

namespace {

// One overlap record serves every read and write; it is never reused while
// an operation on it is pending. A write may still be running when its send
// returns, so its bytes live here rather than with the caller.
OVERLAPPED SharedOverlap;
unsigned char SendBuffer[SendBufferSize];
bool WritePending = false;
HANDLE PendingWritePort = INVALID_HANDLE_VALUE;

// Waits up to boundMs for the operation on SharedOverlap to finish, cancels
// it after that, and returns the bytes it transferred. The record has no
// event, so the port's handle is what signals completion; only one
// operation is ever outstanding on it. (GetOverlappedResultEx would do this
// in one call but does not exist before Windows 8.)
DWORD CompleteOperation(HANDLE port, DWORD boundMs)
{
    DWORD transferred = 0;
    if (WaitForSingleObject(port, boundMs) == WAIT_OBJECT_0) {
        if (GetOverlappedResult(port, &SharedOverlap, &transferred, FALSE)) {
            return transferred;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_INCOMPLETE) {
            // An aborted operation keeps what it transferred before it stopped.
            return error == ERROR_OPERATION_ABORTED ? transferred : 0;
        }
    }
    // Timed out, or the wait itself failed. A cancelled operation completes
    // promptly; wait for that so that nothing is left running into our
    // buffers, but not for ever: a driver may never complete it.
    (void)CancelIoEx(port, &SharedOverlap);
    (void)WaitForSingleObject(port, CancelCompletionBoundMs); // the result below says how it ended
    transferred = 0;
    if (GetOverlappedResult(port, &SharedOverlap, &transferred, FALSE)) {
        return transferred;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
        // Still running into the record and the buffers: leave them all to
        // it. The handle itself is kept by the frame for the release.
        PortHandle = INVALID_HANDLE_VALUE;
        return 0;
    }
    return error == ERROR_OPERATION_ABORTED ? transferred : 0;
}

} // namespace

void WritePortBytes(const unsigned char *bytes, std::size_t count)
{
    FinishPendingWrite();
    if (PortHandle == INVALID_HANDLE_VALUE) {
        return; // no port, or one given up with an operation still in the buffers
    }
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

std::uint32_t ReadWaitingBytes(unsigned char *buffer, std::uint32_t count)
{
    FinishPendingWrite();
    if (PortHandle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    SharedOverlap = OVERLAPPED{};
    DWORD delivered = 0;
    if (ReadFile(PortHandle, buffer, count, nullptr, &SharedOverlap)) {
        if (!GetOverlappedResult(PortHandle, &SharedOverlap, &delivered, FALSE)) {
            delivered = 0;
        }
    } else if (GetLastError() == ERROR_IO_PENDING) {
        delivered = CompleteOperation(PortHandle, ReadCompletionBoundMs);
    }
    return delivered < count ? delivered : count;
}

void FinishPendingWrite()
{
    if (!WritePending) {
        return;
    }
    WritePending = false;
    (void)CompleteOperation(PendingWritePort, WriteCompletionBoundMs);
}
