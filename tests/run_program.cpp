#include "run_program.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

const char* const program_path = TRAFFIC_TOTALS_PROGRAM;

bool run_result::exited_with(int code) const { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code; }
bool run_result::killed_by(int signal_number) const {
    return WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == signal_number;
}

scratch_folder::scratch_folder(const std::string& leaf) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/traffic-totals-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    top_ = pattern;
    path_ = top_ + "/" + leaf;
    std::filesystem::create_directories(path_);
}

scratch_folder::~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
}

void scratch_folder::write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << bytes;
}

std::string scratch_folder::read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::map<std::string, std::string> scratch_folder::contents() const {
    std::map<std::string, std::string> found;
    for (const auto& item : std::filesystem::directory_iterator(path_)) {
        const std::string name = item.path().filename().string();
        found[name] = item.is_directory() ? "<dir>" : (item.is_regular_file() ? read(name) : "<other>");
    }
    return found;
}

namespace {
std::string slurp(int fd) {
    std::string bytes;
    char chunk[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<std::size_t>(got));
    return bytes;
}
}  // namespace

run_result run_program(const std::string& folder, const std::vector<std::string>& arguments,
                       const std::string& stdin_path) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const pid_t child = fork();
    if (child == 0) {
        const int in = open(stdin_path.c_str(), O_RDONLY);
        if (in < 0 || chdir(folder.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        std::vector<char*> argv{const_cast<char*>(program_path)};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program_path, argv.data());
        _exit(127);
    }
    run_result result{};
    waitpid(child, &result.wait_status, 0);
    result.out = slurp(fileno(out));
    result.err = slurp(fileno(err));
    std::fclose(out);
    std::fclose(err);
    return result;
}
