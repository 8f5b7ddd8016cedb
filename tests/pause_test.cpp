// The closing pause on a real terminal: one key ends it, the key is not
// echoed, and the terminal is left as it was found.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "run_program.hpp"

namespace {

struct terminal_run {
    int master = -1;
    int slave = -1;  // kept open here so the terminal outlives the program
    pid_t child = -1;
    std::string seen;

    explicit terminal_run(const std::string& folder) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        child = fork();
        if (child == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            if (chdir(folder.c_str()) != 0) _exit(127);
            execl(program_path, program_path, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~terminal_run() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    // Reads what the program shows until text appears or five seconds pass.
    bool wait_for(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (seen.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            char chunk[4096];
            const ssize_t got = read(master, chunk, sizeof chunk);
            if (got <= 0) return false;
            seen.append(chunk, static_cast<std::size_t>(got));
        }
        return true;
    }
    termios mode() const {
        termios now{};
        tcgetattr(slave, &now);
        return now;
    }
    int finish() {
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }
};

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
    EXPECT_EQ(run.seen.find('q'), std::string::npos) << "the key was echoed";
    const termios after = run.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

}  // namespace
