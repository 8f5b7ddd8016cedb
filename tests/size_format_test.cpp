#include "size_format.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string formatted(std::uint64_t count) {
    char text[64];
    const int length = format_size(count, text, sizeof text);
    return std::string(text, static_cast<std::size_t>(length));
}

TEST(SizeFormat, UnitsBoundariesAndRounding) {
    constexpr std::uint64_t mib = 1ull << 20, gib = 1ull << 30;
    const struct {
        std::uint64_t count;
        const char* want;
    } cases[] = {
        {0, "     0.000 bytes\n"},
        {512, "   512.000 bytes\n"},
        {1024, "  1024.000 bytes\n"},
        {1025, "     1.001 KB\n"},
        {1536, "     1.500 KB\n"},
        {2048, "     2.000 KB\n"},
        {mib, "  1024.000 KB\n"},
        {mib + 1, "     1.000 MB\n"},
        {gib, "  1024.000 MB\n"},
        {gib + 1, "     1.000 GB\n"},
        {(1ull << 32) - 1, "     4.000 GB\n"},
        // Single precision first: the exact quotient would show 33.001.
        {33 * mib + 525, "    33.000 MB\n"},
        // Halfway between two single-precision values: the even one, below.
        {16 * mib + 525, "    16.000 MB\n"},
        // A three-decimal tie (1.0625 KB) goes to the even digit.
        {1088, "     1.062 KB\n"},
        {1152 + 64, "     1.188 KB\n"},
        // 64-bit totals stay in GB.
        {5 * gib, "     5.000 GB\n"},
        {1024 * gib, "  1024.000 GB\n"},
        {~0ull, "17179869184.000 GB\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatted(c.count), c.want) << c.count;
}

}  // namespace
