// The trace a run should print, built from the dialogue's steps and the
// bytes each collection takes, for comparing whole traces in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace expected {

using Bytes = std::vector<std::uint8_t>;

constexpr int Blocks = 128;
// Collections in a full dialogue: after the handshake, the STX request, the
// P request, the acknowledgement after it, each block request and the end.
constexpr int Collections = 4 + Blocks + 1;

extern const char HealthyBringUp[];
extern const char AbsentBringUp[];
extern const char ReleasedLine[];
extern const char ReleaseFailedLine[];

// Every request the dialogue sends, in order.
std::vector<Bytes> Requests();

// Whether the dialogue collects right after request i (of Requests()).
bool CollectsAfter(std::size_t request);

// What each collection takes when every answer has arrived before the next
// collection: all that was answered since the previous one.
std::vector<Bytes> CollectionsOf(const std::vector<Bytes> &answers);

// The dialogue's part of the trace for these collections.
std::string Dialogue(const std::vector<Bytes> &collections);

// The text captured from a reply: its leading run of 0x20..0x7F, at most 20.
std::string CapturedText(const Bytes &reply);

// The first line where two traces differ, both versions shown; empty when equal.
std::string FirstDifference(const std::string &expected, const std::string &actual);

} // namespace expected
