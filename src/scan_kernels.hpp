// The kernels, one file per instruction set, each scanning the openers
// that begin at from..n-3 of a piece (see scan_blocks.hpp).
#pragma once

#include <cstddef>

#include "scan_core.hpp"

void scan_openers_plain(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
void scan_openers_sse2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
void scan_openers_avx2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n);
