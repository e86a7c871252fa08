#include "trace_compare.h"

#include <sstream>

namespace support {

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

} // namespace support
