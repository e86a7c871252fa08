// The console on POSIX: standard output for the trace, standard input for the
// final key press.
#include "platform/console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long the rest of a key's escape sequence may take to arrive after its
// ESC; a lone ESC key sends nothing more.
constexpr int EscapeSequenceGapMs = 50;
constexpr int MaxEscapeSequenceLength = 16;

bool OutputIsConsole = false;

// The terminal mode to put back, also from a signal handler.
termios SavedMode;
volatile sig_atomic_t ModeSaved = 0;

extern "C" void RestoreModeAndDie(int signalNumber)
{
    if (ModeSaved != 0) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &SavedMode);
    }
    (void)signal(signalNumber, SIG_DFL);
    (void)raise(signalNumber);
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

// Consumes the rest of a key that began with ESC: CSI (ESC [ ... final byte)
// or SS3 (ESC O x), so that a cursor or function key counts as one key.
void SkipEscapeSequence()
{
    unsigned char byte = 0;
    if (!ReadKeyByte(byte, EscapeSequenceGapMs)) {
        return; // the ESC key alone
    }
    if (byte == 'O') {
        (void)ReadKeyByte(byte, EscapeSequenceGapMs);
        return;
    }
    if (byte != '[') {
        return;
    }
    for (int i = 0; i < MaxEscapeSequenceLength; ++i) {
        if (!ReadKeyByte(byte, EscapeSequenceGapMs) || (byte >= 0x40 && byte <= 0x7E)) {
            return;
        }
    }
}

} // namespace

void PrepareConsole()
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
    OutputIsConsole = isatty(STDOUT_FILENO) == 1;
}

void WriteConsoleText(const char *text, std::size_t length)
{
    // Lost output is not the device's concern: errors are ignored.
    (void)std::fwrite(text, 1, length, stdout);
    if (OutputIsConsole) {
        (void)std::fflush(stdout);
    }
}

void WaitForKey()
{
    (void)std::fflush(stdout);
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &SavedMode) != 0) {
        return;
    }
    ModeSaved = 1;
    struct sigaction restore = {};
    restore.sa_handler = RestoreModeAndDie;
    sigemptyset(&restore.sa_mask);
    struct sigaction oldTerm = {};
    struct sigaction oldHangup = {};
    (void)sigaction(SIGTERM, &restore, &oldTerm);
    (void)sigaction(SIGHUP, &restore, &oldHangup);

    termios raw = SavedMode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        unsigned char key = 0;
        if (ReadKeyByte(key, -1) && key == 0x1B) {
            SkipEscapeSequence();
        }
    }

    (void)tcsetattr(STDIN_FILENO, TCSANOW, &SavedMode);
    ModeSaved = 0;
    (void)sigaction(SIGTERM, &oldTerm, nullptr);
    (void)sigaction(SIGHUP, &oldHangup, nullptr);
}
