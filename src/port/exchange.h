// The exchange primitives: sending bytes to the device on PortHandle,
// collecting what it has sent, and showing a collected reply.
//
// Every byte sent is labelled on the console and every byte collected is
// dumped. Nothing waits for a reply: the fixed waits after each send are the
// only synchronisation with the device, and bytes that arrive between
// collections wait in the port's input queue for the next one. Failures of
// the port are not reported; they show as empty replies.
#ifndef COMTRACE_PORT_EXCHANGE_H
#define COMTRACE_PORT_EXCHANGE_H

#include <cstddef>
#include <cstdint>

#include "platform/serial_api.h"

constexpr std::uint32_t ReceiveBufferSize = 4096;
constexpr std::size_t ReplyTextLength = 20;
constexpr DWORD ByteGapMs = 50;
constexpr DWORD RequestGapMs = 500;

// The bytes taken by the latest collection, from the start.
extern unsigned char ReceiveBuffer[ReceiveBufferSize];
// How many bytes the latest collection took (never more than ReceiveBufferSize).
extern std::uint32_t ReplyCount;
// The text captured from the latest text reply, zero-terminated.
extern char ReplyText[ReplyTextLength + 1];

// For each byte: prints its label, writes it alone, then waits 50 ms, or
// 500 ms after the last one.
void SendPaced(const unsigned char *bytes, const char *const *labels, std::size_t count);

// Prints the label, writes the bytes in one write (at most SendBufferSize;
// the rest are dropped), then waits 500 ms.
void SendCommand(const char *label, const unsigned char *bytes, std::size_t count);

// Takes the bytes waiting in the port's input queue (at most
// ReceiveBufferSize; the rest stay queued for the next collection) into
// ReceiveBuffer and sets ReplyCount to the number actually delivered; prints
// that count when showCount is set. A failed queue query or read takes nothing.
void CollectReply(bool showCount);

// Prints the collected bytes in hex on one line.
void DumpReply();

// Prints "GET OK! " when the first collected byte is ACK, else "no answer ".
void ReportAck();

// Copies the leading run of bytes 0x20..0x7F (at most ReplyTextLength of
// them) into ReplyText and prints it.
void CaptureText();

#endif
