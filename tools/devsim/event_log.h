// The event log: what the device received and sent, and what it noticed of
// the program's port handling, each event stamped in microseconds on
// CLOCK_MONOTONIC (monotonic_clock.h). Kept in memory during the run so that recording an
// event costs no system call, and written out once at the end. The reader of
// the written log is here too, for the tests and the pacing report, so that
// the two change together.
#ifndef COMTRACE_DEVSIM_EVENT_LOG_H
#define COMTRACE_DEVSIM_EVENT_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

class EventLog {
public:
    // A disabled log records nothing (no --log given).
    explicit EventLog(bool enabled);

    // "<time> <event>", e.g. flush-in, hangup.
    void Record(std::int64_t time, const char *event);
    // "<time> <event> XX", for rx and tx.
    void RecordByte(std::int64_t time, const char *event, std::uint8_t byte);
    // "<time> <event> N", for exit.
    void RecordNumber(std::int64_t time, const char *event, long number);

    // The whole log so far, header line first.
    const std::string &Text() const { return text_; }

    // Writes the log to fd, retrying partial writes. Returns an empty
    // string on success, else what failed.
    [[nodiscard]] std::string WriteTo(int fd) const;

private:
    void Append(const char *line, int length, std::size_t capacity);

    bool enabled_;
    std::string text_;
};

// One event of a written log.
struct LoggedEvent {
    std::int64_t us = 0;
    std::string name;     // "rx", "tx", "flush-in", "flush-out", "hangup", "exit"
    std::string argument; // the byte in hex for rx and tx, the status for exit, else empty

    // The event as the log has it after its time: "rx 4F", "flush-in".
    std::string Text() const;
};

// What ReadEventLog made of a log: the events up to the first line it could
// not read, and then what was wrong with that line (else empty).
struct ReadLog {
    std::vector<LoggedEvent> events;
    std::string error;
};

// Reads a log as EventLog::WriteTo writes it: the header line, then one
// event a line. A missing header, an unknown event or a malformed argument
// ends the reading with an error naming the line.
ReadLog ReadEventLog(const std::string &text);

// A byte the log shows received or sent, and when.
struct LoggedByte {
    std::int64_t us;
    std::uint8_t byte;
};

// The bytes of the events named `name` ("rx" or "tx"), in order.
std::vector<LoggedByte> BytesOf(const std::vector<LoggedEvent> &events, const std::string &name);

} // namespace devsim

#endif
