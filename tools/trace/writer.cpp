#include "writer.h"

namespace trace {

namespace {

const char HexDigits[] = "0123456789ABCDEF";

void AppendLine(std::string &text, const std::string &line)
{
    text += line;
    text += '\n';
}

} // namespace

std::string DumpLine(const Bytes &collection)
{
    std::string line;
    line.reserve(collection.size() * 5);
    for (std::uint8_t byte : collection) {
        line += '[';
        line += HexDigits[byte >> 4];
        line += HexDigits[byte & 0x0F];
        line += "] ";
    }
    return line;
}

std::string DialogueText(const std::vector<Bytes> &collections)
{
    std::string text;
    std::size_t next = 0;
    for (const Request &request : Requests()) {
        AppendLine(text, request.label);
        if (!request.collected) {
            continue;
        }
        const Bytes &bytes = collections.at(next++);
        if (request.countShown) {
            AppendLine(text, std::to_string(bytes.size()));
        }
        AppendLine(text, DumpLine(bytes));
        if (request.shows == Request::Verdict) {
            AppendLine(text, VerdictLine(bytes));
        } else if (request.shows == Request::Text) {
            AppendLine(text, CapturedText(bytes));
        }
    }
    return text;
}

std::string DialoguePrefix(const std::vector<Bytes> &collections)
{
    std::string text;
    std::size_t next = 0;
    for (const Request &request : Requests()) {
        if (next == collections.size()) {
            break;
        }
        AppendLine(text, request.label);
        if (request.collected) {
            const Bytes &bytes = collections[next++];
            if (request.countShown) {
                AppendLine(text, std::to_string(bytes.size()));
            }
            AppendLine(text, DumpLine(bytes));
            // The line shown after the last one may be cut.
            if (next < collections.size() && request.shows == Request::Verdict) {
                AppendLine(text, VerdictLine(bytes));
            } else if (next < collections.size() && request.shows == Request::Text) {
                AppendLine(text, CapturedText(bytes));
            }
        }
    }
    return text;
}

std::string BringUpText(bool opened)
{
    std::string text;
    for (std::size_t step = 0; step < BringUpStepCount; ++step) {
        AppendLine(text, opened ? BringUpSteps[step].success : BringUpSteps[step].failure);
        if (!opened && step == ClearBreakStep) {
            // The handle never opened: ERROR_INVALID_HANDLE.
            AppendLine(text, ErrorCodePrefix + std::string("6 ") + ErrorCodeText(6));
        }
    }
    return text;
}

std::string ReleaseText(bool released)
{
    return std::string(released ? ReleasedLine : ReleaseFailedLine) + "\n";
}

std::string WholeTrace(const std::vector<Bytes> &collections, bool opened)
{
    return BringUpText(opened) + DialogueText(collections) + ReleaseText(opened);
}

std::string Encoded(const std::string &lfText, LineEnd lineEnd, bool utf16)
{
    std::string text;
    if (utf16) {
        text = "\xFF\xFE";
    }
    for (char c : lfText) {
        if (c == '\n' && lineEnd == LineEnd::CrLf) {
            text += utf16 ? std::string("\r\0", 2) : std::string("\r");
        }
        text += c;
        if (utf16) {
            text += '\0';
        }
    }
    return text;
}

} // namespace trace
