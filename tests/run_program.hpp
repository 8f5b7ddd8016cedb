// Running the built program the way a user would, in a folder of its own,
// and reading back everything it leaves.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "scratch_folder.hpp"

struct run_result {
    std::string out;
    std::string err;
    int wait_status;
    bool exited_with(int code) const;
    bool killed_by(int signal_number) const;
};

struct run_options {
    std::vector<std::string> arguments;
    std::string stdin_path = "/dev/null";
    // Standard input a pipe whose writer stays open until the run has ended,
    // as under ssh or `sleep 60 | ...`.
    bool stdin_pipe_left_open = false;
    // Set in the program's environment, NAME=VALUE each.
    std::vector<std::string> environment;
    // Where standard output goes: empty for a file that is read back, "pipe"
    // for a pipe that is read back, or a path such as /dev/full.
    std::string stdout_to;
    // A limit on the size of any file written (RLIMIT_FSIZE), with SIGXFSZ at
    // its default action, as a shell's ulimit leaves it; negative for none.
    long long file_size_limit = -1;
    // A limit on open files (RLIMIT_NOFILE), the soft one or both; negative for none.
    long long open_files_limit = -1;
    bool hard_limit_too = false;
    // Descriptors the caller leaves open to the program, each on /dev/null.
    int inherited_descriptors = 0;
    // Standard output or standard error closed, as `>&-` and `2>&-` leave them.
    bool close_stdout = false;
    bool close_stderr = false;
    // SIGHUP ignored, as nohup leaves it.
    bool ignore_hangup = false;
    // A shell command that ends by running the program, named "$0" in it.
    std::string through_shell;
};

// The program started in the folder as its working directory, for tests that
// act on it while it runs.
class running_program {
public:
    running_program(const std::string& folder, const run_options& options = {});
    ~running_program();
    running_program(const running_program&) = delete;
    running_program& operator=(const running_program&) = delete;
    void send(int signal_number) const;
    run_result wait();

    // What a test can see of the program from outside, to act at a given
    // step of its run without guessing how long it takes to get there.
    // Whether the program holds the folder's file `name` open now.
    bool holds_open(const std::string& name) const;
    // Waits until the program has opened `name` and read from it since, then
    // stops the program (SIGSTOP) in the middle of that reading: false if the
    // reading was over first, or the program ended.
    bool stop_while_reading(const std::string& name) const;
    // Waits until the program holds `name` open: false if it ended first.
    bool wait_until_open(const std::string& name) const;
    // Waits until the program has run for `age` since it was started,
    // holding `name` open all the while: false if it let go of it first.
    bool holds_open_after(const std::string& name, std::chrono::milliseconds age) const;
    void resume() const;

private:
    int pid_ = -1;
    std::chrono::steady_clock::time_point started_;
    int in_ = -1, out_ = -1, err_ = -1;
    bool out_is_pipe_ = false;
    bool waited_ = false;
};

// In a child about to become the program: every signal as a shell leaves it
// for a command in the foreground, whatever the test runner inherited (a
// background job ignores SIGINT and SIGQUIT).
void restore_foreground_signals();

// Runs the program to its end with the folder as its working directory.
run_result run_program(const std::string& folder, const run_options& options = {});

extern const char* const program_path;
