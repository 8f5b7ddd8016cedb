#include "size_format.hpp"

#include <cmath>
#include <cstdio>

#include "output_streams.hpp"

int format_size(std::uint64_t count, char* text, std::size_t capacity) {
    // Each comparison is strict: a count exactly on a boundary stays in the
    // smaller unit, so 1024 bytes print as "1024.000 bytes".
    constexpr std::uint64_t kilo = 1ull << 10, mega = 1ull << 20, giga = 1ull << 30;
    const char* unit = "bytes";
    int shift = 0;
    if (count > giga) {
        unit = "GB";
        shift = 30;
    } else if (count > mega) {
        unit = "MB";
        shift = 20;
    } else if (count > kilo) {
        unit = "KB";
        shift = 10;
    }
    // Scaled values are shown in single precision: the conversion rounds the
    // count to 24 significant bits (to nearest, ties to even) and the power-of-two
    // scaling after it is exact, so this is the exact quotient rounded once.
    const double value =
        shift == 0 ? static_cast<double>(count) : static_cast<double>(std::ldexp(static_cast<float>(count), -shift));
    return std::snprintf(text, capacity, "%10.3f %s\n", value, unit);
}

void print_size(run_output& out, std::uint64_t count, output_target target) {
    char text[64];
    format_size(count, text, sizeof text);
    out[target].write("%s", text);
}
