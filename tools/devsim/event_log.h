// The event log: what the device received and sent, and what it noticed of
// the program's port handling, each event stamped in microseconds on
// CLOCK_MONOTONIC (monotonic_clock.h). Kept in memory during the run so that recording an
// event costs no system call, and written out once at the end.
#ifndef COMTRACE_DEVSIM_EVENT_LOG_H
#define COMTRACE_DEVSIM_EVENT_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>

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

} // namespace devsim

#endif
