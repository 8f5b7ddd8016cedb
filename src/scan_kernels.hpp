// The kernels, one file per instruction set, each the generic block scan
// (scan_blocks.hpp) instantiated with its own traits. A kernel's scan first
// finishes a number that the state holds pending, whose digits start at
// bytes[pending_skip], then scans the openers that begin at from..n-3 of the
// piece, every one of them whole inside it. A number that runs into the
// piece's end is left pending. Its list and scan_listed are the two passes of
// a part (list_part, scan_listed_part), which for a fresh state give what its
// scan gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan_core.hpp"

struct kernel_functions {
    void (*scan)(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
    std::uint64_t (*list)(part_cells& cells, const unsigned char* bytes, std::size_t n, std::size_t counted_to);
    void (*scan_listed)(scan_state& state, const part_cells& cells, const unsigned char* bytes, std::size_t n);
};

extern const kernel_functions plain_kernel;
extern const kernel_functions sse2_kernel;
extern const kernel_functions avx2_kernel;
extern const kernel_functions avx512_kernel;
extern const kernel_functions neon_kernel;
