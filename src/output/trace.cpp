#include "output/trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"

namespace {

// A ring with one producer (the program's thread, in Trace) and one
// consumer (the writer, in DrainQueue). Each side moves only its own
// total; the release on a total publishes the bytes it covers.
char Queue[TraceQueueSize];
std::atomic<std::size_t> QueuedTotal{0};
std::atomic<std::size_t> WrittenTotal{0};

// Set once standard output has failed for good, by whichever thread drains
// (the writer, or the program's thread when there is none; never both at
// once). The rest of the trace is dropped from then on: a later write that
// succeeded would splice it.
bool OutputFailed = false;
// The queue's total when the run's trace began, which failures count from.
std::size_t TraceStartTotal = 0;

// Touched by the program's thread only.
bool WriterRunning = false;
bool WakeEachMessage = true;

// Writes out everything queued, in at most two pieces per turn of the ring.
void DrainQueue()
{
    for (;;) {
        const std::size_t queued = QueuedTotal.load(std::memory_order_acquire);
        const std::size_t written = WrittenTotal.load(std::memory_order_relaxed);
        if (written == queued) {
            return;
        }
        const std::size_t start = written % TraceQueueSize;
        const std::size_t length = std::min(queued - written, TraceQueueSize - start);
        if (!OutputFailed) {
            const std::size_t done = WriteConsoleText(&Queue[start], length);
            if (done < length) {
                OutputFailed = true;
                ReportConsoleFailure(written + done - TraceStartTotal);
            }
        }
        WrittenTotal.store(written + length, std::memory_order_release);
    }
}

void Enqueue(const char *text, std::size_t length)
{
    const std::size_t queued = QueuedTotal.load(std::memory_order_relaxed);
    if (TraceQueueSize - (queued - WrittenTotal.load(std::memory_order_acquire)) < length) {
        // Longer than any run's trace: only then does the dialogue wait for
        // the console.
        if (WriterRunning) {
            AwaitConsoleWriter();
        } else {
            DrainQueue();
        }
    }
    const std::size_t start = queued % TraceQueueSize;
    const std::size_t first = std::min(length, TraceQueueSize - start);
    std::memcpy(&Queue[start], text, first);
    std::memcpy(Queue, text + first, length - first);
    QueuedTotal.store(queued + length, std::memory_order_release);
}

} // namespace

void StartTrace(bool eachMessage)
{
    WakeEachMessage = eachMessage;
    OutputFailed = false;
    TraceStartTotal = WrittenTotal.load(std::memory_order_relaxed);
    WriterRunning = StartConsoleWriter(DrainQueue);
}

// A C variadic function on purpose: the messages are printf formats, and the
// format attribute on the declaration has the compiler check every call.
void Trace(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    char message[TraceMessageSize];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    const std::size_t written =
        static_cast<std::size_t>(length) < sizeof message ? static_cast<std::size_t>(length) : sizeof message - 1;
    Enqueue(message, written);
    if (!WriterRunning) {
        DrainQueue();
    } else if (WakeEachMessage) {
        WakeConsoleWriter();
    }
}

void PushTrace()
{
    if (WriterRunning) {
        WakeConsoleWriter();
    }
}

void EndTrace()
{
    if (WriterRunning) {
        StopConsoleWriter();
        WriterRunning = false;
    }
    DrainQueue(); // nothing left, unless the writer never ran
}
