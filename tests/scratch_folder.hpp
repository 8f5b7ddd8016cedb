// A fresh folder for one run of the program, on Linux and on Windows alike,
// removed with its contents; everything it holds can be written and read back.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

using files = std::map<std::string, std::string>;

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

class scratch_folder {
public:
    // The folder is `leaf` inside a new folder below the system's temporary folder.
    explicit scratch_folder(const std::string& leaf = "run");
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    // The folder's path as the program sees it as its working directory.
    const std::string& path() const { return path_; }
    // A path beside the folder, for what should not land in it.
    std::filesystem::path beside(const std::string& name) const { return top_ / name; }

    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;
    // Every entry left in the folder, name to content ("<dir>" for a folder,
    // "<other>" for anything else that is not a file).
    files contents() const;
    // Just the names, sorted, for folders with files too large to read back.
    std::vector<std::string> names() const;

private:
    std::filesystem::path top_;
    std::filesystem::path folder_;
    std::string path_;
};
