// The program run on a pseudo-terminal, as a user at a console runs it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "run_program.hpp"

struct terminal_run {
    int master = -1;
    int slave = -1;  // kept open here so the terminal outlives the program
    pid_t child = -1;
    std::string seen;

    // With stdout_path set, standard output goes to that file and only
    // standard input and standard error are on the terminal.
    // columns, where given, is the terminal's width.
    explicit terminal_run(const std::string& folder, const std::string& stdout_path = "", unsigned short columns = 0) {
        winsize size{24, columns, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, columns != 0 ? &size : nullptr) != 0) return;
        child = fork();
        if (child == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(stdout_path.empty() ? slave : open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(slave, 2);
            if (chdir(folder.c_str()) != 0) _exit(127);
            const rlimit no_core{0, 0};  // SIGQUIT's default action may write one
            setrlimit(RLIMIT_CORE, &no_core);
            restore_foreground_signals();
            execl(program_path, program_path, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~terminal_run() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    // Reads what the program shows until text appears or five seconds pass.
    bool wait_for(const std::string& text, int seconds = 5) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
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
    // Takes in what the terminal shows in the next tenth of a second.
    void drain() {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) return;
        char chunk[4096];
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got > 0) seen.append(chunk, static_cast<std::size_t>(got));
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
