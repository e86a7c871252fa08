// A fake of the platform layer for unit tests: a scripted device on a
// virtual clock. Every call is recorded with the virtual time it was made
// at; results can be scripted to fail with a given error code; bytes the
// device sends arrive at scripted virtual times; reads and writes can be
// scripted to stay pending. Sleep advances the clock instead of waiting,
// by exactly what was asked or by a scripted error, and the performance
// counter reads the same clock. The port's inherited time-outs and, when a
// test asks, its software flow control act on the line as a driver's do.
#ifndef COMTRACE_TESTS_SUPPORT_FAKE_PLATFORM_H
#define COMTRACE_TESTS_SUPPORT_FAKE_PLATFORM_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/serial_api.h"
#include "trace/dialogue.h"

namespace fake {

using trace::Bytes;

struct Call {
    std::string name;
    std::vector<std::uint64_t> args;
    std::uint64_t at; // virtual milliseconds
};

struct Message {
    std::uint64_t at;
    std::string text;
};

struct Write {
    std::uint64_t at;
    Bytes bytes;
};

// How an overlapped read or write started on the port completes: Aborted
// ends it after afterMs as aborted (a purge, or a driver giving up), with
// the first `delivered` of its bytes transferred.
struct Completion {
    enum Kind { AtOnce, After, Never, Aborted } kind = AtOnce;
    std::uint64_t afterMs = 0;
    std::uint32_t delivered = 0;
};

struct Violation {
    std::uint64_t at;
    std::string what;
};

struct State {
    std::uint64_t now = 0;
    std::vector<Call> calls;
    std::vector<Message> messages;
    std::vector<Write> writes;
    std::vector<Violation> violations;

    // Next results per function name: 0 succeeds, anything else fails with
    // that error code. Unscripted calls succeed on an open port.
    std::map<std::string, std::deque<DWORD>, std::less<>> results;
    bool portPresent = true;
    // From this virtual time on the device is gone: queries, reads and
    // writes fail as on a hung-up line.
    std::uint64_t goneAt = UINT64_MAX;

    DCB portSettings{};
    std::vector<DCB> writtenSettings;
    // The time-outs in force, as the last program left them until the
    // program sets its own. A write whose total time-out ends before its
    // bytes are on the line (at 9600 bit/s) delivers only those that are.
    COMMTIMEOUTS portTimeouts{};
    std::vector<COMMTIMEOUTS> writtenTimeouts;
    // When set, the settings' fOutX acts: the XON and XOFF characters are
    // taken out of the input, and after an XOFF every write stays pending
    // (its bytes not sent) until it is cancelled.
    bool actOnFlowControl = false;
    bool outputHeld = false;

    // The performance counter's counts per second; 0: the system has none.
    std::int64_t counterFrequency = 10000000;
    // When set, the counter stands still.
    bool counterStopped = false;
    // How fast the counter really counts, in percent of its frequency.
    std::int64_t counterRatePercent = 100;
    // The clock's microseconds past `now`; only sleeps that err move it.
    std::uint32_t nowUs = 0;
    // How much each coming Sleep overshoots (positive) or ends short
    // (negative), in microseconds; unscripted sleeps are exact.
    std::deque<std::int64_t> sleepErrorsUs;
    // Timer resolution requests granted and not yet given back.
    int finePeriodsHeld = 0;

    // Bytes the device sends: (arrival time, byte), in arrival order.
    std::deque<std::pair<std::uint64_t, std::uint8_t>> incoming;
    // A limit for each coming read: it delivers at most this many bytes.
    std::deque<std::uint32_t> readLimits;
    std::deque<Completion> readCompletions;
    std::deque<Completion> writeCompletions;
    // Bytes a read that never completes has delivered when it is cancelled.
    std::uint32_t deliveredOnCancel = 0;
    // When set, a cancelled operation that never completes stays pending, as
    // under a driver that ignores the cancel.
    bool cancelIgnored = false;

    // Called for every write, after it is recorded, to let the device answer.
    std::function<void(const Bytes &)> device;
    // When cleared, calls are no longer kept in `calls`: for long runs that
    // check only their outcome.
    bool recordCalls = true;
    // Called at the start of every call, before its outcome is decided, so
    // that a test can script the call as it happens.
    std::function<void(const char *name)> beforeCall;

    // Every byte that reads have placed in the caller's buffer, in order.
    Bytes delivered;

    // When set, the trace is kept as one text in traceText instead of one
    // Message per call: much faster for long runs that do not need the times.
    bool traceAsText = false;
    std::string traceText;

    // When set, every console write leaves this as the last error of the
    // thread that made it, as a real console write may.
    DWORD consoleWriteError = 0;

    // The console: whether standard output is one, and how long each write
    // to it takes (by its text; none when unset). The console writer is a
    // thread with a virtual clock of its own, busy until writerBusyUntil:
    // a write it makes holds up neither the clock nor the program, and each
    // message is stamped with the time its write ended.
    bool outputIsConsole = true;
    std::function<std::uint64_t(const std::string &text)> consoleWriteMs;
    std::uint64_t writerBusyUntil = 0;
    bool writerRunning = false;
    // How many more bytes the console takes before its writes fail (a disk
    // filling up), and after how many failed writes it takes them again (the
    // disk given space back; SIZE_MAX: never). A failing write takes what
    // room is left. The byte counts the program reported a failure with.
    std::size_t consoleRoom = SIZE_MAX;
    std::size_t consoleRecoversAfter = SIZE_MAX;
    std::size_t consoleFailedWrites = 0;
    std::vector<std::size_t> consoleFailureReports;

    std::string openedName;
    bool consolePrepared = false;
    int keyWaits = 0;
};

// The one fake port; Reset() gives a present, healthy, silent port at time 0.
State &Port();
void Reset();

// The handle the fake hands out for the open port.
HANDLE OpenHandle();

// Schedules bytes from the device to arrive at the given virtual time.
void Arrive(std::uint64_t at, const Bytes &bytes);

// The trace printed so far, concatenated.
std::string Output();

// Calls to one function, in order.
std::vector<Call> CallsTo(const std::string &name);

} // namespace fake

#endif
