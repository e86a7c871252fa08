// The event log: what the writer records, the reader gives back, and the
// reader refuses a log it cannot read at the line that is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devsim/event_log.h"

namespace devsim {
namespace {

TEST(EventLog, ReaderGivesBackEveryEventTheWriterRecorded)
{
    EventLog log(true);
    log.Record(5, "flush-in");
    log.Record(6, "flush-out");
    log.RecordByte(1000007, "rx", 0x02);
    log.RecordByte(1000042, "tx", 0xFF);
    log.RecordByte(1000043, "tx", 0x0A);
    log.Record(9223372036854775807, "hangup");
    log.RecordNumber(9223372036854775807, "exit", 7);

    const ReadLog read = ReadEventLog(log.Text());
    EXPECT_EQ(read.error, "");
    std::vector<std::string> texts;
    std::vector<std::int64_t> times;
    for (const LoggedEvent &event : read.events) {
        texts.push_back(event.Text());
        times.push_back(event.us);
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{"flush-in", "flush-out", "rx 02", "tx FF", "tx 0A", "hangup", "exit 7"}));
    EXPECT_EQ(times,
              (std::vector<std::int64_t>{5, 6, 1000007, 1000042, 1000043, 9223372036854775807, 9223372036854775807}));

    const std::vector<LoggedByte> sent = BytesOf(read.events, "tx");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].us, 1000042);
    EXPECT_EQ(sent[0].byte, 0xFF);
    EXPECT_EQ(sent[1].byte, 0x0A);
    EXPECT_EQ(BytesOf(read.events, "rx").size(), 1u);

    // A disabled log has nothing, not even the header, to read.
    EventLog disabled(false);
    disabled.RecordByte(1, "rx", 0x02);
    EXPECT_EQ(ReadEventLog(disabled.Text()).error, "line 1: no devsim event log header");
}

TEST(EventLog, ReaderStopsAtTheFirstLineItCannotRead)
{
    EventLog log(true);
    log.RecordByte(10, "rx", 0x45);
    const std::string good = log.Text();
    struct Case {
        const char *line;
        const char *error;
    };
    const Case cases[] = {
        {"11 rx 4", "line 3: a byte must be two hex digits: '11 rx 4'"},
        {"11 rx 4f", "line 3: a byte must be two hex digits: '11 rx 4f'"},
        {"11 tx", "line 3: a byte must be two hex digits: '11 tx'"},
        {"11 exit", "line 3: exit needs its status: '11 exit'"},
        {"11 hangup now", "line 3: hangup takes no argument: '11 hangup now'"},
        {"11 rx 45 46", "line 3: more than one argument: '11 rx 45 46'"},
        {"11 break", "line 3: unknown event 'break': '11 break'"},
        {"-3 hangup", "line 3: no time in microseconds: '-3 hangup'"},
        {"", "line 3: no time in microseconds: ''"},
    };
    for (const Case &c : cases) {
        const ReadLog read = ReadEventLog(good + c.line + "\n13 hangup\n");
        EXPECT_EQ(read.error, c.error);
        ASSERT_EQ(read.events.size(), 1u) << c.line;
        EXPECT_EQ(read.events[0].Text(), "rx 45");
    }
}

} // namespace
} // namespace devsim
