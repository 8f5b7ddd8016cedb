// Running the built program the way a user would, in a folder of its own,
// and reading back everything it leaves.
#pragma once

#include <map>
#include <string>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int wait_status;
    bool exited_with(int code) const;
    bool killed_by(int signal_number) const;
};

// A fresh folder below the system's temporary folder, removed with its contents.
class scratch_folder {
public:
    explicit scratch_folder(const std::string& leaf = "run");
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    const std::string& path() const { return path_; }
    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;
    // Every entry left in the folder, name to content ("<dir>" for a folder).
    std::map<std::string, std::string> contents() const;

private:
    std::string path_;
    std::string top_;
};

// Runs the program with the folder as its working directory and standard
// input from stdin_path.
run_result run_program(const std::string& folder, const std::vector<std::string>& arguments = {},
                       const std::string& stdin_path = "/dev/null");

extern const char* const program_path;
