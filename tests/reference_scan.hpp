// A second, independent scan for the tests to compare with: the report taken
// in one piece, looked at position by position with look-ahead, every index
// past the end reading as a zero byte.
#pragma once

#include <cstdint>
#include <string_view>

#include "scan_core.hpp"

inline scan_counts reference_scan(std::string_view report) {
    const auto at = [&](std::size_t i) -> unsigned char {
        return i < report.size() ? static_cast<unsigned char>(report[i]) : 0;
    };
    const auto number_at = [&](std::size_t q) {
        std::uint64_t sum = 0;
        while (at(q) >= '0' && at(q) <= '9') sum = sum * 10 + (at(q++) - '0');
        return sum;
    };
    scan_counts counts{};
    int cell_index = 0;
    for (std::size_t p = 0; p < report.size(); ++p) {
        if (at(p) == '<' && at(p + 1) == 't') {
            if (at(p + 2) == 'd') {
                const int prev = cell_index++;
                if (prev == 4) counts.uploads += number_at(p + 4);
                if (cell_index == 6) counts.downloads += number_at(p + 4);
            } else if (at(p + 2) == 'r') {
                ++counts.connections;
            }
        }
        if (cell_index == 10) cell_index = 1;
    }
    return counts;
}
