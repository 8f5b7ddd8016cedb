#include "scratch_folder.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

scratch_folder::scratch_folder(const std::string& leaf) {
    // A folder never used before: tests run in several processes at once, and
    // Wine's process numbers are small and come round again.
    static std::mt19937_64 names{std::random_device{}()};
    do top_ = fs::temp_directory_path() / ("traffic-totals-test-" + std::to_string(names()));
    while (!fs::create_directory(top_));
    folder_ = top_ / leaf;
    fs::create_directories(folder_);
    // As the system gives it back once it is the working directory (links
    // resolved; on Windows the drive and separators the program sees).
    const fs::path here = fs::current_path();
    fs::current_path(folder_);
    path_ = fs::current_path().string();
    fs::current_path(here);
}

scratch_folder::~scratch_folder() {
    std::error_code ignored;
    fs::remove_all(top_, ignored);
}

void scratch_folder::write(const std::string& name, const std::string& bytes) const {
    write_file(folder_ / name, bytes);
}

std::string scratch_folder::read(const std::string& name) const { return read_file(folder_ / name); }

files scratch_folder::contents() const {
    files found;
    for (const auto& item : fs::directory_iterator(folder_)) {
        const std::string name = item.path().filename().string();
        found[name] = item.is_directory() ? "<dir>" : item.is_regular_file() ? read_file(item.path()) : "<other>";
    }
    return found;
}

std::vector<std::string> scratch_folder::names() const {
    std::vector<std::string> found;
    for (const auto& item : fs::directory_iterator(folder_)) found.push_back(item.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}
