// The block scan that every kernel is built from, written once. A kernel file
// defines SCAN_ISA, the name of a namespace of its own, and includes this
// file: everything here is then compiled for that file's instruction set
// alone, and no function compiled for AVX2 or AVX-512 can stand in for the
// baseline one of the same name. (std:: helpers are inline functions shared
// by name across files, so the builtins are used instead.)
//
// How it works. A row opener is the bytes "<tr", a cell opener "<td". A vector
// kernel supplies block_masks: for 64 bytes, bit i of `cells` is set when "<td"
// begins at byte i, bit i of `rows` when "<tr" does (it reads two bytes past
// the block; SSE2 and AVX2 give the rows as bytes). Rows are counted a batch at
// a time. Cells move a nine-cell cycle (places 1..9, then 1 again); only those
// on place 5 (uploads) and 6 (downloads) are read. A batch of blocks first has
// its cells listed in order (with VBMI2 compressed out of the block's byte
// offsets, without it from the mask's set bits), then the place-5 cells are
// every ninth of the list, each followed by its place-6 cell. A number starts
// four bytes after the "<" and is its run of decimal digits, up to fifteen of
// them read at once: with SSSE3 from one 16-byte load (with AVX2 both numbers
// of a row in one register, summed there), without it from two 64-bit loads. A
// longer run, or one near the end of the piece, is read a digit at a time. The
// rest of a piece, past its last whole block, is scanned one position at a time
// by the same rule.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scan_core.hpp"

#if defined(__SSSE3__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#ifndef SCAN_ISA
#error "define SCAN_ISA, the kernel's own namespace, before including scan_blocks.hpp"
#endif

namespace SCAN_ISA {

inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') <= 9; }
inline unsigned ones(std::uint64_t x) { return static_cast<unsigned>(__builtin_popcountll(x)); }
inline unsigned lowest_one(std::uint64_t x) { return static_cast<unsigned>(__builtin_ctzll(x)); }

// Row openers are counted a batch of blocks at a time. The SSE2 and AVX2
// kernels hand a block's over as bytes (-1 where one begins, the block's
// parts added), which are taken from counts kept per byte and summed once a
// batch: that spares half of the block's mask moves, the step those kernels
// run short of. The AVX-512 kernel hands over a mask, counted with a popcount
// (as would a build without SSE2, which only ever scans bytewise).
#if defined(__AVX512BW__) || !defined(__SSE2__)
using row_openers = std::uint64_t;

struct row_tally {
    static constexpr std::size_t most_per_byte_a_block = 0;  // no counts per byte
    std::uint64_t count = 0;
    void add(std::uint64_t rows) { count += ones(rows); }
    std::uint64_t total() const { return count; }
};
#else
#if defined(__AVX2__)
using row_openers = __m256i;
inline __m256i subtract_bytes(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }
inline std::uint64_t byte_sum(__m256i v) {
    const __m256i sums = _mm256_sad_epu8(v, _mm256_setzero_si256());
    const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(halves)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(halves, halves)));
}
#else
using row_openers = __m128i;
inline __m128i subtract_bytes(__m128i a, __m128i b) { return _mm_sub_epi8(a, b); }
inline std::uint64_t byte_sum(__m128i v) {
    const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

struct row_tally {
    // A byte counts at most one opener for each 16- or 32-byte part of a block.
    static constexpr std::size_t most_per_byte_a_block = 64 / sizeof(row_openers);
    row_openers per_byte{};
    void add(row_openers rows) { per_byte = subtract_bytes(per_byte, rows); }
    std::uint64_t total() const { return byte_sum(per_byte); }
};
#endif

struct opener_masks {
    std::uint64_t cells;
    row_openers rows;
};

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
// Sums of a row's two numbers, kept in the lowest 64 bits of each half of a
// 256-bit register (upload, download).
struct row_sums {
    __m256i sums = _mm256_setzero_si256();
    std::uint64_t uploads() const { return static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 0)); }
    std::uint64_t downloads() const { return static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 2)); }
};

// Adds two numbers at once, one in each half of a 256-bit register, to the
// sums: false, adding nothing, when either has sixteen digits or more.
inline bool add_two_numbers(const unsigned char* a, const unsigned char* b, row_sums& to) {
    const __m256i digits = _mm256_sub_epi8(
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1),
        _mm256_set1_epi8('0'));
#if defined(__AVX512VL__) && defined(__AVX512BW__)
    const auto digit_bytes = static_cast<std::uint32_t>(_mm256_cmple_epu8_mask(digits, _mm256_set1_epi8(9)));
#else
    const auto digit_bytes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits)));
#endif
    const unsigned length_a = static_cast<unsigned>(__builtin_ctz(~digit_bytes | 0x10000u));
    const unsigned length_b = static_cast<unsigned>(__builtin_ctz(~(digit_bytes >> 16)));
    if (((length_a | length_b) & 16) != 0) return false;
    const __m256i control = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_b)), 1);
    const __m256i aligned = _mm256_shuffle_epi8(digits, control);
    const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    // Each half's lowest 64 bits: the first eight digits' value, then the last eight's.
    const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
    const __m256i values =
        _mm256_add_epi64(_mm256_mul_epu32(eights, _mm256_set1_epi64x(100000000)), _mm256_srli_epi64(eights, 32));
    to.sums = _mm256_add_epi64(to.sums, values);
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

// A batch of blocks is scanned in two passes, with no branch on the data in
// the usual case. The first lists where every cell of the batch begins, a
// block at a time. In the list, the cells on place 5 are every ninth from the
// first one's rank, each followed by its place-6 cell, so the second pass
// reads their numbers a row at a time; these reads do not depend on one
// another, so the processor overlaps them. A batch is long, so that the second
// pass's loop ends, and its exit is mispredicted, seldom. (Listing with VBMI2
// measured fastest with shorter batches, and SSE2 needs them for its row
// tally.)
#if defined(__AVX512VBMI2__)
inline constexpr std::size_t batch_blocks = 16;
#elif defined(__AVX2__)
inline constexpr std::size_t batch_blocks = 64;
#else
inline constexpr std::size_t batch_blocks = 32;
#endif

// Room for the offsets of a batch's cells from its start, in order: a block
// holds at most 22 cell openers, and listing one may write up to 16 entries
// past them.
inline constexpr std::size_t list_room = 22 * batch_blocks + 16;

static_assert(row_tally::most_per_byte_a_block * batch_blocks <= 255, "a row tally's byte would overflow");

// The list is written while the batch's bytes are read, and a load whose
// address matches a pending store's in its lowest 12 bits waits on it
// (addresses are compared on those bits first). So the list starts 2 KB past
// the batch's first byte, modulo 4 KB, clear of a batch's next kilobyte:
// lying inside it, where the stack happened to put it, cost the AVX-512
// kernel 40% on AMD Zen 5. Room for the list at any such place:
inline constexpr std::size_t list_room_anywhere = list_room + 4096 / sizeof(std::uint16_t);

inline std::uint16_t* list_place(std::uint16_t* room, const unsigned char* batch) {
    const std::uintptr_t distance =
        (reinterpret_cast<std::uintptr_t>(batch) + 2048 - reinterpret_cast<std::uintptr_t>(room)) & 4094;
    return room + distance / sizeof(std::uint16_t);
}

// Lists the offsets of a block's cells (base + the index of each set bit) at
// `at` from the lowest set bit up, one at a time, and returns their count. The
// first eight have a loop of their own with a fixed bound, which the compiler
// unrolls into eight steps with an exit each: the processor predicts those
// branches well on report rows (three to five cells a block).
inline unsigned list_cells_one_by_one(std::uint16_t* at, std::uint64_t cells, unsigned base) {
    const unsigned count = ones(cells);
    for (int i = 0; i < 8; ++i, cells &= cells - 1) {
        if (cells == 0) return count;
        at[i] = static_cast<std::uint16_t>(base + lowest_one(cells));
    }
    for (at += 8; cells != 0; cells &= cells - 1) *at++ = static_cast<std::uint16_t>(base + lowest_one(cells));
    return count;
}

#if defined(__AVX512VBMI2__)
// The same with VBMI2: the offsets of the block's cells compressed out of the
// offsets of its bytes, sixteen at once, which a block of report rows never
// passes; `bases` holds `base` in every lane.
inline unsigned list_cells_compressed(std::uint16_t* at, std::uint64_t cells, unsigned base, __m256i bases) {
    const unsigned count = ones(cells);
    if (count > 16) [[unlikely]]
        return list_cells_one_by_one(at, cells, base);
    const __m512i byte_offsets =
        _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40,
                        39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                        15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i compressed = _mm512_maskz_compress_epi8(cells, byte_offsets);
    __m128i listed;  // the first sixteen (GCC 12 warns, wrongly, on the cast intrinsics)
    std::memcpy(&listed, &compressed, sizeof listed);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_add_epi16(_mm256_cvtepu8_epi16(listed), bases));
    return count;
}
#endif

#if defined(__AVX2__)
// Both numbers of a row, from the openers at a (the upload) and b (the
// download), added to the sums: false when either is near the end of the
// piece or has sixteen digits or more.
inline bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
    return b + 4 + 16 <= n && add_two_numbers(bytes + a + 4, bytes + b + 4, to);
}
#else
struct row_sums {
    std::uint64_t uploads_ = 0, downloads_ = 0;
    std::uint64_t uploads() const { return uploads_; }
    std::uint64_t downloads() const { return downloads_; }
};

inline bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
    if (b + 4 + 16 > n || std::endian::native != std::endian::little) return false;
    std::uint64_t upload, download;
    std::size_t la, lb;
    if (!fifteen_digits(bytes + a + 4, upload, la) || !fifteen_digits(bytes + b + 4, download, lb)) return false;
    to.uploads_ += upload;
    to.downloads_ += download;
    return true;
}
#endif

// The numbers of the listed cells on place 5 (from rank `first`, every ninth)
// and on place 6 (one after each); returns the rank of the next cell on place
// 5 after the batch, counted from its end.
inline unsigned take_listed(scan_state& s, scan_counts& counts, const unsigned char* bytes, std::size_t start,
                            std::size_t n, const std::uint16_t* list, unsigned count, unsigned first) {
    row_sums sums;
    unsigned rank = first;
    if (rank == 8 && count != 0)  // the last batch ended on a place-5 cell: place 6 comes first
        take_number(s, counts, bytes, start + list[0], n, download_number);
    // Offsets from the batch's start index the bytes with no additions.
    const unsigned char* const batch = bytes + start;
    for (; rank + 1 < count; rank += 9) {
        const std::size_t a = list[rank], b = list[rank + 1];
        if (add_row_numbers(batch, a, b, n - start, sums)) continue;
        take_number(s, counts, bytes, start + a, n, upload_number);
        take_number(s, counts, bytes, start + b, n, download_number);
    }
    if (rank < count) {  // a place-5 cell ends the batch
        take_number(s, counts, bytes, start + list[rank], n, upload_number);
        rank += 9;
    }
    counts.uploads += sums.uploads();
    counts.downloads += sums.downloads();
    return rank - count;
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
            std::uint16_t room[list_room_anywhere];
            std::uint16_t* const list = list_place(room, bytes + start);
            unsigned count = 0;
            row_tally rows;
#if defined(__AVX512VBMI2__)
            __m256i bases = _mm256_setzero_si256();
            for (; p <= last; p += 64, bases = _mm256_add_epi16(bases, _mm256_set1_epi16(64))) {
                const opener_masks masks = block_masks(bytes + p);
                rows.add(masks.rows);
                count += list_cells_compressed(list + count, masks.cells, static_cast<unsigned>(p - start), bases);
            }
#else
            for (; p <= last; p += 64) {
                const opener_masks masks = block_masks(bytes + p);
                rows.add(masks.rows);
                count += list_cells_one_by_one(list + count, masks.cells, static_cast<unsigned>(p - start));
            }
#endif
            counts.connections += rows.total();
            first = take_listed(s, counts, bytes, start, n, list, count, first);
        }
    }
    // The place of the last cell seen is four before the next on place 5
    // (9 before any cell, which the cycle takes as it takes 0).
    scan_bytewise(s, counts, (12 - first) % 9 + 1, bytes, p, n);
}

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
