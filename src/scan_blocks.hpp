// The block scan that every kernel is built from, written once. A kernel file
// defines SCAN_ISA, the name of a namespace of its own, and includes this
// file: everything here is then compiled for that file's instruction set
// alone, and no function compiled for AVX2 or AVX-512 can stand in for the
// baseline one of the same name. (std:: helpers are inline functions shared
// by name across files, so the builtins are used instead.)
//
// How it works. A row opener is the bytes "<tr", a cell opener "<td". A
// vector kernel supplies block_masks: for 64 bytes, bit i of `cells` is set
// when "<td" begins at byte i, bit i of `rows` when "<tr" does (it reads two
// bytes past the block). Rows are counted with a popcount. Cells move a
// nine-cell cycle (places 1..9, then 1 again) by their count; only the cells
// that land on place 5 (uploads) or 6 (downloads) are visited, found by their
// rank in the block: with BMI2's PDEP, without a branch on the data, and
// listed for a batch of blocks before their numbers are read; without it, by
// clearing the lower cells. A number starts four bytes after the "<" and is
// its run of decimal digits, up to fifteen of them read at once: with SSSE3
// from one 16-byte load (with AVX2 both numbers of a row in one register),
// without it from two 64-bit loads. A longer run, or one near the end of the
// piece, is read a digit at a time. The rest of a piece, past its last whole
// block, is scanned one position at a time by the same rule.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scan_core.hpp"

#if defined(__SSSE3__)
#include <immintrin.h>
#endif

#ifndef SCAN_ISA
#error "define SCAN_ISA, the kernel's own namespace, before including scan_blocks.hpp"
#endif

namespace SCAN_ISA {

struct opener_masks {
    std::uint64_t cells;
    std::uint64_t rows;
};

inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') <= 9; }
inline unsigned ones(std::uint64_t x) { return static_cast<unsigned>(__builtin_popcountll(x)); }
inline unsigned lowest_one(std::uint64_t x) { return static_cast<unsigned>(__builtin_ctzll(x)); }

inline void add_number(scan_counts& counts, std::uint8_t target, std::uint64_t value) {
    (target == upload_number ? counts.uploads : counts.downloads) += value;
}

// The bytes of x (the first in the lowest byte) that are no decimal digit
// have bits set in their high nibble; a digit's byte is zero.
inline std::uint64_t non_digits(std::uint64_t x) {
    return ((x & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull) |
           (((x & 0x0F0F0F0F0F0F0F0Full) + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull);
}

// The value of eight digits, the first in the lowest byte; zero bytes in
// front of them read as leading zeros.
inline std::uint64_t eight_digits(std::uint64_t x) {
    x = (x & 0x0F0F0F0F0F0F0F0Full) * 2561 >> 8;
    x = (x & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
    return (x & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32;
}

#if defined(__SSSE3__)
// Shuffle controls that move the first `length` bytes of a register to its
// end and clear the rest: the 16 bytes from shift_right + length.
alignas(16) inline constexpr signed char shift_right[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                            -1, -1, -1, -1, -1, 0,  1,  2,  3,  4,  5,
                                                            6,  7,  8,  9,  10, 11, 12, 13, 14, 15};

// Up to fifteen digits from one 16-byte load: found with a compare, moved to
// the end of the register by a shuffle, and combined in pairs, fours and
// eights by multiply-adds.
inline bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
    const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), _mm_set1_epi8('0'));
    const auto digit_bytes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits)));
    length = static_cast<unsigned>(__builtin_ctz(~digit_bytes));
    if (length == 16) return false;
    const __m128i aligned =
        _mm_shuffle_epi8(digits, _mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length)));
    const __m128i pairs =
        _mm_maddubs_epi16(aligned, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights =
        _mm_madd_epi16(_mm_packus_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    value = (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
    return true;
}
#if defined(__AVX2__)
// Two numbers at once, one in each half of a 256-bit register: false when
// either has sixteen digits or more.
inline bool two_numbers(const unsigned char* a, const unsigned char* b, std::uint64_t& value_a, std::size_t& length_a,
                        std::uint64_t& value_b, std::size_t& length_b) {
    const __m256i digits = _mm256_sub_epi8(
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1),
        _mm256_set1_epi8('0'));
    const auto digit_bytes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits)));
    length_a = static_cast<unsigned>(__builtin_ctz(~digit_bytes | 0x10000u));
    length_b = static_cast<unsigned>(__builtin_ctz(~(digit_bytes >> 16)));
    if (length_a >= 16 || length_b >= 16) return false;
    const __m256i control = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_b)), 1);
    const __m256i aligned = _mm256_shuffle_epi8(digits, control);
    const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
    const auto first = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 0));
    const auto second = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 2));
    value_a = (first & 0xFFFFFFFF) * 100000000 + (first >> 32);
    value_b = (second & 0xFFFFFFFF) * 100000000 + (second >> 32);
    return true;
}
#endif
#else
// Up to fifteen digits from two 64-bit loads: the digits are found with a few
// masks and turned into their value with three multiplications per eight.
inline bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
    static constexpr std::uint64_t powers_of_ten[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    std::uint64_t head, next;
    std::memcpy(&head, at, 8);
    if (const std::uint64_t stop = non_digits(head); stop != 0) {
        length = lowest_one(stop) / 8;
        value = length == 0 ? 0 : eight_digits(head << (64 - 8 * length));
        return true;
    }
    std::memcpy(&next, at + 8, 8);
    const std::uint64_t stop = non_digits(next);
    if (stop == 0) return false;
    const unsigned more = lowest_one(stop) / 8;
    value = eight_digits(head);
    if (more != 0) value = value * powers_of_ten[more] + eight_digits(next << (64 - 8 * more));
    length = 8 + more;
    return true;
}
#endif

// Adds the decimal digits from bytes[i] on to value, one at a time, until the
// first non-digit or n; returns where it stopped.
inline std::size_t more_digits(const unsigned char* bytes, std::size_t i, std::size_t n, std::uint64_t& value) {
    std::uint64_t v = value;
    while (i < n && is_digit(bytes[i])) v = v * 10 + static_cast<unsigned>(bytes[i++] - '0');
    value = v;
    return i;
}

// Reads the decimal digits at bytes[q] (q <= n), stopping at the first
// non-digit or at n; stores their value modulo 2^64 and returns the index
// where the run stopped.
inline std::size_t read_cell_number(const unsigned char* bytes, std::size_t q, std::size_t n, std::uint64_t& value) {
    if constexpr (std::endian::native == std::endian::little) {
        if (n - q >= 16) {
            if (!is_digit(bytes[q])) {
                value = 0;
                return q;
            }
            std::size_t length = 0;
            if (fifteen_digits(bytes + q, value, length)) return q + length;
        }
    }
    // Sixteen digits or more, or too near the end of the piece: one at a time.
    value = 0;
    return more_digits(bytes, q, n, value);
}

// The number of the cell opener at p, which starts at p + 4. One cut off by
// the end of the piece, or starting beyond it, is left pending in the state.
inline void take_number(scan_state& s, scan_counts& counts, const unsigned char* bytes, std::size_t p, std::size_t n,
                        std::uint8_t target) {
    const std::size_t q = p + 4;
    std::uint64_t value = 0;
    if (q > n || read_cell_number(bytes, q, n, value) == n) {
        s.pending = target;
        s.pending_skip = static_cast<std::uint8_t>(q > n ? q - n : 0);
        s.pending_value = value;
        return;
    }
    add_number(counts, target, value);
}

// A number that the last piece cut off: its digits go on at bytes[pending_skip].
inline void finish_pending(scan_state& s, const unsigned char* bytes, std::size_t n) {
    if (s.pending == no_number) return;
    std::size_t i = s.pending_skip < n ? s.pending_skip : n;
    s.pending_skip = static_cast<std::uint8_t>(s.pending_skip - i);
    if (s.pending_skip != 0) return;                             // the piece ended before the number began
    if (more_digits(bytes, i, n, s.pending_value) == n) return;  // still running on
    add_number(s.counts, s.pending, s.pending_value);
    s.pending = no_number;
}

// The openers, one position at a time: at needs three bytes.
inline bool is_cell_opener(const unsigned char* at) { return at[0] == '<' && at[1] == 't' && at[2] == 'd'; }
inline bool is_row_opener(const unsigned char* at) { return at[0] == '<' && at[1] == 't' && at[2] == 'r'; }

// The openers that begin at p..n-3, one position at a time.
inline void scan_bytewise(scan_state& s, scan_counts counts, unsigned place, const unsigned char* bytes, std::size_t p,
                          std::size_t n) {
    for (; p + 2 < n; ++p) {
        if (is_cell_opener(bytes + p)) {
            place = place == 9 ? 1 : place + 1;
            if (place == 5) take_number(s, counts, bytes, p, n, upload_number);
            if (place == 6) take_number(s, counts, bytes, p, n, download_number);
        } else if (is_row_opener(bytes + p)) {
            ++counts.connections;
        }
    }
    s.counts = counts;
    s.cell_place = static_cast<std::uint8_t>(place);
}

#if defined(__BMI2__)
// With BMI2, whose PDEP every processor with AVX-512 runs in a cycle or so
// (older AMD ones take hundreds), a batch of blocks is scanned in two passes.
// The first lists, block by block, where the cells on places 5 and 6 begin,
// with no branch that depends on the data: their ranks in the block follow
// from the cells before it, PDEP picks the cell of a rank out of the block's
// mask, and the list only moves on when the cell is there. The second pass
// reads the listed numbers, an upload and a download at a time; these reads
// do not depend on one another, so the processor overlaps them.
inline constexpr std::size_t batch_blocks = 16;

// The rank in the next block of the first cell on place 5, from the rank in
// this one (0..8) plus 27 less this block's cells (at most 22): mod 9 by table,
// cheaper than a division on the loop's one chain of blocks.
inline constexpr auto next_rank = [] {
    struct table {
        std::uint8_t of[36];
    } t{};
    for (unsigned i = 0; i < 36; ++i) t.of[i] = static_cast<std::uint8_t>(i % 9);
    return t;
}();

// The ranks picked for place 6 (the next after place 5, or the block's first
// cell when place 5 is its ninth), and the count of cells past which a block
// holds a second row's cells on places 5 or 6, for each rank of place 5.
struct rank_choice {
    std::uint64_t download_ranks;
    unsigned crowded_past;
};
inline constexpr auto rank_choices = [] {
    struct table {
        rank_choice of[9];
    } t{};
    for (unsigned first = 0; first < 9; ++first)
        t.of[first] = first == 8 ? rank_choice{1, 9} : rank_choice{std::uint64_t{2} << first, 9 + first};
    return t;
}();

struct cell_lists {
    // A block holds at most 22 openers, so at most three on one place.
    std::uint16_t uploads[batch_blocks * 3];
    std::uint16_t downloads[batch_blocks * 3];
    std::size_t upload_count = 0;
    std::size_t download_count = 0;
};

// A block with ten cells or more, which real reports do not have: every cell
// on place 5 or 6, one at a time.
inline void list_crowded_block(cell_lists& lists, std::uint64_t cells, unsigned first, unsigned base) {
    for (unsigned rank = 0; cells != 0; ++rank, cells &= cells - 1) {
        const unsigned offset = (rank + 9 - first) % 9;
        const auto at = static_cast<std::uint16_t>(base + lowest_one(cells));
        if (offset == 0) lists.uploads[lists.upload_count++] = at;
        if (offset == 1) lists.downloads[lists.download_count++] = at;
    }
}

inline void list_block(cell_lists& lists, std::uint64_t cells, unsigned count, unsigned first, unsigned base) {
    const rank_choice& choice = rank_choices.of[first];
    if (count > choice.crowded_past) {
        list_crowded_block(lists, cells, first, base);
        return;
    }
    const std::uint64_t upload = _pdep_u64(std::uint64_t{1} << first, cells);
    const std::uint64_t download = _pdep_u64(choice.download_ranks, cells);
    lists.uploads[lists.upload_count] = static_cast<std::uint16_t>(base + _tzcnt_u64(upload));
    lists.upload_count += upload != 0 ? 1 : 0;
    lists.downloads[lists.download_count] = static_cast<std::uint16_t>(base + _tzcnt_u64(download));
    lists.download_count += download != 0 ? 1 : 0;
}

// The listed numbers, an upload and a download at a time (a sum does not care
// which row a number came from); those near the piece's end or of sixteen
// digits or more one at a time.
inline void take_listed(scan_state& s, scan_counts& counts, const unsigned char* bytes, std::size_t start,
                        std::size_t n, const cell_lists& lists) {
    const std::size_t pairs = lists.upload_count < lists.download_count ? lists.upload_count : lists.download_count;
    std::size_t i = 0;
    // Sums in registers: counts is seen by the calls below, so it lives in memory.
    std::uint64_t uploads = 0, downloads = 0;
    for (; i < pairs; ++i) {
        const std::size_t a = start + lists.uploads[i], b = start + lists.downloads[i];
        std::uint64_t va, vb;
        std::size_t la, lb;
        if ((a > b ? a : b) + 4 + 16 > n || !two_numbers(bytes + a + 4, bytes + b + 4, va, la, vb, lb)) break;
        uploads += va;
        downloads += vb;
    }
    counts.uploads += uploads;
    counts.downloads += downloads;
    for (std::size_t j = i; j < lists.upload_count; ++j)
        take_number(s, counts, bytes, start + lists.uploads[j], n, upload_number);
    for (std::size_t j = i; j < lists.download_count; ++j)
        take_number(s, counts, bytes, start + lists.downloads[j], n, download_number);
}

template <opener_masks (*block_masks)(const unsigned char*)>
void scan_blocks(scan_state& s, const unsigned char* bytes, std::size_t from, std::size_t n) {
    finish_pending(s, bytes, n);
    scan_counts counts = s.counts;
    // The rank of the next cell on place 5 among the cells to come.
    unsigned first = (13 - s.cell_place) % 9;
    std::size_t p = from;
    if (n >= 64 + 2) {
        const std::size_t end = n - (64 + 2);  // the last block starts at or before it
        while (p <= end) {
            const std::size_t start = p;
            const std::size_t last = end - start < 64 * (batch_blocks - 1) ? end : start + 64 * (batch_blocks - 1);
            cell_lists lists;
            for (; p <= last; p += 64) {
                const opener_masks masks = block_masks(bytes + p);
                counts.connections += ones(masks.rows);
                const unsigned count = ones(masks.cells);
                list_block(lists, masks.cells, count, first, static_cast<unsigned>(p - start));
                first = next_rank.of[first + 27 - count];
            }
            take_listed(s, counts, bytes, start, n, lists);
        }
    }
    // The place of the last cell seen is four before the next on place 5
    // (9 before any cell, which the cycle takes as it takes 0).
    scan_bytewise(s, counts, (12 - first) % 9 + 1, bytes, p, n);
}
#else
// Without BMI2, block by block: the cells on places 5 and 6 are found by
// clearing the lower cells of the block's mask.

// The rank (1-based) of the first cell in a run from `place` that lands on `goal`.
inline unsigned first_rank(unsigned place, unsigned goal) {
    const unsigned rank = (goal + 9 - place) % 9;
    return rank == 0 ? 9 : rank;
}

// One block, its cells on places 5 and 6 found by clearing the lower cells.
inline void scan_block(scan_state& s, scan_counts& counts, unsigned& place, const unsigned char* bytes, std::size_t p,
                       std::size_t n, const opener_masks& masks) {
    counts.connections += ones(masks.rows);
    if (masks.cells == 0) return;
    const unsigned cells = ones(masks.cells);
    // Place 6 follows place 5, so its cell, if in the block, is the next one.
    unsigned up = first_rank(place, 5);
    std::uint64_t rest = masks.cells;
    if (up == 9) {  // place 6 comes first, at rank 1
        take_number(s, counts, bytes, p + lowest_one(rest), n, download_number);
    }
    for (unsigned rank = 1; up <= cells; up += 9) {
        for (; rank < up; ++rank) rest &= rest - 1;
#if defined(__AVX2__)
        // The usual case: both cells in the block, both numbers well inside the piece.
        if (up < cells && p + 64 + 20 <= n) {
            const std::size_t qa = p + lowest_one(rest) + 4, qb = p + lowest_one(rest & (rest - 1)) + 4;
            std::uint64_t va, vb;
            std::size_t la, lb;
            if (two_numbers(bytes + qa, bytes + qb, va, la, vb, lb)) {
                counts.uploads += va;
                counts.downloads += vb;
                rest &= rest - 1;
                ++rank;
                continue;
            }
        }
#endif
        take_number(s, counts, bytes, p + lowest_one(rest), n, upload_number);
        if (up + 1 > cells) break;
        rest &= rest - 1;
        ++rank;
        take_number(s, counts, bytes, p + lowest_one(rest), n, download_number);
    }
    place = (place + cells - 1) % 9 + 1;
}

template <opener_masks (*block_masks)(const unsigned char*)>
void scan_blocks(scan_state& s, const unsigned char* bytes, std::size_t from, std::size_t n) {
    finish_pending(s, bytes, n);
    scan_counts counts = s.counts;
    unsigned place = s.cell_place;
    std::size_t p = from;
    for (; p + 64 + 2 <= n; p += 64) scan_block(s, counts, place, bytes, p, n, block_masks(bytes + p));
    scan_bytewise(s, counts, place, bytes, p, n);
}
#endif

// The cell openers that begin at 0..n-3.
inline std::uint64_t count_cells_bytewise(const unsigned char* bytes, std::size_t p, std::size_t n) {
    std::uint64_t cells = 0;
    for (; p + 2 < n; ++p) cells += is_cell_opener(bytes + p) ? 1 : 0;
    return cells;
}

template <opener_masks (*block_masks)(const unsigned char*)>
std::uint64_t count_cells(const unsigned char* bytes, std::size_t n) {
    std::uint64_t cells = 0;
    std::size_t p = 0;
    for (; p + 64 + 2 <= n; p += 64) cells += ones(block_masks(bytes + p).cells);
    return cells + count_cells_bytewise(bytes, p, n);
}

}  // namespace SCAN_ISA
