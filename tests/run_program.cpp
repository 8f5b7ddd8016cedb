#include "run_program.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

const char* const program_path = TRAFFIC_TOTALS_PROGRAM;

bool run_result::exited_with(int code) const { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code; }
bool run_result::killed_by(int signal_number) const {
    return WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == signal_number;
}

namespace {
std::string slurp(int fd, bool from_start) {
    std::string bytes;
    char chunk[65536];
    if (from_start) lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<std::size_t>(got));
    return bytes;
}

int anonymous_file() {
    FILE* file = std::tmpfile();
    const int fd = dup(fileno(file));
    std::fclose(file);
    return fd;
}
}  // namespace

void restore_foreground_signals() {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

running_program::running_program(const std::string& folder, const run_options& options) {
    int pipe_ends[2] = {-1, -1}, input_ends[2] = {-1, -1};
    if (options.stdin_pipe_left_open) {
        if (pipe(input_ends) != 0) throw std::runtime_error("pipe failed");
        in_ = input_ends[1];
    }
    out_is_pipe_ = options.stdout_to == "pipe";
    if (out_is_pipe_) {
        if (pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
        out_ = pipe_ends[0];
    } else if (options.stdout_to.empty()) {
        out_ = anonymous_file();
    }
    err_ = anonymous_file();
    started_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ == 0) {
        const int in = options.stdin_pipe_left_open ? input_ends[0] : open(options.stdin_path.c_str(), O_RDONLY);
        const int out = out_is_pipe_                ? pipe_ends[1]
                        : options.stdout_to.empty() ? out_
                                                    : open(options.stdout_to.c_str(), O_WRONLY);
        if (in < 0 || out < 0 || chdir(folder.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err_, 2);
        if (out_is_pipe_) close(pipe_ends[0]);
        if (options.stdin_pipe_left_open) close(input_ends[1]);
        for (const auto& setting : options.environment) putenv(const_cast<char*>(setting.c_str()));
        if (options.close_stdout) close(1);
        if (options.close_stderr) close(2);
        if (options.file_size_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                               static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // Nothing of the test's own reaches the program, only what a test asks to leave open.
        if (close_range(3, ~0u, 0) != 0)
            for (int fd = 3; fd < 1024; ++fd) close(fd);
        for (int i = 0; i < options.inherited_descriptors; ++i) open("/dev/null", O_RDONLY);
        if (options.open_files_limit >= 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(options.open_files_limit);
            if (options.hard_limit_too) limit.rlim_max = limit.rlim_cur;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        // SIGQUIT's default action must not leave a core file in the folder.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        restore_foreground_signals();
        if (options.ignore_hangup) signal(SIGHUP, SIG_IGN);
        if (!options.through_shell.empty()) {
            execl("/bin/sh", "sh", "-c", options.through_shell.c_str(), program_path, static_cast<char*>(nullptr));
            _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(program_path)};
        for (const auto& a : options.arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program_path, argv.data());
        _exit(127);
    }
    if (out_is_pipe_) close(pipe_ends[1]);
    if (options.stdin_pipe_left_open) close(input_ends[0]);
}

running_program::~running_program() {
    if (!waited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

void running_program::send(int signal_number) const { kill(pid_, signal_number); }

namespace {
bool has_ended(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t state = line.rfind(')');
    return state == std::string::npos || state + 2 >= line.size() || line[state + 2] == 'Z';
}

bool is_stopped(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t state = line.rfind(')');
    return state != std::string::npos && state + 2 < line.size() && line[state + 2] == 'T';
}

// Bytes the program has read so far, by every read it made.
std::uint64_t bytes_read(int pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    for (std::string key; io >> key;) {
        std::uint64_t value = 0;
        io >> value;
        if (key == "rchar:") return value;
    }
    return 0;
}

// A short pause between two looks at the program.
void look_again() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
}  // namespace

bool running_program::holds_open(const std::string& name) const {
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (target.size() > name.size() &&
            target.compare(target.size() - name.size() - 1, std::string::npos, "/" + name) == 0)
            return true;
    }
    return false;
}

bool running_program::wait_until_open(const std::string& name) const {
    while (!holds_open(name)) {
        if (has_ended(pid_)) return false;
        look_again();
    }
    return true;
}

bool running_program::holds_open_after(const std::string& name, std::chrono::milliseconds age) const {
    while (std::chrono::steady_clock::now() - started_ < age) {
        if (!holds_open(name)) return false;
        look_again();
    }
    return holds_open(name);
}

bool running_program::stop_while_reading(const std::string& name) const {
    if (!wait_until_open(name)) return false;
    // A read after the open shows that the open's own look is done.
    const std::uint64_t before = bytes_read(pid_);
    while (bytes_read(pid_) == before) {
        if (!holds_open(name)) return false;
        look_again();
    }
    send(SIGSTOP);
    while (!is_stopped(pid_)) {
        if (has_ended(pid_)) return false;
        look_again();
    }
    return holds_open(name);
}

void running_program::resume() const { send(SIGCONT); }

run_result running_program::wait() {
    run_result result{};
    // A program that hangs is ended, so that the test fails on it (killed,
    // and said) instead of holding up the whole suite. No run of the suites
    // comes near this, even emulated on a busy machine.
    constexpr std::chrono::minutes hang_limit{5};
    std::mutex lock;
    std::condition_variable ended;
    bool has_ended = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> hold(lock);
        if (!ended.wait_for(hold, hang_limit, [&] { return has_ended; })) {
            std::fprintf(stderr, "the program still ran after %d minutes: killed\n", static_cast<int>(hang_limit.count()));
            kill(pid_, SIGKILL);
        }
    });
    // A pipe is drained before the wait, so that a full pipe cannot stall the program.
    if (out_is_pipe_) result.out = slurp(out_, false);
    waitpid(pid_, &result.wait_status, 0);
    waited_ = true;
    {
        const std::lock_guard<std::mutex> hold(lock);
        has_ended = true;
    }
    ended.notify_one();
    watchdog.join();
    if (!out_is_pipe_ && out_ >= 0) result.out = slurp(out_, true);
    result.err = slurp(err_, true);
#if TRAFFIC_TOTALS_EMULATED
    // qemu-user's own word when the program ends by a signal that dumps core:
    // the emulator's, not the program's.
    constexpr std::string_view emulator_note = "qemu: uncaught target signal ";
    if (const std::size_t at = result.err.find(emulator_note);
        at != std::string::npos && (at == 0 || result.err[at - 1] == '\n'))
        result.err.erase(at, result.err.find('\n', at) - at + 1);
#endif
    return result;
}

run_result run_program(const std::string& folder, const run_options& options) {
    running_program program(folder, options);
    return program.wait();
}
