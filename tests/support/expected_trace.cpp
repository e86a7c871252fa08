#include "expected_trace.h"

#include <cstdio>
#include <sstream>

namespace expected {

const char HealthyBringUp[] =
    "(+) COM1 initialized\n"
    "(+) Discarded all characters from the output and input buffer\n"
    "(+) Restored character transmission and placed the transmission line in a nonbreak state\n"
    "(+) Retrieved the current control settings for COM1\n"
    "(+) Reinitialized all hardware and control settings \n"
    "(+) PurgeComm\n";

const char AbsentBringUp[] = "(-) COM1 initialization failed\n"
                             "(-) PurgeComm() failed\n"
                             "(-) ClearCommBreak() failed\n"
                             "(-) GetLastError() return 6 \n"
                             "(-) GetCommState() failed\n"
                             "(-) SetCommState() failed\n"
                             "(-) PurgeComm() failed\n";

const char ReleasedLine[] = "(+) CloseHandle ok \n";
const char ReleaseFailedLine[] = "(-) CloseHandle() failed\n";

namespace {

std::string Hex(std::uint8_t byte, const char *format)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, format, byte);
    return text;
}

} // namespace

std::vector<Bytes> Requests()
{
    std::vector<Bytes> requests = {{0x02, 'P', 'R', 'O', 'G', 'R', 'A', 'M'}, {0x02, 0x00}, {0x06}, {'P'}, {0x06}};
    for (int block = 0; block < Blocks; ++block) {
        requests.push_back({'R', 0x00, static_cast<std::uint8_t>(block)});
        requests.push_back({0x06});
    }
    requests.push_back({'E'});
    return requests;
}

bool CollectsAfter(std::size_t request)
{
    if (request <= 4) {
        return request != 2;
    }
    return request % 2 == 1; // block requests; their acknowledgements are not collected
}

std::vector<Bytes> CollectionsOf(const std::vector<Bytes> &answers)
{
    std::vector<Bytes> collections;
    Bytes pending;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        pending.insert(pending.end(), answers[i].begin(), answers[i].end());
        if (CollectsAfter(i)) {
            collections.push_back(pending);
            pending.clear();
        }
    }
    return collections;
}

std::string CapturedText(const Bytes &reply)
{
    std::string captured;
    for (std::uint8_t byte : reply) {
        if (byte < 0x20 || byte > 0x7F || captured.size() == 20) {
            break;
        }
        captured += static_cast<char>(byte);
    }
    return captured;
}

std::string Dialogue(const std::vector<Bytes> &collections)
{
    std::string trace;
    std::size_t next = 0;
    auto dump = [&](bool showCount) -> const Bytes & {
        const Bytes &bytes = collections.at(next++);
        if (showCount) {
            trace += std::to_string(bytes.size()) + "\n";
        }
        for (std::uint8_t byte : bytes) {
            trace += Hex(byte, "[%02X] ");
        }
        trace += "\n";
        return bytes;
    };
    auto verdict = [&](const Bytes &bytes) {
        trace += !bytes.empty() && bytes[0] == 0x06 ? "GET OK! \n" : "no answer \n";
    };
    auto text = [&](const Bytes &bytes) { trace += CapturedText(bytes) + "\n"; };

    trace += "send [x02] [x50] [x52] [x4F] [x47] [x52] [x41] [x4D]\n";
    verdict(dump(true));
    trace += "send [ x02]\n";
    text(dump(true));
    trace += "send [x06]\nsend [x50]\n";
    text(dump(true));
    trace += "send [x06]\n";
    verdict(dump(true));
    for (int block = 0; block < Blocks; ++block) {
        trace += "send [x52] [x00] " + Hex(static_cast<std::uint8_t>(block), "[x%02X] ") + "\n";
        dump(true);
        trace += "send [x06]\n";
    }
    trace += "send [x45]\n";
    verdict(dump(false));
    return trace;
}

std::string FirstDifference(const std::string &expected, const std::string &actual)
{
    if (expected == actual) {
        return {};
    }
    std::istringstream wanted(expected);
    std::istringstream got(actual);
    std::string a;
    std::string b;
    for (int line = 1;; ++line) {
        const bool moreWanted = static_cast<bool>(std::getline(wanted, a));
        const bool moreGot = static_cast<bool>(std::getline(got, b));
        if (!moreWanted && !moreGot) {
            return "traces differ only in their final newline";
        }
        if (a != b || moreWanted != moreGot) {
            std::ostringstream out;
            out << "first difference at line " << line << ":\n  expected: \"" << (moreWanted ? a : std::string("<end>"))
                << "\"\n  actual:   \"" << (moreGot ? b : std::string("<end>")) << "\"";
            return out.str();
        }
    }
}

} // namespace expected
