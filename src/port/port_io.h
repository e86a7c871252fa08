// The open port's I/O state, shared by bring-up and the exchange
// primitives: the handle, the one overlap record every read and write
// passes, the buffer a write's bytes live in while it may still be running,
// and the write that may still be pending.
//
// Nothing here prints; failures show as bytes not written or not read.
#ifndef COMTRACE_PORT_PORT_IO_H
#define COMTRACE_PORT_PORT_IO_H

#include <cstddef>
#include <cstdint>

#include "platform/serial_api.h"

// The most bytes one write may hand to the port.
constexpr std::size_t SendBufferSize = 16;
// How long a read of bytes that are already waiting may take to complete, and
// how long a write may still be running by the next operation, before it is
// cancelled.
constexpr DWORD ReadCompletionBoundMs = 100;
constexpr DWORD WriteCompletionBoundMs = 200;
// How long a cancelled operation may take to complete. A driver that never
// completes it has the port given up: PortHandle becomes invalid, and
// neither the port nor the buffers the operation holds are touched again.
constexpr DWORD CancelCompletionBoundMs = 1000;

// The open port from bring-up to release; INVALID_HANDLE_VALUE when the open
// failed or the port was given up, and then every operation on it fails.
extern HANDLE PortHandle;

// Hands the bytes (at most SendBufferSize; the rest are dropped) to the port
// without waiting for them to go out. A failed write is not reported; on a
// port given up nothing is written.
void WritePortBytes(const unsigned char *bytes, std::size_t count);

// Reads up to count bytes that are already waiting into buffer; returns how
// many the completed read delivered (0 when it failed or the port was given
// up).
std::uint32_t ReadWaitingBytes(unsigned char *buffer, std::uint32_t count);

// Completes a write still pending on the port, cancelling it when it has
// not finished within WriteCompletionBoundMs; the overlap record and the send
// buffer are free again afterwards, unless the port had to be given up.
void FinishPendingWrite();

#endif
