// The whole program against the fake platform, with the fuzzer's input
// scripting, collection by collection, what the device has sent by then,
// whether the queue query or the read fails, whether the read delivers fewer
// bytes than were waiting, and whether reads and writes stay pending. After
// each run the trace is checked against what the device sent and what the
// reads delivered; a broken property aborts with a line on stderr.
//
// Input layout (bytes read in order; a used-up input reads as zeros):
//   header:      flags [absent, device leaves, first write pending]
//                [leave time: 2 bytes] [first write completion]
//   per collection, when its queue query is made:
//                control [query error] [read error] [limit: 2 bytes]
//                [read completion, bytes delivered on cancel]
//                [write completion for the next write]
//                [payload] [late payload, delay]
//   The control byte's top two bits have the same script serve the next 0,
//   3, 15 or all remaining collections too.
// A payload is a kind byte, then either literal bytes (a length of one or
// two bytes and that many bytes) or a generated run (a length of two bytes,
// at most MaxPayload, a pattern and a seed), so that small inputs can fill
// the receive buffer and overflow it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "port/exchange.h"
#include "port/port_io.h"
#include "program.h"
#include "trace/writer.h"
#include "trace_compare.h"

namespace {

using fake::Bytes;

constexpr std::size_t MaxPayload = 10000;
// All the device sends in one run: enough to overflow the receive buffer at
// several collections, few enough to keep each run to milliseconds.
constexpr std::size_t MaxSentPerRun = 40000;

// Bring-up clears the port's errors twice before the first collection.
constexpr int BringUpQueueQueries = 2;

// Codes a failing call reports; pending operations are scripted through the
// fake's completions instead, so ERROR_IO_PENDING is not among them.
const DWORD FailureCodes[] = {ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE, ERROR_OPERATION_ABORTED, ERROR_ACCESS_DENIED,
                              ERROR_READ_FAULT,  ERROR_HANDLE_EOF,     ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED};

void Require(bool holds, const char *property, int collection = -1)
{
    if (!holds) {
        (void)std::fprintf(stderr, "broken: %s (collection %d)\n", property, collection);
        std::abort();
    }
}

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

    std::uint16_t Word()
    {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }

    // Up to count bytes, fewer when the input runs out.
    Bytes Take(std::size_t count)
    {
        count = std::min(count, size_ - at_);
        Bytes taken(data_ + at_, data_ + at_ + count);
        at_ += count;
        return taken;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

fake::Completion CompletionFrom(Input &input)
{
    const std::uint8_t kind = input.Byte();
    fake::Completion completion;
    completion.kind = static_cast<fake::Completion::Kind>(kind % 3);
    completion.afterMs = static_cast<std::uint64_t>(input.Byte()) * 2;
    return completion;
}

DWORD FailureFrom(Input &input)
{
    return FailureCodes[input.Byte() % (sizeof FailureCodes / sizeof FailureCodes[0])];
}

Bytes PayloadFrom(Input &input)
{
    const std::uint8_t kind = input.Byte() % 4;
    if (kind == 0) {
        return {};
    }
    if (kind == 1) {
        return input.Take(input.Byte());
    }
    if (kind == 2) {
        return input.Take(input.Word() % (MaxPayload + 1));
    }
    const std::size_t length = input.Word() % (MaxPayload + 1);
    const std::uint8_t pattern = input.Byte();
    std::uint32_t state = input.Byte();
    Bytes run(length);
    for (std::size_t i = 0; i < length; ++i) {
        switch (pattern % 3) {
        case 0:
            run[i] = static_cast<std::uint8_t>(state);
            break;
        case 1:
            run[i] = static_cast<std::uint8_t>(state + i);
            break;
        default:
            state = state * 1103515245u + 12345u;
            run[i] = static_cast<std::uint8_t>(state >> 16);
            break;
        }
    }
    return run;
}

// Bytes the device sent together, arriving at one time.
struct Arrival {
    std::uint64_t at;
    Bytes bytes;
};

// What one collection meets: the port's behaviour and what the device sent.
struct CollectionScript {
    bool queryFails = false;
    DWORD queryError = 0;
    bool readFails = false;
    DWORD readError = 0;
    bool limited = false;
    std::uint32_t limit = 0;
    bool pendingRead = false;
    fake::Completion readCompletion;
    std::uint32_t deliveredOnCancel = 0;
    bool pendingWrite = false;
    fake::Completion writeCompletion;
    Bytes payload;
    bool late = false;
    Bytes latePayload;
    std::uint64_t lateDelay = 0;
    // How many collections after this one meet the same.
    int repeats = 0;
};

// What the run did, as seen from the fuzzer's side of the fake.
struct Run {
    bool portPresent = true;
    bool deviceLeaves = false;
    std::uint64_t leavesAt = 0;
    int queueQueries = 0;
    // Where each collection's bytes start in the fake's delivered bytes.
    std::vector<std::size_t> deliveredFrom;
    // How many bytes each collection must take when nothing was scripted to
    // get in its way (all that waited, up to the buffer's size); -1 otherwise.
    std::vector<long> takesAll;
    // Whether a read may have lost bytes: one cancelled after taking them.
    bool readsMayLose = false;
    std::vector<Arrival> sent;
    std::size_t sentCount = 0;
    // The script in force and how many more collections it serves.
    CollectionScript script;
    int repeatsLeft = 0;
};

void Send(Run &run, std::uint64_t at, const Bytes &bytes)
{
    const std::size_t count = std::min(bytes.size(), MaxSentPerRun - run.sentCount);
    if (count == 0) {
        return;
    }
    Bytes sent(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    fake::Arrive(at, sent);
    run.sent.push_back({at, std::move(sent)});
    run.sentCount += count;
}

CollectionScript ScriptFrom(Input &input)
{
    CollectionScript script;
    const std::uint8_t control = input.Byte();
    script.queryFails = (control & 0x01) != 0;
    script.readFails = (control & 0x02) != 0;
    script.limited = (control & 0x04) != 0;
    script.pendingRead = (control & 0x08) != 0;
    script.pendingWrite = (control & 0x10) != 0;
    script.late = (control & 0x20) != 0;
    // Lets a short input reach the later collections, or flood them all.
    constexpr int Repeats[] = {0, 3, 15, static_cast<int>(trace::CollectionCount)};
    script.repeats = Repeats[control >> 6];

    if (script.queryFails) {
        script.queryError = FailureFrom(input);
    }
    if (script.readFails) {
        script.readError = FailureFrom(input);
    }
    if (script.limited) {
        script.limit = input.Word() % (ReceiveBufferSize + 1);
    }
    if (script.pendingRead) {
        script.readCompletion = CompletionFrom(input);
        script.deliveredOnCancel = input.Word();
    }
    if (script.pendingWrite) {
        script.writeCompletion = CompletionFrom(input);
    }
    script.payload = PayloadFrom(input);
    if (script.late) {
        script.latePayload = PayloadFrom(input);
        script.lateDelay = 1 + static_cast<std::uint64_t>(input.Word()) * 4;
    }
    return script;
}

// Scripts the next collection at the moment its queue query is made.
void ScriptCollection(Run &run, Input &input)
{
    fake::State &port = fake::Port();
    run.deliveredFrom.push_back(port.delivered.size());
    if (run.repeatsLeft > 0) {
        --run.repeatsLeft;
    } else {
        run.script = ScriptFrom(input);
        run.repeatsLeft = run.script.repeats;
    }
    const CollectionScript &script = run.script;

    // Nothing scripted for an earlier collection may linger into this one.
    port.results["ClearCommError"].clear();
    port.results["ReadFile"].clear();
    port.readLimits.clear();
    port.readCompletions.clear();
    port.writeCompletions.clear();
    port.deliveredOnCancel = 0;

    if (script.queryFails) {
        port.results["ClearCommError"].push_back(script.queryError);
    }
    if (script.readFails) {
        port.results["ReadFile"].push_back(script.readError);
    }
    if (script.limited) {
        port.readLimits.push_back(script.limit);
    }
    bool readCompletesInTime = true;
    if (script.pendingRead) {
        port.readCompletions.push_back(script.readCompletion);
        port.deliveredOnCancel = script.deliveredOnCancel;
        readCompletesInTime = script.readCompletion.kind != fake::Completion::Never &&
                              script.readCompletion.afterMs <= ReadCompletionBoundMs;
        run.readsMayLose = run.readsMayLose || !readCompletesInTime;
    }
    if (script.pendingWrite) {
        port.writeCompletions.push_back(script.writeCompletion);
    }

    Send(run, port.now, script.payload);
    if (script.late) {
        // Arrives after this query, to be taken by a later collection.
        Send(run, port.now + script.lateDelay, script.latePayload);
    }

    long takesAll = -1;
    const bool reachable = run.portPresent && !(run.deviceLeaves && port.now >= run.leavesAt);
    if (reachable && !script.queryFails && !script.readFails && !script.limited && readCompletesInTime) {
        const auto due = std::upper_bound(port.incoming.begin(), port.incoming.end(), port.now,
                                          [](std::uint64_t now, const auto &arrival) { return now < arrival.first; });
        takesAll = std::min<long>(due - port.incoming.begin(), ReceiveBufferSize);
    }
    run.takesAll.push_back(takesAll);
}

// Walks the trace line by line.
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text) {}

    std::string Next(const char *what)
    {
        const std::size_t end = text_.find('\n', at_);
        Require(end != std::string::npos, what);
        std::string line(text_.substr(at_, end - at_));
        at_ = end + 1;
        return line;
    }

    void Expect(const std::string &line, const char *what) { Require(Next(what) == line, what); }

    bool AtEnd() const { return at_ == text_.size(); }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A dump line: "[XX] " per byte, uppercase, nothing else.
Bytes ParseDump(const std::string &line, int collection)
{
    Require(line.size() % 5 == 0, "dump line is whole [XX] tokens", collection);
    Bytes bytes;
    for (std::size_t i = 0; i < line.size(); i += 5) {
        const int high = HexDigit(line[i + 1]);
        const int low = HexDigit(line[i + 2]);
        Require(line[i] == '[' && high >= 0 && low >= 0 && line[i + 3] == ']' && line[i + 4] == ' ',
                "dump token is [XX] with uppercase hex", collection);
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

long ParseCount(const std::string &line, int collection)
{
    Require(!line.empty() && line.size() <= 5, "count line is a short number", collection);
    Require(line == "0" || line[0] != '0', "count line has no leading zeros", collection);
    long value = 0;
    for (char c : line) {
        Require(c >= '0' && c <= '9', "count line is decimal digits", collection);
        value = value * 10 + (c - '0');
    }
    return value;
}

bool Printable(std::uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7F;
}

class TraceChecker {
public:
    TraceChecker(std::string_view trace, const Run &run) : lines_(trace), run_(run) {}

    // One collection: its count line when shown, then its dump; returns the
    // bytes dumped.
    Bytes Collection(bool showCount)
    {
        const int index = next_++;
        Require(static_cast<std::size_t>(index) < run_.deliveredFrom.size(), "collection made its queue query", index);
        long count = -1;
        if (showCount) {
            count = ParseCount(lines_.Next("count line"), index);
            Require(count <= static_cast<long>(ReceiveBufferSize), "count at most the buffer size", index);
        }
        Bytes dumped = ParseDump(lines_.Next("dump line"), index);
        Require(dumped.size() <= ReceiveBufferSize, "dump at most the buffer size", index);
        if (showCount) {
            Require(static_cast<long>(dumped.size()) == count, "dump holds as many bytes as counted", index);
        }
        const fake::State &port = fake::Port();
        const std::size_t from = run_.deliveredFrom[static_cast<std::size_t>(index)];
        const std::size_t to = static_cast<std::size_t>(index) + 1 < run_.deliveredFrom.size()
                                   ? run_.deliveredFrom[static_cast<std::size_t>(index) + 1]
                                   : port.delivered.size();
        const Bytes delivered(port.delivered.begin() + static_cast<std::ptrdiff_t>(from),
                              port.delivered.begin() + static_cast<std::ptrdiff_t>(to));
        Require(dumped == delivered, "dump is exactly what the collection's read delivered, in order", index);
        const long takesAll = run_.takesAll[static_cast<std::size_t>(index)];
        if (takesAll >= 0) {
            Require(static_cast<long>(dumped.size()) == takesAll, "undisturbed collection takes all that waited",
                    index);
        }
        all_.insert(all_.end(), dumped.begin(), dumped.end());
        return dumped;
    }

    void Verdict(const Bytes &dumped)
    {
        const bool ack = !dumped.empty() && dumped[0] == trace::Ack;
        Require(lines_.Next("verdict line") == std::string(ack ? trace::AcknowledgedLine : trace::NoAnswerLine),
                "verdict matches the first byte taken", next_ - 1);
    }

    void Text(const Bytes &dumped)
    {
        const int index = next_ - 1;
        const std::string text = lines_.Next("text line");
        Require(text.size() <= trace::MaxTextLength, "text at most 20 characters", index);
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<std::uint8_t>(text[i]);
            Require(Printable(byte), "text only 0x20..0x7F", index);
            Require(i < dumped.size() && dumped[i] == byte, "text is the reply's leading bytes", index);
        }
        Require(text.size() == trace::MaxTextLength || text.size() == dumped.size() || !Printable(dumped[text.size()]),
                "text runs until a byte outside 0x20..0x7F, the end of the reply or 20 characters", index);
    }

    void Expect(const std::string &line, const char *what) { lines_.Expect(line, what); }
    std::string Next(const char *what) { return lines_.Next(what); }
    bool AtEnd() const { return lines_.AtEnd(); }
    int Collections() const { return next_; }
    const Bytes &AllDumped() const { return all_; }

private:
    Lines lines_;
    const Run &run_;
    int next_ = 0;
    Bytes all_;
};

void CheckTrace(const std::string &text, const Run &run)
{
    const std::string bringUp = trace::BringUpText(run.portPresent);
    Require(text.compare(0, bringUp.size(), bringUp) == 0, "bring-up lines come first");
    TraceChecker check(std::string_view(text).substr(bringUp.size()), run);

    for (const trace::Request &request : trace::Requests()) {
        check.Expect(request.label, "request label");
        if (!request.collected) {
            continue;
        }
        const Bytes dumped = check.Collection(request.countShown);
        if (request.shows == trace::Request::Verdict) {
            check.Verdict(dumped);
        } else if (request.shows == trace::Request::Text) {
            check.Text(dumped);
        }
    }

    const std::string released = trace::ReleaseText(run.portPresent);
    check.Expect(released.substr(0, released.size() - 1), "release line");
    Require(check.AtEnd(), "nothing after the release line");
    Require(check.Collections() == static_cast<int>(trace::CollectionCount), "one queue query per collection");
    Require(run.deliveredFrom.size() == trace::CollectionCount, "no queue query but collections'");
    Require(run.deliveredFrom.empty() || run.deliveredFrom[0] == 0, "no read before the first collection");

    // The bytes shown are the device's, in the order it sent them. Only a
    // read cancelled after taking bytes may drop some of them.
    std::vector<const Arrival *> arrivals(run.sent.size());
    std::transform(run.sent.begin(), run.sent.end(), arrivals.begin(), [](const Arrival &arrival) { return &arrival; });
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival *a, const Arrival *b) { return a->at < b->at; });
    Bytes sent;
    for (const Arrival *arrival : arrivals) {
        sent.insert(sent.end(), arrival->bytes.begin(), arrival->bytes.end());
    }
    const Bytes &dumped = check.AllDumped();
    std::size_t matched = 0;
    for (std::size_t position = 0; position < sent.size() && matched < dumped.size(); ++position) {
        if (sent[position] == dumped[matched]) {
            ++matched;
        } else {
            Require(run.readsMayLose, "dumped bytes are the device's bytes from the start, none skipped");
        }
    }
    Require(matched == dumped.size(), "no byte shown that the device did not send");
}

// Every request goes out whatever the device answered: the port receives the
// whole request sequence, or its start when the device leaves.
void CheckWrites(const Run &run)
{
    Bytes requests;
    for (const trace::Request &request : trace::Requests()) {
        requests.insert(requests.end(), request.bytes.begin(), request.bytes.end());
    }
    Bytes written;
    for (const fake::Write &write : fake::Port().writes) {
        written.insert(written.end(), write.bytes.begin(), write.bytes.end());
    }
    Require(written.size() <= requests.size() && std::equal(written.begin(), written.end(), requests.begin()),
            "writes are the requests in order");
    if (run.portPresent && !run.deviceLeaves) {
        Require(written.size() == requests.size(), "every request is written");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input input(data, size);
    Run run;
    fake::Reset();
    fake::State &port = fake::Port();
    port.traceAsText = true;
    port.recordCalls = false;

    const std::uint8_t flags = input.Byte();
    // Mostly present: an absent port makes every collection empty.
    run.portPresent = (flags & 0x0F) != 0x0F;
    port.portPresent = run.portPresent;
    if ((flags & 0x10) != 0) {
        run.deviceLeaves = true;
        run.leavesAt = static_cast<std::uint64_t>(input.Word()) * 4;
        port.goneAt = run.leavesAt;
    }
    if ((flags & 0x20) != 0) {
        port.writeCompletions.push_back(CompletionFrom(input));
    }

    port.beforeCall = [&run, &input](const char *name) {
        if (std::strcmp(name, "ClearCommError") == 0 && ++run.queueQueries > BringUpQueueQueries) {
            ScriptCollection(run, input);
        }
    };

    const int status = RunProgram();
    port.beforeCall = nullptr;

    Require(status == 0, "exit status 0");
    Require(port.keyWaits == 1, "one key wait at the end");
    Require(port.violations.empty(), "fake saw no misuse of pending operations");
    const std::string trace = fake::Output();
    CheckTrace(trace, run);
    CheckWrites(run);
    // Free what this run allocated, so that libFuzzer's leak check sees
    // balanced allocations and only looks closer when the program leaks.
    fake::Reset();
    return 0;
}
