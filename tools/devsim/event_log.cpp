#include "event_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace devsim {

namespace {

const char Header[] = "# devsim event log: <microseconds on CLOCK_MONOTONIC> <event> [<arg>]; events: "
                      "rx XX (byte received), tx XX (byte sent), flush-in, flush-out (program purged its "
                      "input/output queue), hangup, exit N\n";

// Room for a 19-digit time, an event name and a number.
constexpr std::size_t LineMax = 96;

} // namespace

EventLog::EventLog(bool enabled) : enabled_(enabled)
{
    if (!enabled_) {
        return;
    }
    text_ = Header;
    // A full dialogue with the default device is a few thousand lines.
    text_.reserve(1 << 18);
}

void EventLog::Record(std::int64_t time, const char *event)
{
    if (!enabled_) {
        return;
    }
    char line[LineMax];
    const int length = std::snprintf(line, sizeof line, "%lld %s\n", static_cast<long long>(time), event);
    Append(line, length, sizeof line);
}

void EventLog::RecordByte(std::int64_t time, const char *event, std::uint8_t byte)
{
    if (!enabled_) {
        return;
    }
    char line[LineMax];
    const int length = std::snprintf(line, sizeof line, "%lld %s %02X\n", static_cast<long long>(time), event, byte);
    Append(line, length, sizeof line);
}

void EventLog::RecordNumber(std::int64_t time, const char *event, long number)
{
    if (!enabled_) {
        return;
    }
    char line[LineMax];
    const int length = std::snprintf(line, sizeof line, "%lld %s %ld\n", static_cast<long long>(time), event, number);
    Append(line, length, sizeof line);
}

void EventLog::Append(const char *line, int length, std::size_t capacity)
{
    if (length <= 0) {
        return;
    }
    // snprintf reports the untruncated length; never copy past the buffer.
    const std::size_t used =
        static_cast<std::size_t>(length) < capacity ? static_cast<std::size_t>(length) : capacity - 1;
    text_.append(line, used);
}

std::string EventLog::WriteTo(int fd) const
{
    std::size_t done = 0;
    while (done < text_.size()) {
        const ssize_t written = write(fd, text_.data() + done, text_.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::string("cannot write the log: ") + std::strerror(errno);
        }
        done += static_cast<std::size_t>(written);
    }
    return std::string();
}

} // namespace devsim
