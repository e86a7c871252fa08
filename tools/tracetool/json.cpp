// tracetool json: JSON Lines, one object per request, then the bring-up and
// the release.
#include "report.h"

#include "block_rule.h"
#include "report_text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tracetool {

namespace {

using trace::Bytes;
using trace::Request;
using trace::RequestKind;

// A verdict line as shown, without the space the program prints after it.
std::string Verdict(const Bytes &reply)
{
    std::string line = trace::VerdictLine(reply);
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

const char *JsonBool(bool value)
{
    return value ? "true" : "false";
}

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Bytes above 0x7F are taken as Latin-1, so the output stays
            // valid UTF-8 whatever they are.
            out += Format("\\u%04llx", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonHex(const Bytes &bytes)
{
    std::string out = "\"";
    for (const std::uint8_t byte : bytes) {
        out += Format("%02llx", byte);
    }
    return out + "\"";
}

// One request's object: reply is the collection that followed it, or null.
std::string JsonRequest(std::size_t step, const Request &request, const Bytes *reply)
{
    const bool numbered = request.kind == RequestKind::Block || request.kind == RequestKind::BlockAck;
    const bool verdict = reply != nullptr && request.shows == Request::Verdict;
    const bool text = reply != nullptr && request.shows == Request::Text;
    return "{\"type\":\"request\",\"step\":" + std::to_string(step) +
           ",\"request\":" + JsonString(trace::KindName(request.kind)) +
           ",\"block\":" + (numbered ? std::to_string(request.block) : "null") + ",\"sent\":" + JsonHex(request.bytes) +
           ",\"collected\":" + JsonBool(reply != nullptr) +
           ",\"count\":" + (reply != nullptr && request.countShown ? std::to_string(reply->size()) : "null") +
           ",\"received\":" + (reply != nullptr ? JsonHex(*reply) : "null") +
           ",\"verdict\":" + (verdict ? JsonString(Verdict(*reply)) : "null") +
           ",\"text\":" + (text ? JsonString(trace::CapturedText(*reply)) : "null") + "}\n";
}

} // namespace

Result Json(const trace::ParsedTrace &trace)
{
    Result result;
    std::string &out = result.output;
    const std::vector<const Bytes *> replies = trace::CollectionsByRequest(trace.collections);
    const std::vector<Request> &requests = trace::Requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].collected && replies[i] == nullptr) {
            break; // a trace cut short: what follows it is not there
        }
        out += JsonRequest(i, requests[i], replies[i]);
    }
    out += std::string("{\"type\":\"bring-up\",\"shown\":") + JsonBool(trace.hasBringUp) +
           ",\"port\":" + JsonString(PortName(trace.port)) + ",\"lines\":[";
    for (std::size_t i = 0; i < trace.bringUpLines.size(); ++i) {
        out += (i > 0 ? "," : "") + JsonString(trace.bringUpLines[i]);
    }
    out += "]}\n";
    out += std::string("{\"type\":\"release\",\"shown\":") + JsonBool(trace.hasRelease) +
           ",\"released\":" + (trace.hasRelease ? JsonBool(trace.released) : "null") +
           ",\"line\":" + (trace.hasRelease ? JsonString(trace.releaseLine) : "null") + "}\n";
    NoteIncomplete(trace, result);
    return result;
}

} // namespace tracetool
