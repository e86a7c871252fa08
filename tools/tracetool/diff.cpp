// tracetool diff: the replies, bring-up and release that differ between two
// traces.
#include "report.h"

#include "block_rule.h"
#include "report_text.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace tracetool {

namespace {

using trace::Bytes;
using trace::Request;
using trace::RequestKind;

// Differences diff shows for one reply before it only counts the rest.
constexpr std::size_t ShownDifferenceCount = 16;

std::string StageName(const Request &request)
{
    switch (request.kind) {
    case RequestKind::Handshake:
        return "handshake";
    case RequestKind::Identify:
        return "identification";
    case RequestKind::Version:
        return "version";
    case RequestKind::VersionAck:
        return "version acknowledgement";
    case RequestKind::Block:
        return "block " + std::to_string(request.block);
    case RequestKind::End:
        return "end";
    default:
        return "acknowledgement"; // never collected, so never compared
    }
}

// The differences between two replies; empty when they are the same.
std::string CompareReplies(const std::string &stage, const Bytes &a, const Bytes &b)
{
    if (a == b) {
        return {};
    }
    std::string out = stage + ": A " + Plural(a.size(), "byte", "bytes") + ", B " + Plural(b.size(), "byte", "bytes");
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t differing = 0;
    std::string lines;
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) {
            if (++differing <= ShownDifferenceCount) {
                lines += "  offset " + std::to_string(i) + ": A " + HexByte(a[i]) + ", B " + HexByte(b[i]) + "\n";
            }
        }
    }
    if (differing > 0) {
        out += ", " + Plural(differing, "byte differs", "bytes differ");
    }
    if (a.size() != b.size()) {
        out += std::string(", ") + (a.size() > b.size() ? "A" : "B") + " has " +
               Plural(std::max(a.size(), b.size()) - common, "more byte", "more bytes") + " from offset " +
               std::to_string(common);
    }
    out += "\n" + lines;
    if (differing > ShownDifferenceCount) {
        out += "  and " + Plural(differing - ShownDifferenceCount, "more difference", "more differences") + "\n";
    }
    return out;
}

// The bring-ups' difference, when both traces show one; returns the
// number of differences (0 or 1).
std::size_t CompareBringUps(const trace::ParsedTrace &a, const trace::ParsedTrace &b, std::string &out)
{
    if (a.hasBringUp != b.hasBringUp) {
        out += std::string("note: only ") + (a.hasBringUp ? "A" : "B") + " shows the bring-up; not compared\n";
        return 0;
    }
    if (!a.hasBringUp || (a.port == b.port && a.bringUpLines == b.bringUpLines)) {
        return 0;
    }
    out += std::string("bring-up: A ") + PortName(a.port) + ", B " + PortName(b.port) +
           (a.port == b.port ? " (other lines)" : "") + "\n";
    return 1;
}

// As CompareBringUps, for the release lines.
std::size_t CompareReleases(const trace::ParsedTrace &a, const trace::ParsedTrace &b, std::string &out)
{
    if (a.hasRelease != b.hasRelease) {
        out += std::string("note: only ") + (a.hasRelease ? "A" : "B") + " shows the release; not compared\n";
        return 0;
    }
    if (!a.hasRelease || a.releaseLine == b.releaseLine) {
        return 0;
    }
    out += std::string("release: A ") + (a.released ? "released" : "failed") + ", B " +
           (b.released ? "released" : "failed") + "\n";
    return 1;
}

} // namespace

Result Diff(const trace::ParsedTrace &a, const trace::ParsedTrace &b)
{
    Result result;
    std::string &out = result.output;
    std::size_t differences = CompareBringUps(a, b, out);
    const std::vector<const Bytes *> repliesA = trace::CollectionsByRequest(a.collections);
    const std::vector<const Bytes *> repliesB = trace::CollectionsByRequest(b.collections);
    const std::vector<Request> &requests = trace::Requests();
    std::size_t differingReplies = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (repliesA[i] != nullptr && repliesB[i] != nullptr) {
            const std::string lines = CompareReplies(StageName(requests[i]), *repliesA[i], *repliesB[i]);
            out += lines;
            differingReplies += lines.empty() ? 0 : 1;
        }
    }
    differences += differingReplies + CompareReleases(a, b, out);
    // A trace cut short is compared as far as it goes, and is not the same
    // as any other.
    for (const auto &[name, trace] : {std::pair<const char *, const trace::ParsedTrace *>{"A", &a}, {"B", &b}}) {
        if (!trace->incomplete.empty()) {
            out += std::string("incomplete: ") + name + ": " + trace->incomplete + "; compared up to there\n";
            ++differences;
        }
    }
    if (differences == 0) {
        out += "same: every reply, the bring-up and the release agree\n";
    } else {
        out += "different: " + Plural(differingReplies, "reply differs", "replies differ") + " of " +
               std::to_string(trace::CollectionCount) + "\n";
        result.status = ExitDeviation;
    }
    return result;
}

} // namespace tracetool
