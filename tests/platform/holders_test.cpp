// The holder rule's reading of a UUCP lock file's process ID: what each
// writer's format means, and what is never taken for a process.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "holders/holders.h"

namespace {

std::string Binary(std::int32_t pid)
{
    std::string text(sizeof pid, '\0');
    std::memcpy(text.data(), &pid, sizeof pid);
    return text;
}

TEST(Holders, ReadsALockFilesProcessIdAsWrittenAndRefusesOnesNoProcessHas)
{
    constexpr long PidMax = 32768;
    const struct {
        const char *name;
        std::string text;
        long pid;
    } cases[] = {
        {"ten characters and a newline", "      1234\n", 1234},
        {"no padding, no newline", "1234", 1234},
        {"four bytes of ASCII are text", "301\n", 301},
        {"four bytes of padded ASCII are text", "  42", 42},
        {"a binary int", Binary(31337), 31337},
        {"a binary int that reads as no text", Binary(0x00000101), 257},
        {"the highest PID the system gives", "     32768\n", 32768},
        {"above the system's highest", "     32769\n", 0},
        {"2^31, which an int would make negative", "2147483648\n", 0},
        {"2^32, which an int would make 0", "4294967296\n", 0},
        {"more than ten digits", "12345678901\n", 0},
        {"zero", "         0\n", 0},
        {"a negative number", "        -5\n", 0},
        {"a negative binary int", Binary(-2), 0},
        {"a binary zero", Binary(0), 0},
        {"text after the number", "  1234 cu\n", 0},
        {"empty", "", 0},
        {"only spaces", "    ", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(holders::LockFileProcessId(c.text.data(), c.text.size(), PidMax), c.pid) << c.name;
    }
}

} // namespace
