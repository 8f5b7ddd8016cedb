// Writes the benchmark corpora:
//   DIR/large/traffic.htm   one report of about 1 GB
//   DIR/small/rNNNNNN.htm   100,000 reports of about 2 KB
// Usage: make_corpus DIR [large-bytes] [small-count]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "corpus.hpp"

namespace {
bool write_file(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_corpus DIR [large-bytes] [small-count]\n");
        return 2;
    }
    const std::string root = argv[1];
    const unsigned long long large_bytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000000ull;
    const unsigned long small_count = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 100000ul;
    std::filesystem::create_directories(root + "/large");
    std::filesystem::create_directories(root + "/small");

    report_generator generator(1);
    std::FILE* large = std::fopen((root + "/large/traffic.htm").c_str(), "wb");
    if (large == nullptr) return 1;
    std::string chunk = generator.header();
    unsigned long long written = 0;
    while (written + chunk.size() < large_bytes) {
        generator.row(chunk);
        if (chunk.size() >= (1u << 20)) {
            written += std::fwrite(chunk.data(), 1, chunk.size(), large);
            chunk.clear();
        }
    }
    chunk += generator.footer();
    written += std::fwrite(chunk.data(), 1, chunk.size(), large);
    if (std::fclose(large) != 0) return 1;

    char name[64];
    for (unsigned long i = 0; i < small_count; ++i) {
        std::snprintf(name, sizeof name, "/small/r%06lu.htm", i);
        if (!write_file(root + name, generator.report(2048))) return 1;
    }
    std::printf("%llu bytes in large/traffic.htm, %lu reports in small/\n", written, small_count);
    return 0;
}
