// The kernels, one file per instruction set, each built from the generic
// block scan (scan_blocks.hpp) for its own set. Each first finishes a number
// that the state holds pending, whose digits start at bytes[pending_skip],
// then scans the openers that begin at from..n-3 of the piece, every one of
// them whole inside it. A number that runs into the piece's end is left
// pending.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan_core.hpp"

void scan_openers_plain(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
void scan_openers_sse2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
void scan_openers_avx2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
void scan_openers_avx512(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);

// The cell openers that begin at 0..n-3.
std::uint64_t count_cells_plain(const unsigned char* bytes, std::size_t n);
std::uint64_t count_cells_sse2(const unsigned char* bytes, std::size_t n);
std::uint64_t count_cells_avx2(const unsigned char* bytes, std::size_t n);
std::uint64_t count_cells_avx512(const unsigned char* bytes, std::size_t n);
