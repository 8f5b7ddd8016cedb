// The opener scan inside one piece: the plain byte-wise loop, and the block
// scan shared by the vector kernels. A vector kernel supplies one function,
// the opener masks of 64 bytes: bit i of `cells` is set when "<td" begins at
// byte i, bit i of `rows` when "<tr" does (it may read two bytes past the
// block). Rows are counted with a popcount. Cells move the nine-cell cycle by
// their count; only the cells that land on place 5 or 6 are visited, found by
// their rank in the block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "scan_core.hpp"

struct opener_masks {
    std::uint64_t cells;
    std::uint64_t rows;
};

namespace scan_detail {

// The number of the cell opener at p, which starts at p + 4. A number cut off
// by the end of the piece, or starting beyond it, is left pending in the state.
inline void take_number(scan_state& s, scan_counts& counts, const unsigned char* bytes, std::size_t p, std::size_t n,
                        std::uint8_t target) {
    const std::size_t q = p + 4;
    std::uint64_t value = 0;
    if (q > n || read_cell_number(bytes, q, n, value) == n) {
        s.pending = target;
        s.pending_skip = q > n ? 1 : 0;
        s.pending_value = value;
        return;
    }
    (target == upload_number ? counts.uploads : counts.downloads) += value;
}

// The rank (1-based) of the first cell in a run from `place` that lands on `goal`.
inline unsigned first_rank(unsigned place, unsigned goal) {
    const unsigned rank = (goal + 9 - place) % 9;
    return rank == 0 ? 9 : rank;
}

// The openers that begin at p..n-3, one position at a time with look-ahead;
// the plain kernel, and the rest of a piece after the last whole block.
inline void scan_openers_bytewise(scan_state& s, scan_counts counts, unsigned place, const unsigned char* bytes,
                                  std::size_t p, std::size_t n) {
    for (; p + 2 < n; ++p) {
        if (bytes[p] != '<' || bytes[p + 1] != 't') continue;
        if (bytes[p + 2] == 'd') {
            place = place == 9 ? 1 : place + 1;
            if (place == 5) take_number(s, counts, bytes, p, n, upload_number);
            if (place == 6) take_number(s, counts, bytes, p, n, download_number);
        } else if (bytes[p + 2] == 'r') {
            ++counts.connections;
        }
    }
    s.counts = counts;
    s.cell_place = static_cast<std::uint8_t>(place);
}

// Scans the openers that begin at from..n-3, all three bytes inside the piece.
template <opener_masks (*block_masks)(const unsigned char*)>
void scan_openers(scan_state& s, const unsigned char* bytes, std::size_t from, std::size_t n) {
    scan_counts counts = s.counts;
    unsigned place = s.cell_place;
    std::size_t p = from;
    for (; p + 64 + 2 <= n; p += 64) {
        const opener_masks masks = block_masks(bytes + p);
        counts.connections += static_cast<unsigned>(std::popcount(masks.rows));
        if (masks.cells == 0) continue;
        const unsigned cells = static_cast<unsigned>(std::popcount(masks.cells));
        unsigned up = first_rank(place, 5), down = first_rank(place, 6);
        std::uint64_t rest = masks.cells;
        for (unsigned rank = 1; up <= cells || down <= cells; ++rank, rest &= rest - 1) {
            if (rank != up && rank != down) continue;
            const std::size_t at = p + static_cast<unsigned>(std::countr_zero(rest));
            if (rank == up) {
                take_number(s, counts, bytes, at, n, upload_number);
                up += 9;
            } else {
                take_number(s, counts, bytes, at, n, download_number);
                down += 9;
            }
        }
        place = (place + cells - 1) % 9 + 1;
    }
    scan_openers_bytewise(s, counts, place, bytes, p, n);
}

}  // namespace scan_detail
