// The final key wait against a real pty as the console: one key, escape
// sequences consumed whole, Ctrl+C an ordinary key, the terminal's mode put
// back afterwards, even when the process is ended during the wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <numeric>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "output/trace.h"
#include "platform/console.h"

namespace {

// How often the tests look again at the child and its terminal.
constexpr std::chrono::milliseconds PollInterval{5};

class KeyWait : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    termios before{};

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
    }

    void TearDown() override
    {
        close(slave);
        close(master);
    }

    // Starts WaitForKey in a child whose standard input is the pty, with
    // the given signal ignored as a parent may leave it; the child exits 0
    // when the wait returns and the signal is still ignored.
    pid_t StartWait(int ignoredSignal = 0) const
    {
        const pid_t child = fork();
        if (child == 0) {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore); // SIGQUIT would leave a core file
            if (ignoredSignal != 0) {
                (void)signal(ignoredSignal, SIG_IGN);
            }
            dup2(slave, STDIN_FILENO);
            WaitForKey();
            struct sigaction after = {};
            _exit(ignoredSignal != 0 && (sigaction(ignoredSignal, nullptr, &after) != 0 || after.sa_handler != SIG_IGN)
                      ? 1
                      : 0);
        }
        return child;
    }

    // Starts a child that leads a session of its own on the pty and there
    // runs WaitForKey in a process group that is the terminal's foreground
    // or not. The child exits 0 when the wait returned, 14 when the terminal
    // stopped it.
    pid_t StartWaitInASession(bool inForeground) const
    {
        const pid_t leader = fork();
        if (leader != 0) {
            return leader;
        }
        (void)signal(SIGTTOU, SIG_IGN); // it hands the foreground on from the background
        int settled[2];
        if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || pipe(settled) != 0) {
            _exit(10);
        }
        const pid_t waiter = fork();
        if (waiter == 0) {
            (void)signal(SIGTTOU, SIG_DFL);
            (void)setpgid(0, 0);
            char byte = 0;
            if (read(settled[0], &byte, 1) != 1) { // the foreground is settled
                _exit(11);
            }
            dup2(slave, STDIN_FILENO);
            WaitForKey();
            _exit(0);
        }
        (void)setpgid(waiter, waiter);
        if ((inForeground && tcsetpgrp(slave, waiter) != 0) || write(settled[1], "s", 1) != 1) {
            _exit(12);
        }
        int status = 0;
        if (waitpid(waiter, &status, WUNTRACED) != waiter) {
            _exit(13);
        }
        if (WIFSTOPPED(status)) {
            kill(waiter, SIGKILL);
            _exit(14);
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 15);
    }

    // Waits until the child has put the terminal in raw mode.
    void AwaitRawMode() const
    {
        for (int i = 0; i < 400; ++i) {
            termios now{};
            if (tcgetattr(slave, &now) == 0 && (now.c_lflag & ICANON) == 0) {
                return;
            }
            std::this_thread::sleep_for(PollInterval);
        }
        FAIL() << "the key wait never switched the terminal to raw mode";
    }

    // Waits until the terminal has echoed text, that is has taken it in.
    void AwaitEcho(const std::string &text) const
    {
        std::string echoed;
        char byte = 0;
        pollfd ready{master, POLLIN, 0};
        while (echoed.find(text) == std::string::npos && poll(&ready, 1, 2000) > 0 && read(master, &byte, 1) == 1) {
            echoed += byte;
        }
        ASSERT_NE(echoed.find(text), std::string::npos) << "the terminal never echoed the keys";
    }

    void Type(const std::string &keys) const
    {
        ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // The status of the child once it ends, or -1 if it is still waiting
    // after the given time.
    static int StatusWithin(pid_t child, int ms)
    {
        for (int waited = 0; waited <= ms; waited += static_cast<int>(PollInterval.count())) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                return status;
            }
            std::this_thread::sleep_for(PollInterval);
        }
        return -1;
    }

    // What is left unread on the console.
    std::string Unread() const
    {
        termios raw = before;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(slave, TCSANOW, &raw);
        std::string left;
        char byte = 0;
        pollfd ready{slave, POLLIN, 0};
        while (poll(&ready, 1, 50) > 0 && read(slave, &byte, 1) == 1) {
            left += byte;
        }
        tcsetattr(slave, TCSANOW, &before);
        return left;
    }

    void ExpectModeRestored() const
    {
        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    }
};

TEST_F(KeyWait, OneKeyEndsTheWaitAndIsConsumedWholeWithItsBurst)
{
    // Each key is typed with a byte after it in the same burst; the second
    // part of a burst, if any, arrives a little later, as a paste over a
    // slow link may. Nothing is left for the shell.
    const struct {
        const char *name;
        std::string keys;
        std::string later;
    } cases[] = {
        {"a letter", "ab", ""},
        {"Ctrl+C", "\x03z", ""},
        {"a cursor key", "\x1b[Az", ""},
        {"a function key", "\x1b[15~z", ""},
        {"an SS3 key", "\x1bOPz", ""},
        {"a two-byte character", "\xC3\xA9z", ""},
        {"a four-byte character", "\xF0\x9F\x99\x82z", ""},
        {"a Linux console function key", "\x1b[[Az", ""},
        {"Alt with a two-byte character", "\x1b\xC3\xA9z", ""},
        {"a pasted text", "ab\ncd\n", ""},
        {"a paste that arrives in two parts", "ab\n", "cd\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const pid_t child = StartWait();
        AwaitRawMode();
        Type(c.keys);
        if (!c.later.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Type(c.later);
        }
        const int status = StatusWithin(child, 3000);
        ASSERT_NE(status, -1) << "the wait did not end";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by signal " << WTERMSIG(status);
        ExpectModeRestored();
        EXPECT_EQ(Unread(), "");
    }
}

TEST_F(KeyWait, KeysTypedBeforeTheWaitDoNotEndIt)
{
    // Typed during the run, while the terminal was still in its own mode;
    // its echo shows that the terminal has taken them in, however late a
    // loaded machine gets round to it.
    Type("x\ny");
    AwaitEcho("x\r\ny");
    const pid_t child = StartWait();
    AwaitRawMode();
    EXPECT_EQ(StatusWithin(child, 300), -1) << "a key typed before the wait ended it";
    Type("k");
    const int status = StatusWithin(child, 3000);
    ASSERT_NE(status, -1) << "the wait did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ExpectModeRestored();
    EXPECT_EQ(Unread(), "");
}

TEST_F(KeyWait, RunInTheBackgroundOfItsTerminalSkipsTheWait)
{
    // The pty is the controlling terminal of a session of its own, whose
    // foreground is either the waiting process's group or another one (a
    // shell's job started with &).
    for (bool inForeground : {true, false}) {
        SCOPED_TRACE(inForeground ? "in the foreground" : "in the background");
        const pid_t leader = StartWaitInASession(inForeground);
        ASSERT_GE(leader, 0);
        if (inForeground) {
            AwaitRawMode();
            Type("k");
        }
        const int status = StatusWithin(leader, 3000);
        if (status == -1) {
            Type("k"); // lets a waiter that should not wait end
            kill(leader, SIGKILL);
            (void)waitpid(leader, nullptr, 0);
            FAIL() << "the wait did not end";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "exit status " << WEXITSTATUS(status) << " (14: stopped by the terminal)";
        ExpectModeRestored();
    }
}

TEST_F(KeyWait, NoEchoWhileWaiting)
{
    const pid_t child = StartWait();
    AwaitRawMode();
    Type("q");
    ASSERT_NE(StatusWithin(child, 2000), -1);
    pollfd ready{master, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 100), 0) << "echoed a byte";
}

TEST_F(KeyWait, ModeIsRestoredWhenEndedDuringTheWait)
{
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(signalNumber);
        const pid_t child = StartWait();
        AwaitRawMode();
        kill(child, signalNumber);
        const int status = StatusWithin(child, 2000);
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber);
        ExpectModeRestored();
    }
}

TEST_F(KeyWait, SignalsTheParentIgnoredStayIgnored)
{
    for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGUSR1}) {
        SCOPED_TRACE(signalNumber);
        const pid_t child = StartWait(signalNumber);
        AwaitRawMode();
        kill(child, signalNumber);
        EXPECT_EQ(StatusWithin(child, 100), -1) << "an ignored signal ended the wait";
        Type("k");
        const int status = StatusWithin(child, 2000);
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not ignored after the wait";
        ExpectModeRestored();
    }
}

TEST_F(KeyWait, EndsAtOnceWithoutATerminal)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        WaitForKey();
        _exit(0);
    }
    const int status = StatusWithin(child, 1000);
    ASSERT_NE(status, -1) << "waited for a key without a terminal";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The trace on a terminal whose output is stopped (Ctrl+S with IXON on):
// the program's thread goes on at its pace, and once Ctrl+Q lets the output
// flow again every message arrives, in order.
TEST(ConsoleWriter, StoppedTerminalHoldsUpNoMessageAndLosesNone)
{
    constexpr int MessageCount = 150;
    constexpr auto MessageGap = std::chrono::milliseconds(20);
    constexpr auto StoppedFor = std::chrono::seconds(2);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios mode{};
    ASSERT_EQ(tcgetattr(slave, &mode), 0);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    mode.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);

    std::string expected;
    for (int i = 0; i < MessageCount; ++i) {
        expected += "message " + std::to_string(i) + " " + std::string(180, static_cast<char>('a' + i % 26)) + "\n";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(slave, STDOUT_FILENO);
        StartTrace(PrepareConsole());
        long long longestUs = 0;
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < MessageCount; ++i) {
            const auto start = std::chrono::steady_clock::now();
            Trace("message %d %s\n", i, std::string(180, static_cast<char>('a' + i % 26)).c_str());
            const auto took = std::chrono::steady_clock::now() - start;
            longestUs =
                std::max<long long>(longestUs, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
            next += MessageGap;
            std::this_thread::sleep_until(next);
        }
        EndTrace();
        const std::string text = std::to_string(longestUs);
        _exit(write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(report[1]);

    // Reads what reaches the terminal, noting when.
    std::string received;
    std::atomic<bool> stopReading{false};
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::size_t>> arrivals;
    std::thread reader([&] {
        char buffer[4096];
        while (!stopReading.load()) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 20) > 0) {
                const ssize_t got = read(master, buffer, sizeof buffer);
                if (got > 0) {
                    received.append(buffer, static_cast<std::size_t>(got));
                    arrivals.emplace_back(std::chrono::steady_clock::now(), static_cast<std::size_t>(got));
                }
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const char stop = 0x13;
    const char start = 0x11;
    EXPECT_EQ(write(master, &stop, 1), 1);
    const auto stoppedAt = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(StoppedFor);
    const auto startedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(write(master, &start, 1), 1);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopReading.store(true);
    reader.join();

    std::string longestUs;
    char digit = 0;
    while (read(report[0], &digit, 1) == 1) {
        longestUs += digit;
    }
    close(report[0]);
    close(slave);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_FALSE(longestUs.empty());
    // Far below the time the output stood still.
    EXPECT_LT(std::stoll(longestUs), 200000) << "a message waited for the stopped terminal";
    // The output really stood still, then everything came, in order.
    const std::size_t duringStop =
        std::accumulate(arrivals.begin(), arrivals.end(), std::size_t{0}, [&](std::size_t sum, const auto &arrival) {
            const bool stopped =
                arrival.first > stoppedAt + std::chrono::milliseconds(100) && arrival.first < startedAt;
            return sum + (stopped ? arrival.second : 0);
        });
    EXPECT_EQ(duringStop, 0u);
    EXPECT_TRUE(received == expected) << received.size() << " bytes of " << expected.size();
}

// What a child that printed a trace to the given standard output left: the
// bytes a reader took from readEnd (-1: none), read as readFrom says, and
// what the child said on standard error.
struct TracedOutput {
    std::string received;
    std::string errors;
    int status = -1;
};

TracedOutput TraceInto(int output, const std::vector<std::string> &messages, int readEnd,
                       const std::function<std::string(int)> &readFrom)
{
    int errors[2];
    if (pipe(errors) != 0) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(output, STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        if (readEnd >= 0) {
            close(readEnd);
        }
        StartTrace(PrepareConsole());
        for (const std::string &message : messages) {
            Trace("%s", message.c_str());
        }
        EndTrace();
        _exit(0);
    }
    close(output);
    close(errors[1]);
    TracedOutput traced;
    if (readEnd >= 0) {
        traced.received = readFrom(readEnd);
        close(readEnd);
    }
    char buffer[512];
    for (ssize_t got = 0; (got = read(errors[0], buffer, sizeof buffer)) > 0;) {
        traced.errors.append(buffer, static_cast<std::size_t>(got));
    }
    close(errors[0]);
    EXPECT_EQ(waitpid(child, &traced.status, 0), child);
    return traced;
}

std::string ReadAll(int fd, std::size_t limit = SIZE_MAX)
{
    std::string all;
    char buffer[4096];
    while (all.size() < limit) {
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, limit - all.size()));
        if (got <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(got));
    }
    return all;
}

// A standard output that holds the writes up gets the whole trace; one that
// fails for good gets a clean prefix of it and one line on standard error.
TEST(ConsoleWriter, OutputThatHoldsUpGetsEverythingAndOneThatFailsACleanPrefixAndOneLine)
{
    std::vector<std::string> messages;
    std::string whole;
    for (int i = 0; i < 2000; ++i) {
        messages.push_back("message " + std::to_string(i) + " " + std::string(100, static_cast<char>('a' + i % 26)) +
                           "\n");
        whole += messages.back();
    }
    constexpr std::size_t ReaderTakes = 10000;
    const struct {
        const char *name;
        bool nonBlocking;      // the pipe's writing end
        const char *file;      // instead of a pipe
        std::size_t readUpTo;  // then the reader goes away
        int idleMs;            // before the reader starts
        const char *errorLine; // what the line on standard error holds
    } cases[] = {
        {"a non-blocking pipe whose reader is idle for a while", true, nullptr, SIZE_MAX, 500, nullptr},
        {"a blocking pipe whose reader is idle for a while", false, nullptr, SIZE_MAX, 500, nullptr},
        {"a full device", false, "/dev/full", 0, 0, "after 0 bytes: writing standard output failed (no space"},
        {"a reader that goes away", true, nullptr, ReaderTakes, 100, "failed (the reader has gone"},
    };
    (void)signal(SIGPIPE, SIG_IGN); // as the program has it, before the child's own PrepareConsole
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int ends[2] = {-1, -1};
        if (c.file != nullptr) {
            ends[1] = open(c.file, O_WRONLY);
        } else {
            ASSERT_EQ(pipe(ends), 0);
            if (c.nonBlocking) {
                ASSERT_EQ(fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK), 0);
            }
        }
        ASSERT_GE(ends[1], 0);
        const TracedOutput traced = TraceInto(ends[1], messages, ends[0], [&](int readEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.idleMs));
            return ReadAll(readEnd, c.readUpTo);
        });
        EXPECT_TRUE(WIFEXITED(traced.status) && WEXITSTATUS(traced.status) == 0);
        if (c.errorLine == nullptr) {
            EXPECT_TRUE(traced.received == whole) << traced.received.size() << " bytes of " << whole.size();
            EXPECT_EQ(traced.errors, "");
            continue;
        }
        EXPECT_EQ(traced.received, whole.substr(0, traced.received.size()));
        EXPECT_EQ(std::count(traced.errors.begin(), traced.errors.end(), '\n'), 1) << traced.errors;
        EXPECT_NE(traced.errors.find(c.errorLine), std::string::npos) << traced.errors;
    }
}

// A standard descriptor the program was started without must not be left
// for a file opened later (the port) to take.
TEST(PrepareConsole, PutsClosedStandardDescriptorsOnTheNullDevice)
{
    struct stat null {};
    ASSERT_EQ(stat("/dev/null", &null), 0);
    for (const std::vector<int> &closed : std::vector<std::vector<int>>{{0}, {1}, {2}, {0, 1, 2}}) {
        SCOPED_TRACE(testing::PrintToString(closed));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int fd : closed) {
                close(fd);
            }
            PrepareConsole();
            int wrong = 0;
            for (int fd : closed) {
                struct stat now {};
                if (fstat(fd, &now) != 0 || now.st_rdev != null.st_rdev || !S_ISCHR(now.st_mode)) {
                    wrong |= 1 << fd;
                }
            }
            _exit(wrong);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a bit for each descriptor left closed or not on /dev/null";
    }
}

} // namespace
