// The closing pause on a real terminal: one key ends it, the key is not
// echoed, and the terminal is left as it was found.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "run_program.hpp"
#include "terminal_run.hpp"

namespace {

constexpr const char* prompt = "Press any key to continue . . . ";

// Runs the program in an empty folder on a terminal up to its pause, presses
// `key`, checks that the terminal is left as it was, and returns the wait status.
int press_at_pause(const scratch_folder& folder, terminal_run& run, const char* key) {
    EXPECT_GT(run.child, 0);
    const termios before = run.mode();
    EXPECT_TRUE(run.wait_for(prompt)) << run.seen;
    // The program switches the mode just after the prompt: wait until it has,
    // or has ended, however busy the machine (the cap only bounds a hang).
    bool raw = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto still_running = [&] {
        siginfo_t ended{};
        return waitid(P_PID, static_cast<id_t>(run.child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0;  // looked at, not reaped: finish() takes its status
    };
    while (!(raw = (run.mode().c_lflag & (ICANON | ECHO)) == 0) && still_running() &&
           std::chrono::steady_clock::now() < give_up)
        usleep(1000);
    EXPECT_TRUE(raw) << "no key-at-a-time mode without echo at the pause";
    EXPECT_EQ(write(run.master, key, 1), 1);
    const int status = run.finish();
    run.drain();
    const termios after = run.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"izhod__etc.txt"})
        << "the summary was complete before the pause";
    return status;
}

TEST(Pause, AKeyEndsItWithoutEchoAndTheModeIsRestored) {
    scratch_folder folder;
    terminal_run run(folder.path());
    const int status = press_at_pause(folder, run, "q");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(run.seen.substr(run.seen.find(prompt) + std::string(prompt).size()), "\r\n") << "the key was echoed";
}

// Ctrl-C and Ctrl-\\ end the run by their own signal, the terminal restored.
TEST(Pause, CtrlCAndCtrlBackslashEndTheRunAndRestoreTheMode) {
    const struct {
        const char* key;
        int signal_number;
    } cases[] = {{"\x03", SIGINT}, {"\x1C", SIGQUIT}};
    for (const auto& c : cases) {
        scratch_folder folder;
        terminal_run run(folder.path());
        const int status = press_at_pause(folder, run, c.key);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << status;
    }
}

}  // namespace
