#include "event_log.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <unistd.h>

namespace devsim {

namespace {

const char Header[] = "# devsim event log: <microseconds on CLOCK_MONOTONIC> <event> [<arg>]; events: "
                      "rx XX (byte received), tx XX (byte sent), flush-in, flush-out (program purged its "
                      "input/output queue), hangup, exit N\n";

// Room for a 19-digit time, an event name and a number.
constexpr std::size_t LineMax = 96;

bool AllOf(const std::string &text, int (*test)(int))
{
    for (char c : text) {
        if (test(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return !text.empty();
}

int IsDigit(int c)
{
    return std::isdigit(c);
}

int IsUpperHexDigit(int c)
{
    return (std::isdigit(c) != 0 || (c >= 'A' && c <= 'F')) ? 1 : 0;
}

// What is wrong with an event's name and argument, or empty when nothing.
std::string ArgumentError(const LoggedEvent &event)
{
    if (event.name == "rx" || event.name == "tx") {
        return event.argument.size() == 2 && AllOf(event.argument, IsUpperHexDigit) ? std::string()
                                                                                    : "a byte must be two hex digits";
    }
    if (event.name == "exit") {
        const std::string digits = event.argument.rfind('-', 0) == 0 ? event.argument.substr(1) : event.argument;
        return AllOf(digits, IsDigit) ? std::string() : "exit needs its status";
    }
    if (event.name == "flush-in" || event.name == "flush-out" || event.name == "hangup") {
        return event.argument.empty() ? std::string() : event.name + " takes no argument";
    }
    return "unknown event '" + event.name + "'";
}

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

std::string LoggedEvent::Text() const
{
    return argument.empty() ? name : name + " " + argument;
}

ReadLog ReadEventLog(const std::string &text)
{
    ReadLog read;
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line.rfind("# devsim event log:", 0) != 0) {
        read.error = "line 1: no devsim event log header";
        return read;
    }
    for (std::size_t number = 2; std::getline(lines, line); ++number) {
        std::istringstream fields(line);
        std::string time;
        std::string rest;
        LoggedEvent event;
        fields >> time >> event.name >> event.argument;
        std::string error;
        if (!AllOf(time, IsDigit) || time.size() > 19) {
            error = "no time in microseconds";
        } else if (fields >> rest) {
            error = "more than one argument";
        } else {
            error = ArgumentError(event);
        }
        if (!error.empty()) {
            read.error = "line " + std::to_string(number) + ": ";
            read.error.append(error).append(": '").append(line).append("'");
            return read;
        }
        event.us = std::strtoll(time.c_str(), nullptr, 10);
        read.events.push_back(event);
    }
    return read;
}

std::vector<LoggedByte> BytesOf(const std::vector<LoggedEvent> &events, const std::string &name)
{
    std::vector<LoggedByte> bytes;
    for (const LoggedEvent &event : events) {
        if (event.name == name) {
            bytes.push_back({event.us, static_cast<std::uint8_t>(std::strtoul(event.argument.c_str(), nullptr, 16))});
        }
    }
    return bytes;
}

} // namespace devsim
