// The key wait against input that reaches the terminal while the wait puts
// it in raw mode, which a test cannot time on a real pty: the console's
// tcsetattr() goes through the linker's --wrap, so a test can have a key
// land at that moment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "platform/console.h"

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name
extern "C" int __real_tcsetattr(int fd, int action, const termios *mode);

namespace {

// When set, the first change to a mode without line input has this pty's
// master type a key, which the change lets through: it is in the input by
// the time the change returns.
int TypingMaster = -1;

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *mode)
{
    const int result = __real_tcsetattr(fd, action, mode);
    if (TypingMaster >= 0 && (mode->c_lflag & ICANON) == 0) {
        if (write(TypingMaster, "x", 1) == 1) {
            pollfd typed{fd, POLLIN, 0};
            (void)poll(&typed, 1, 2000); // the key has reached the input
        }
        TypingMaster = -1;
    }
    return result;
}

namespace {

TEST(KeyWait, KeyLandingWhileTheWaitEntersRawModeDoesNotEndIt)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TypingMaster = master;
        dup2(slave, STDIN_FILENO);
        WaitForKey();
        _exit(0);
    }
    // The key that landed must not end the wait; one typed now does.
    int status = 0;
    bool ended = false;
    for (int waitedMs = 0; waitedMs < 500 && !ended; waitedMs += 5) {
        ended = waitpid(child, &status, WNOHANG) == child;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(ended) << "the key that landed during the mode change ended the wait";
    if (!ended) {
        ASSERT_EQ(write(master, "k", 1), 1);
        ASSERT_EQ(waitpid(child, &status, 0), child);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(slave);
    close(master);
}

} // namespace
