// The closing pause on a real terminal: one key ends it, the key is not
// echoed, and the terminal is left as it was found.
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "run_program.hpp"
#include "terminal_run.hpp"

namespace {

constexpr const char* prompt = "Press any key to continue . . . ";

TEST(Pause, AKeyEndsItWithoutEchoAndTheModeIsRestored) {
    scratch_folder folder;
    terminal_run run(folder.path());
    ASSERT_GT(run.child, 0);
    const termios before = run.mode();
    ASSERT_TRUE(run.wait_for(prompt)) << run.seen;
    // The program switches the mode just after the prompt; give it a moment.
    bool raw = false;
    for (int i = 0; i < 50 && !raw; ++i, usleep(20000)) raw = (run.mode().c_lflag & (ICANON | ECHO)) == 0;
    EXPECT_TRUE(raw);
    ASSERT_EQ(write(run.master, "q", 1), 1);
    ASSERT_TRUE(run.wait_for(std::string(prompt) + "\r\n")) << run.seen;
    const int status = run.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(run.seen.substr(run.seen.find(prompt) + std::string(prompt).size()), "\r\n") << "the key was echoed";
    const termios after = run.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

TEST(Pause, CtrlCEndsTheRunAsInterruptedAndRestoresTheMode) {
    scratch_folder folder;
    terminal_run run(folder.path());
    ASSERT_GT(run.child, 0);
    const termios before = run.mode();
    ASSERT_TRUE(run.wait_for(prompt)) << run.seen;
    bool raw = false;
    for (int i = 0; i < 50 && !raw; ++i, usleep(20000)) raw = (run.mode().c_lflag & (ICANON | ECHO)) == 0;
    ASSERT_TRUE(raw);
    ASSERT_EQ(write(run.master, "\x03", 1), 1);
    const int status = run.finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    const termios after = run.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"izhod__etc.txt"}) << "the summary was complete before the pause";
}

}  // namespace
