#include "fake_platform.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "platform/console.h"

namespace fake {

namespace {

State TheState;

// The one operation that may be outstanding on the port.
struct Operation {
    bool active = false;
    bool isRead = false;
    OVERLAPPED *overlap = nullptr;
    unsigned char *destination = nullptr;
    const unsigned char *source = nullptr;
    Bytes bytes;
    std::uint64_t completesAt = 0;
    bool never = false;
    // Ends aborted, with this many of its bytes transferred.
    bool aborted = false;
    std::size_t abortedWith = 0;
    // Cancelled in vain: the handle may still be closed over it.
    bool cancelIgnored = false;
};

Operation Outstanding;

// The console writer's drain, while it runs, and whether a console write
// is the writer's (else the program's own thread makes it).
void (*WriterDrain)() = nullptr;
bool InWriter = false;

void RunWriterTurn()
{
    InWriter = true;
    WriterDrain();
    InWriter = false;
}

// A wait long enough to see any scripted completion.
constexpr DWORD WaitWithoutLimit = 0xFFFFFFFFu;

HANDLE const TheHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x4C0));

void Record(const char *name, std::initializer_list<std::uint64_t> args = {})
{
    if (TheState.recordCalls) {
        TheState.calls.push_back({name, std::vector<std::uint64_t>(args), TheState.now});
    }
    if (TheState.beforeCall) {
        TheState.beforeCall(name);
    }
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// The outcome of a port call: the scripted one if any, else success on the
// open port and ERROR_INVALID_HANDLE on any other handle.
BOOL Outcome(const char *name, HANDLE port)
{
    const auto scripted = TheState.results.find(name);
    if (scripted != TheState.results.end() && !scripted->second.empty()) {
        auto &queue = scripted->second;
        const DWORD code = queue.front();
        queue.pop_front();
        if (code != 0) {
            return Fail(code);
        }
        return TRUE;
    }
    if (port != TheHandle || !TheState.portPresent) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

bool Gone()
{
    return TheState.now >= TheState.goneAt;
}

std::uint32_t Waiting()
{
    // The queue is in arrival order: what waits is everything due by now.
    const auto due = std::upper_bound(TheState.incoming.begin(), TheState.incoming.end(), TheState.now,
                                      [](std::uint64_t now, const auto &arrival) { return now < arrival.first; });
    return static_cast<std::uint32_t>(due - TheState.incoming.begin());
}

Bytes Take(std::uint32_t count)
{
    Bytes taken;
    while (taken.size() < count && !TheState.incoming.empty() && TheState.incoming.front().first <= TheState.now) {
        taken.push_back(TheState.incoming.front().second);
        TheState.incoming.pop_front();
    }
    return taken;
}

void CheckRecordFree(const char *what)
{
    if (Outstanding.active && !(Outstanding.cancelIgnored && std::strcmp(what, "CloseHandle") == 0)) {
        TheState.violations.push_back({TheState.now, std::string(what) + " while an operation is pending"});
    }
}

void Finish(DWORD status, std::size_t delivered)
{
    if (Outstanding.isRead && delivered > 0) {
        std::memcpy(Outstanding.destination, Outstanding.bytes.data(), delivered);
        TheState.delivered.insert(TheState.delivered.end(), Outstanding.bytes.begin(),
                                  Outstanding.bytes.begin() + static_cast<std::ptrdiff_t>(delivered));
    }
    // A write takes its bytes from the caller's buffer until it completes.
    if (!Outstanding.isRead && !Outstanding.bytes.empty() &&
        std::memcmp(Outstanding.source, Outstanding.bytes.data(), Outstanding.bytes.size()) != 0) {
        TheState.violations.push_back({TheState.now, "write buffer changed while the write was pending"});
    }
    Outstanding.overlap->Internal = status;
    Outstanding.overlap->InternalHigh = delivered;
    Outstanding.active = false;
}

// With the settings' fOutX on, a driver takes XON and XOFF out of what it
// receives and holds its output from an XOFF to the next XON.
void ActOnFlowControl()
{
    const DCB &settings = TheState.portSettings;
    if (!TheState.actOnFlowControl || settings.fOutX == 0) {
        return;
    }
    auto &incoming = TheState.incoming;
    for (auto arrival = incoming.begin(); arrival != incoming.end() && arrival->first <= TheState.now;) {
        if (arrival->second == static_cast<std::uint8_t>(settings.XoffChar)) {
            TheState.outputHeld = true;
            arrival = incoming.erase(arrival);
        } else if (arrival->second == static_cast<std::uint8_t>(settings.XonChar)) {
            TheState.outputHeld = false;
            arrival = incoming.erase(arrival);
        } else {
            ++arrival;
        }
    }
}

// How many of count bytes reach the line before the write's total time-out
// (none: all of them). At 9600 bit/s with 10 bits a byte, 0.96 bytes a ms.
DWORD BytesBeforeWriteTimeout(DWORD count)
{
    const COMMTIMEOUTS &timeouts = TheState.portTimeouts;
    const std::uint64_t totalMs =
        std::uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count + timeouts.WriteTotalTimeoutConstant;
    if (totalMs == 0) {
        return count;
    }
    return static_cast<DWORD>(std::min<std::uint64_t>(count, totalMs * 96 / 100));
}

Completion NextCompletion(std::deque<Completion> &queue)
{
    if (queue.empty()) {
        return {};
    }
    const Completion next = queue.front();
    queue.pop_front();
    return next;
}

} // namespace

State &Port()
{
    return TheState;
}

void Reset()
{
    TheState = State{};
    TheState.portSettings.DCBlength = sizeof(DCB);
    TheState.portSettings.BaudRate = 115200;
    TheState.portSettings.ByteSize = 7;
    TheState.portSettings.Parity = EVENPARITY;
    TheState.portSettings.StopBits = TWOSTOPBITS;
    TheState.portSettings.fBinary = 1;
    TheState.portSettings.fParity = 1;
    TheState.portSettings.fOutxCtsFlow = 1;
    TheState.portSettings.fOutxDsrFlow = 1;
    TheState.portSettings.fDtrControl = DTR_CONTROL_HANDSHAKE;
    TheState.portSettings.fDsrSensitivity = 1;
    TheState.portSettings.fTXContinueOnXoff = 1;
    TheState.portSettings.fOutX = 1;
    TheState.portSettings.fInX = 1;
    TheState.portSettings.fErrorChar = 1;
    TheState.portSettings.fNull = 1;
    TheState.portSettings.fRtsControl = RTS_CONTROL_TOGGLE;
    TheState.portSettings.fAbortOnError = 1;
    TheState.portSettings.XonLim = 100;
    TheState.portSettings.XoffLim = 200;
    TheState.portSettings.XonChar = 0x21;
    TheState.portSettings.XoffChar = 0x23;
    TheState.portSettings.ErrorChar = '?';
    TheState.portSettings.EofChar = 0x1A;
    TheState.portSettings.EvtChar = '!';
    Outstanding = Operation{};
    WriterDrain = nullptr;
    SetLastError(0);
}

HANDLE OpenHandle()
{
    return TheHandle;
}

void Arrive(std::uint64_t at, const Bytes &bytes)
{
    // After everything due no later than they are, so that the queue stays
    // in arrival order.
    auto position = std::upper_bound(TheState.incoming.begin(), TheState.incoming.end(), at,
                                     [](std::uint64_t time, const auto &arrival) { return time < arrival.first; });
    position = TheState.incoming.insert(position, bytes.size(), {at, 0});
    for (std::uint8_t byte : bytes) {
        (position++)->second = byte;
    }
}

std::string Output()
{
    if (TheState.traceAsText) {
        return TheState.traceText;
    }
    std::string all;
    for (const Message &message : TheState.messages) {
        all += message.text;
    }
    return all;
}

std::vector<Call> CallsTo(const std::string &name)
{
    std::vector<Call> found;
    std::copy_if(TheState.calls.begin(), TheState.calls.end(), std::back_inserter(found),
                 [&name](const Call &call) { return call.name == name; });
    return found;
}

} // namespace fake

using fake::TheState;
using fake::WaitWithoutLimit;

namespace {
thread_local DWORD FakeLastError = 0;
}

DWORD GetLastError()
{
    return FakeLastError;
}

void SetLastError(DWORD code)
{
    FakeLastError = code;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flags, HANDLE templateFile)
{
    fake::Record("CreateFileA",
                 {reinterpret_cast<std::uintptr_t>(name), access, shareMode, reinterpret_cast<std::uintptr_t>(security),
                  creation, flags, reinterpret_cast<std::uintptr_t>(templateFile)});
    TheState.openedName = name;
    auto &queue = TheState.results["CreateFileA"];
    DWORD code = TheState.portPresent ? 0 : ERROR_FILE_NOT_FOUND;
    if (!queue.empty()) {
        code = queue.front();
        queue.pop_front();
    }
    if (code != 0) {
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    }
    return fake::TheHandle;
}

BOOL PurgeComm(HANDLE port, DWORD flags)
{
    fake::Record("PurgeComm", {flags});
    return fake::Outcome("PurgeComm", port);
}

BOOL ClearCommBreak(HANDLE port)
{
    fake::Record("ClearCommBreak");
    return fake::Outcome("ClearCommBreak", port);
}

BOOL GetCommState(HANDLE port, LPDCB settings)
{
    fake::Record("GetCommState");
    if (!fake::Outcome("GetCommState", port)) {
        // A failed call may leave anything in the record.
        std::memset(settings, 0xA5, sizeof(DCB));
        return FALSE;
    }
    *settings = TheState.portSettings;
    return TRUE;
}

BOOL SetCommState(HANDLE port, LPDCB settings)
{
    fake::Record("SetCommState");
    TheState.writtenSettings.push_back(*settings);
    if (!fake::Outcome("SetCommState", port)) {
        return FALSE;
    }
    TheState.portSettings = *settings;
    return TRUE;
}

BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status)
{
    fake::Record("ClearCommError");
    if (!fake::Outcome("ClearCommError", port)) {
        return FALSE;
    }
    if (fake::Gone()) {
        return fake::Fail(ERROR_GEN_FAILURE);
    }
    fake::ActOnFlowControl();
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = fake::Waiting();
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE port, DWORD function)
{
    fake::Record("EscapeCommFunction", {function});
    return fake::Outcome("EscapeCommFunction", port);
}

BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    fake::Record("ReadFile", {count});
    fake::CheckRecordFree("ReadFile");
    // A program must take its counts from the completed operation.
    if (done != nullptr) {
        *done = 0xDEAD;
    }
    if (!fake::Outcome("ReadFile", port)) {
        return FALSE;
    }
    if (fake::Gone()) {
        return fake::Fail(ERROR_HANDLE_EOF);
    }
    fake::ActOnFlowControl();
    std::uint32_t limit = count;
    if (!TheState.readLimits.empty()) {
        limit = std::min(limit, TheState.readLimits.front());
        TheState.readLimits.pop_front();
    }
    fake::Outstanding = fake::Operation{};
    fake::Outstanding.active = true;
    fake::Outstanding.isRead = true;
    fake::Outstanding.overlap = overlapped;
    fake::Outstanding.destination = static_cast<unsigned char *>(buffer);
    fake::Outstanding.bytes = fake::Take(limit);
    const fake::Completion how = fake::NextCompletion(TheState.readCompletions);
    if (how.kind == fake::Completion::AtOnce) {
        fake::Finish(ERROR_SUCCESS, fake::Outstanding.bytes.size());
        return TRUE;
    }
    fake::Outstanding.never = how.kind == fake::Completion::Never;
    fake::Outstanding.aborted = how.kind == fake::Completion::Aborted;
    fake::Outstanding.abortedWith = std::min<std::size_t>(how.delivered, fake::Outstanding.bytes.size());
    fake::Outstanding.completesAt = TheState.now + how.afterMs;
    // The buffer fills only when the read completes.
    return fake::Fail(ERROR_IO_PENDING);
}

BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    fake::Record("WriteFile", {count});
    fake::CheckRecordFree("WriteFile");
    if (done != nullptr) {
        *done = 0xDEAD;
    }
    if (!fake::Outcome("WriteFile", port)) {
        return FALSE;
    }
    if (fake::Gone()) {
        return fake::Fail(ERROR_GEN_FAILURE);
    }
    fake::ActOnFlowControl();
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    fake::Outstanding = fake::Operation{};
    fake::Outstanding.active = true;
    fake::Outstanding.overlap = overlapped;
    fake::Outstanding.source = bytes;
    fake::Outstanding.bytes.assign(bytes, bytes + count);
    fake::Completion how = fake::NextCompletion(TheState.writeCompletions);
    if (TheState.outputHeld) {
        how = {fake::Completion::Never, 0};
    } else {
        const fake::Bytes sent(bytes, bytes + fake::BytesBeforeWriteTimeout(count));
        TheState.writes.push_back({TheState.now, sent});
        if (TheState.device) {
            TheState.device(sent);
        }
        if (sent.size() < count) {
            how = fake::Completion{};
            fake::Outstanding.bytes = sent;
        }
    }
    if (how.kind == fake::Completion::AtOnce) {
        fake::Finish(ERROR_SUCCESS, fake::Outstanding.bytes.size());
        return TRUE;
    }
    fake::Outstanding.never = how.kind == fake::Completion::Never;
    fake::Outstanding.aborted = how.kind == fake::Completion::Aborted;
    fake::Outstanding.abortedWith = std::min<std::size_t>(how.delivered, fake::Outstanding.bytes.size());
    fake::Outstanding.completesAt = TheState.now + how.afterMs;
    return fake::Fail(ERROR_IO_PENDING);
}

namespace fake {
namespace {

// Waits up to milliseconds of virtual time for the outstanding operation;
// true when it has completed by then (or none was outstanding).
bool AwaitOutstanding(const OVERLAPPED *overlapped, DWORD milliseconds)
{
    if (!Outstanding.active || Outstanding.overlap != overlapped) {
        return true;
    }
    if (Outstanding.never || Outstanding.completesAt > TheState.now + milliseconds) {
        TheState.now += milliseconds;
        return false;
    }
    TheState.now = std::max(TheState.now, Outstanding.completesAt);
    if (Outstanding.aborted) {
        Finish(ERROR_OPERATION_ABORTED, Outstanding.abortedWith);
    } else {
        Finish(ERROR_SUCCESS, Outstanding.bytes.size());
    }
    return true;
}

} // namespace
} // namespace fake

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    fake::Record("WaitForSingleObject", {milliseconds});
    if (object != fake::TheHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // The port's handle is signalled when its one operation completes.
    const OVERLAPPED *operation = fake::Outstanding.active ? fake::Outstanding.overlap : nullptr;
    return fake::AwaitOutstanding(operation, milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait)
{
    fake::Record("GetOverlappedResult", {static_cast<std::uint64_t>(wait)});
    if (port != fake::TheHandle) {
        return fake::Fail(ERROR_INVALID_HANDLE);
    }
    if (fake::Outstanding.active && fake::Outstanding.overlap == overlapped) {
        if (!wait) {
            return fake::Fail(ERROR_IO_INCOMPLETE);
        }
        if (fake::Outstanding.never) {
            // A real wait would never return.
            TheState.violations.push_back({TheState.now, "waited without limit for an operation that never ends"});
            return fake::Fail(ERROR_GEN_FAILURE);
        }
        (void)fake::AwaitOutstanding(overlapped, WaitWithoutLimit);
    }
    *done = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        return fake::Fail(static_cast<DWORD>(overlapped->Internal));
    }
    return TRUE;
}

BOOL CancelIoEx(HANDLE port, LPOVERLAPPED overlapped)
{
    fake::Record("CancelIoEx");
    if (port != fake::TheHandle) {
        return fake::Fail(ERROR_INVALID_HANDLE);
    }
    if (!fake::Outstanding.active || fake::Outstanding.overlap != overlapped) {
        return fake::Fail(ERROR_NOT_FOUND);
    }
    if (TheState.cancelIgnored && fake::Outstanding.never) {
        fake::Outstanding.cancelIgnored = true;
        return TRUE;
    }
    const std::size_t delivered =
        fake::Outstanding.isRead ? std::min<std::size_t>(TheState.deliveredOnCancel, fake::Outstanding.bytes.size())
                                 : 0;
    fake::Finish(ERROR_OPERATION_ABORTED, delivered);
    return TRUE;
}

BOOL CloseHandle(HANDLE port)
{
    fake::Record("CloseHandle");
    fake::CheckRecordFree("CloseHandle");
    // As on Windows: the invalid handle is the current process's
    // pseudo-handle, and closing that succeeds and does nothing.
    if (port == INVALID_HANDLE_VALUE) {
        return TRUE;
    }
    return fake::Outcome("CloseHandle", port);
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts)
{
    fake::Record("SetCommTimeouts");
    TheState.writtenTimeouts.push_back(*timeouts);
    if (!fake::Outcome("SetCommTimeouts", port)) {
        return FALSE;
    }
    TheState.portTimeouts = *timeouts;
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    fake::Record("Sleep", {milliseconds});
    std::int64_t us = std::int64_t{milliseconds} * 1000;
    if (!TheState.sleepErrorsUs.empty()) {
        us = std::max<std::int64_t>(0, us + TheState.sleepErrorsUs.front());
        TheState.sleepErrorsUs.pop_front();
    }
    const std::uint64_t fine = TheState.nowUs + static_cast<std::uint64_t>(us);
    TheState.now += fine / 1000;
    TheState.nowUs = static_cast<std::uint32_t>(fine % 1000);
}

// Reading the clock changes nothing, so these calls are not recorded.
BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency)
{
    frequency->QuadPart = TheState.counterFrequency;
    return TheState.counterFrequency > 0 ? TRUE : FALSE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *count)
{
    if (TheState.counterFrequency <= 0) {
        count->QuadPart = 0;
        return FALSE;
    }
    const std::int64_t us =
        TheState.counterStopped ? 12345 : static_cast<std::int64_t>(TheState.now * 1000 + TheState.nowUs);
    // Counts since an arbitrary origin, as on Windows.
    count->QuadPart = 987654321 + us * TheState.counterFrequency / 1000000 * TheState.counterRatePercent / 100;
    return TRUE;
}

MMRESULT timeBeginPeriod(UINT period)
{
    fake::Record("timeBeginPeriod", {period});
    ++TheState.finePeriodsHeld;
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period)
{
    fake::Record("timeEndPeriod", {period});
    --TheState.finePeriodsHeld;
    return TIMERR_NOERROR;
}

bool PrepareConsole()
{
    TheState.consolePrepared = true;
    return TheState.outputIsConsole;
}

std::size_t WriteConsoleText(const char *text, std::size_t length)
{
    if (length > TheState.consoleRoom) {
        length = TheState.consoleRoom;
        TheState.consoleRoom = ++TheState.consoleFailedWrites == TheState.consoleRecoversAfter ? SIZE_MAX : 0;
    } else if (TheState.consoleRoom != SIZE_MAX) {
        TheState.consoleRoom -= length;
    }
    if (TheState.consoleWriteError != 0) {
        SetLastError(TheState.consoleWriteError);
    }
    const std::uint64_t ms = TheState.consoleWriteMs ? TheState.consoleWriteMs(std::string(text, length)) : 0;
    std::uint64_t endedAt = 0;
    if (fake::InWriter) {
        TheState.writerBusyUntil = std::max(TheState.writerBusyUntil, TheState.now) + ms;
        endedAt = TheState.writerBusyUntil;
    } else {
        // Written by the program's own thread, which waits for it.
        TheState.now += ms;
        endedAt = TheState.now;
    }
    if (TheState.traceAsText) {
        TheState.traceText.append(text, length);
    } else if (length > 0) {
        TheState.messages.push_back({endedAt, std::string(text, length)});
    }
    return length;
}

void ReportConsoleFailure(std::size_t writtenCount)
{
    TheState.consoleFailureReports.push_back(writtenCount);
}

bool StartConsoleWriter(void (*drain)())
{
    fake::Record("StartConsoleWriter");
    fake::WriterDrain = drain;
    TheState.writerRunning = true;
    return true;
}

void WakeConsoleWriter()
{
    // A writer still busy with an earlier write takes what is queued on a
    // later turn.
    if (fake::WriterDrain != nullptr && TheState.writerBusyUntil <= TheState.now) {
        fake::RunWriterTurn();
    }
}

void AwaitConsoleWriter()
{
    fake::Record("AwaitConsoleWriter");
    if (fake::WriterDrain == nullptr) {
        return;
    }
    TheState.now = std::max(TheState.now, TheState.writerBusyUntil);
    fake::RunWriterTurn();
    TheState.now = std::max(TheState.now, TheState.writerBusyUntil);
}

void StopConsoleWriter()
{
    AwaitConsoleWriter();
    fake::Record("StopConsoleWriter");
    fake::WriterDrain = nullptr;
    TheState.writerRunning = false;
}

void WaitForKey()
{
    fake::Record("WaitForKey");
    ++TheState.keyWaits;
}
