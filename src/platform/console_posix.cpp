// The console on POSIX: standard output for the trace, standard input for the
// final key press.
#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What arrives with the key (the rest of its escape sequence or UTF-8
// character, the rest of a paste, a key's repeats) is taken with it until
// the input has been quiet this long, or for at most the limit, so that a
// key held down cannot keep the wait going.
constexpr int BurstQuietMs = 100;
constexpr int BurstLimitMs = 1000;
// Room for the one line that says the trace could not be written.
constexpr std::size_t TraceFailureLineSize = 256;

// The console writer. Requests and turns are counted under the lock: the
// writer serves every request made before a turn begins, and an awaiting
// caller waits until a turn begun after its request has ended.
pthread_mutex_t WriterLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t WriterWoken = PTHREAD_COND_INITIALIZER;
pthread_cond_t WriterTurnEnded = PTHREAD_COND_INITIALIZER;
unsigned long WriterRequests = 0;
unsigned long WriterRequestsServed = 0;
bool WriterStopping = false;
void (*WriterDrain)() = nullptr;
pthread_t WriterThread;
bool WriterStarted = false;

extern "C" void *RunConsoleWriter(void * /*unused*/)
{
    (void)pthread_mutex_lock(&WriterLock);
    for (;;) {
        while (WriterRequestsServed == WriterRequests && !WriterStopping) {
            (void)pthread_cond_wait(&WriterWoken, &WriterLock);
        }
        if (WriterRequestsServed == WriterRequests) {
            break; // stopping, and nothing asked for
        }
        const unsigned long serving = WriterRequests;
        (void)pthread_mutex_unlock(&WriterLock);
        WriterDrain();
        (void)pthread_mutex_lock(&WriterLock);
        WriterRequestsServed = serving;
        (void)pthread_cond_broadcast(&WriterTurnEnded);
    }
    (void)pthread_mutex_unlock(&WriterLock);
    return nullptr;
}

// The terminal mode to put back, also from a signal handler.
termios SavedMode;
volatile sig_atomic_t ModeSaved = 0;

// The dispositions replaced during the wait, by signal number.
struct sigaction ReplacedActions[NSIG];
bool Replaced[NSIG];

extern "C" void RestoreModeAndDie(int signalNumber)
{
    if (ModeSaved != 0) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &SavedMode);
    }
    (void)signal(signalNumber, SIG_DFL);
    (void)raise(signalNumber); // delivered as the handler returns
}

// Signals whose default action does not end the process, or that cannot be
// caught.
bool LeavesTheProcessRunning(int signalNumber)
{
    switch (signalNumber) {
    case SIGKILL: // ends it, but cannot be caught
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
#ifdef SIGWINCH
    case SIGWINCH:
#endif
        return true;
    default:
        return false;
    }
}

// Every signal that would end the process by default puts the terminal's
// mode back first. Signals the parent left ignored stay ignored, and a
// handler already in place stays in place.
void RestoreModeOnEndingSignals()
{
    struct sigaction restore = {};
    restore.sa_handler = RestoreModeAndDie;
    sigfillset(&restore.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        Replaced[signalNumber] = false;
        struct sigaction current = {};
        if (LeavesTheProcessRunning(signalNumber) || sigaction(signalNumber, nullptr, &current) != 0 ||
            current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) {
            continue;
        }
        Replaced[signalNumber] = sigaction(signalNumber, &restore, &ReplacedActions[signalNumber]) == 0;
    }
}

void PutBackSignalActions()
{
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (Replaced[signalNumber]) {
            (void)sigaction(signalNumber, &ReplacedActions[signalNumber], nullptr);
            Replaced[signalNumber] = false;
        }
    }
}

// Reads one byte, waiting at most timeoutMs (-1: without limit); false when
// none came or the input failed.
bool ReadKeyByte(unsigned char &byte, int timeoutMs)
{
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got == 1;
    }
}

// Consumes what arrives in the same burst as the key.
void SkipBurst()
{
    timespec start{};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    unsigned char byte = 0;
    while (ReadKeyByte(byte, BurstQuietMs)) {
        timespec now{};
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsedMs = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= BurstLimitMs) {
            return;
        }
    }
}

// Why standard output failed for good, as errno gave it.
int OutputError = 0;

// Waits until a non-blocking standard output can take more; false when it
// cannot be waited on. Only the writer waits here, never the dialogue.
bool AwaitWritableOutput()
{
    for (;;) {
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        const int ready = poll(&output, 1, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        // An error or a hang-up is left for the next write to name.
        return ready > 0 && (output.revents & POLLNVAL) == 0;
    }
}

// The words for an error number, for the failure line; strerror's buffer
// may be shared between threads.
const char *ErrorText(int error)
{
    switch (error) {
    case ENOSPC:
        return "no space left on the device";
    case EPIPE:
        return "the reader has gone";
    case EIO:
        return "input/output error";
    case EBADF:
        return "not open for writing";
    case EFBIG:
        return "the file is too large";
    case EDQUOT:
        return "disk quota exceeded";
    case EAGAIN:
        return "the output would block and cannot be waited on";
    default:
        return "a write error";
    }
}

} // namespace

bool PrepareConsole()
{
    // Standard descriptors the program was started without are put on
    // /dev/null before anything is opened, so that nothing opened later
    // takes their place and receives what is meant for them. Where there is
    // no /dev/null they stay closed; the port never takes one anyway.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const int null = open("/dev/null", O_RDWR); // the lowest free one: fd
        if (null < 0) {
            break;
        }
        if (null != fd) { // only if a lower one was closed meanwhile
            (void)dup2(null, fd);
            (void)close(null);
        }
    }
    // A reader that goes away (comtrace | head) must not end the run while
    // the device is in the middle of the dialogue.
    (void)signal(SIGPIPE, SIG_IGN);
    return isatty(STDOUT_FILENO) == 1;
}

std::size_t WriteConsoleText(const char *text, std::size_t length)
{
    // The system call itself, not stdio: a failed fwrite throws away what
    // its buffer held and goes on with the next message, splicing the trace.
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write(STDOUT_FILENO, text + done, length - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && AwaitWritableOutput()) {
            continue;
        }
        OutputError = wrote < 0 ? errno : EIO; // nothing taken and no error: the output is stuck
        break;
    }
    return done;
}

void ReportConsoleFailure(std::size_t writtenCount)
{
    char line[TraceFailureLineSize];
    const int length =
        std::snprintf(line, sizeof line,
                      "comtrace: the trace stops after %zu bytes: writing standard output failed (%s, errno %d); "
                      "the dialogue runs to its end\n",
                      writtenCount, ErrorText(OutputError), OutputError);
    if (length <= 0) {
        return;
    }
    const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = write(STDERR_FILENO, line + done, size - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return; // a standard error that fails too: nothing else to tell
        }
        done += static_cast<std::size_t>(wrote);
    }
}

bool StartConsoleWriter(void (*drain)())
{
    WriterDrain = drain;
    WriterStopping = false;
    // Signals are for the program's thread, whose handlers put the terminal
    // back; the writer inherits a mask that blocks them all.
    sigset_t all;
    sigset_t previous;
    (void)sigfillset(&all);
    if (pthread_sigmask(SIG_SETMASK, &all, &previous) != 0) {
        return false;
    }
    WriterStarted = pthread_create(&WriterThread, nullptr, RunConsoleWriter, nullptr) == 0;
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr); // the mask it replaced, which it took
    return WriterStarted;
}

void WakeConsoleWriter()
{
    (void)pthread_mutex_lock(&WriterLock);
    ++WriterRequests;
    (void)pthread_cond_signal(&WriterWoken);
    (void)pthread_mutex_unlock(&WriterLock);
}

void AwaitConsoleWriter()
{
    (void)pthread_mutex_lock(&WriterLock);
    const unsigned long request = ++WriterRequests;
    (void)pthread_cond_signal(&WriterWoken);
    while (WriterStarted && WriterRequestsServed < request) {
        (void)pthread_cond_wait(&WriterTurnEnded, &WriterLock);
    }
    (void)pthread_mutex_unlock(&WriterLock);
}

void StopConsoleWriter()
{
    if (!WriterStarted) {
        return;
    }
    AwaitConsoleWriter();
    (void)pthread_mutex_lock(&WriterLock);
    WriterStopping = true;
    (void)pthread_cond_signal(&WriterWoken);
    (void)pthread_mutex_unlock(&WriterLock);
    (void)pthread_join(WriterThread, nullptr); // it ends once woken: nothing is left to write
    WriterStarted = false;
}

void WaitForKey()
{
    (void)std::fflush(stdout);
    // A run in the background (comtrace > session.txt &) would be stopped by
    // the shell at the first change to the terminal: nobody is there to
    // press a key, as when standard input is no terminal. A terminal that is
    // not the process's own has no say in this (tcgetpgrp fails).
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (isatty(STDIN_FILENO) != 1 || (foreground >= 0 && foreground != getpgrp()) ||
        tcgetattr(STDIN_FILENO, &SavedMode) != 0) {
        return;
    }
    ModeSaved = 1;
    RestoreModeOnEndingSignals();

    termios raw = SavedMode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Keys typed during the run are discarded, on entering and on leaving
    // raw mode: only a key pressed after the trace ends the wait, and none
    // of what came with it is left for the shell. Input still on its way
    // into the terminal while the mode changed lands after the first
    // discarding, so it is discarded again once raw mode is in force.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) {
        (void)tcflush(STDIN_FILENO, TCIFLUSH); // should it fail, the first discarding stands
        unsigned char key = 0;
        if (ReadKeyByte(key, -1)) {
            SkipBurst();
        }
    }

    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedMode);
    ModeSaved = 0;
    PutBackSignalActions();
}
