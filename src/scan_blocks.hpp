// The block scan that every kernel is built from, written once over an
// instruction set's traits. A kernel file defines SCAN_ISA, the name of a
// namespace of its own, includes this file, defines its traits type there and
// instantiates scan_blocks, list_blocks and scan_listed_blocks with it: everything here is then
// compiled for that file's instruction set alone, and no function compiled for
// AVX2 or AVX-512 can stand in for the baseline one of the same name. (std::
// helpers are inline functions shared by name across files, so the builtins
// are used instead.)
//
// How it works. A row opener is the bytes "<tr", a cell opener "<td". For 64
// bytes the traits' block_masks gives `cells`, bit i set when "<td" begins at
// byte i, and `rows`, the row openers in whatever form the traits' row_tally
// counts (a mask, or bytes); it reads two bytes past the block. Rows are
// counted a batch of blocks at a time. Cells move a nine-cell cycle (see
// cell_cycle); only those on place 5 (uploads) and 6 (downloads) are read. A batch first has its cells listed in order by the traits'
// cell_lister, then the place-5 cells are every ninth of the list, each
// followed by its place-6 cell. A number starts four bytes after the "<" and
// is its run of decimal digits, up to fifteen of them read at once by the
// traits' fifteen_digits, a row's two by add_row_numbers. A longer run, or one
// near the end of the piece, is read a digit at a time. The rest of a piece,
// past its last whole block, is scanned one position at a time by the same
// rule.
//
// A traits type gives:
//   batch_blocks                         blocks in a batch
//   block_masks(block)                   {cells, rows} of 64 bytes
//   row_tally                            add(rows), total(), most_per_byte_a_block
//   cell_lister                          list(at, cells, base) -> count, next_block()
//   fifteen_digits(at, value, length)    false for sixteen digits or more
//   row_sums, add_row_numbers(batch, a, b, n, sums)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scan_core.hpp"

#ifndef SCAN_ISA
#error "define SCAN_ISA, the kernel's own namespace, before including scan_blocks.hpp"
#endif

namespace SCAN_ISA {

inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') <= 9; }
inline unsigned ones(std::uint64_t x) { return static_cast<unsigned>(__builtin_popcountll(x)); }
inline unsigned lowest_one(std::uint64_t x) { return static_cast<unsigned>(__builtin_ctzll(x)); }

// Row openers handed over as a mask, counted with a popcount.
struct counted_row_tally {
    static constexpr std::size_t most_per_byte_a_block = 0;  // no counts per byte
    std::uint64_t count = 0;
    void add(std::uint64_t rows) { count += ones(rows); }
    std::uint64_t total() const { return count; }
};

// Row openers handed over as bytes of a vector (-1 where one begins, a
// block's parts added), taken from counts kept per byte and summed once a
// batch: that spares half of a block's mask moves, the step the narrower
// kernels run short of.
// Bytes gives the vector type, `vector`, and its subtract_bytes and byte_sum.
template <typename Bytes>
struct per_byte_row_tally {
    using vector = typename Bytes::vector;
    // A byte counts at most one opener for each vector-wide part of a block.
    static constexpr std::size_t most_per_byte_a_block = 64 / sizeof(vector);
    vector per_byte{};
    void add(vector rows) { per_byte = Bytes::subtract_bytes(per_byte, rows); }
    std::uint64_t total() const { return Bytes::byte_sum(per_byte); }
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

// Up to fifteen digits from two 64-bit loads, for instruction sets with no
// byte shuffle: the digits are found with a few masks and turned into their
// value with three multiplications per eight.
inline bool fifteen_digits_in_words(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
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
template <typename Isa>
inline std::size_t read_cell_number(const unsigned char* bytes, std::size_t q, std::size_t n, std::uint64_t& value) {
    if constexpr (std::endian::native == std::endian::little) {
        if (n - q >= 16) {
            if (!is_digit(bytes[q])) {
                value = 0;
                return q;
            }
            std::size_t length = 0;
            if (Isa::fifteen_digits(bytes + q, value, length)) return q + length;
        }
    }
    // Sixteen digits or more, or too near the end of the piece: one at a time.
    value = 0;
    return more_digits(bytes, q, n, value);
}

// The number of the cell opener at p, which starts at p + 4. One cut off by
// the end of the piece, or starting beyond it, is left pending in the state.
template <typename Isa>
inline void take_number(scan_state& s, scan_counts& counts, const unsigned char* bytes, std::size_t p, std::size_t n,
                        std::uint8_t target) {
    const std::size_t q = p + 4;
    std::uint64_t value = 0;
    if (q > n || read_cell_number<Isa>(bytes, q, n, value) == n) {
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
template <typename Isa>
inline void scan_bytewise(scan_state& s, scan_counts counts, unsigned place, const unsigned char* bytes, std::size_t p,
                          std::size_t n) {
    for (; p + 2 < n; ++p) {
        if (is_cell_opener(bytes + p)) {
            place = cell_cycle::next(place);
            if (place == cell_cycle::upload_place) take_number<Isa>(s, counts, bytes, p, n, upload_number);
            if (place == cell_cycle::download_place) take_number<Isa>(s, counts, bytes, p, n, download_number);
        } else if (is_row_opener(bytes + p)) {
            ++counts.connections;
        }
    }
    s.counts = counts;
    s.cell_place = static_cast<std::uint8_t>(place);
}

// A kernel with no blocks: a number the last piece cut off, then the openers
// one position at a time.
template <typename Isa>
inline void scan_positions(scan_state& s, const unsigned char* bytes, std::size_t from, std::size_t n) {
    finish_pending(s, bytes, n);
    scan_bytewise<Isa>(s, s.counts, s.cell_place, bytes, from, n);
}

// A batch of blocks is scanned in two passes, with no branch on the data in
// the usual case. The first lists where every cell of the batch begins, a
// block at a time. In the list, the cells on place 5 are every ninth from the
// first one's rank, each followed by its place-6 cell, so the second pass
// reads their numbers a row at a time; these reads do not depend on one
// another, so the processor overlaps them. A batch is long, so that the second
// pass's loop ends, and its exit is mispredicted, seldom.

// Room for the offsets of a batch's cells from its start, in order: a block
// holds at most part_cells::most_cells_a_block cell openers, and listing one
// may write up to 16 entries past them.
template <typename Isa>
inline constexpr std::size_t list_room = (part_cells::most_cells_a_block * Isa::batch_blocks) + 16;

// The list is written while the batch's bytes are read, and a load whose
// address matches a pending store's in its lowest 12 bits waits on it
// (addresses are compared on those bits first). So the list starts 2 KB past
// the batch's first byte, modulo 4 KB, clear of a batch's next kilobyte:
// lying inside it, where the stack happened to put it, cost the AVX-512
// kernel 40% on AMD Zen 5. Room for the list at any such place:
template <typename Isa>
inline constexpr std::size_t list_room_anywhere = list_room<Isa> + 4096 / sizeof(std::uint16_t);

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

struct one_by_one_cell_lister {
    unsigned list(std::uint16_t* at, std::uint64_t cells, unsigned base) const {
        return list_cells_one_by_one(at, cells, base);
    }
    void next_block() {}
};

// Sums of a row's numbers kept apart, read one number at a time.
struct separate_row_sums {
    std::uint64_t uploads_ = 0, downloads_ = 0;
    std::uint64_t uploads() const { return uploads_; }
    std::uint64_t downloads() const { return downloads_; }
};

// Both numbers of a row, from the openers at a (the upload) and b (the
// download), added to the sums: false when either is near the end of the
// piece or has sixteen digits or more.
template <typename Isa>
inline bool add_row_numbers_one_by_one(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n,
                                       separate_row_sums& to) {
    if (b + 4 + 16 > n || std::endian::native != std::endian::little) return false;
    std::uint64_t upload, download;
    std::size_t la, lb;
    if (!Isa::fifteen_digits(bytes + a + 4, upload, la) || !Isa::fifteen_digits(bytes + b + 4, download, lb))
        return false;
    to.uploads_ += upload;
    to.downloads_ += download;
    return true;
}

// The numbers of the listed cells on place 5 (from rank `first`, every ninth)
// and on place 6 (one after each); returns the rank of the next cell on place
// 5 after the batch, counted from its end. Always inline: with a caller in
// each pass, GCC would call it instead, which made the scan 2% slower.
template <typename Isa>
[[gnu::always_inline]] inline unsigned take_listed(scan_state& s, scan_counts& counts, const unsigned char* bytes,
                                                   std::size_t start, std::size_t n, const std::uint16_t* list,
                                                   unsigned count, unsigned first) {
    typename Isa::row_sums sums;
    unsigned rank = first;
    // The last batch ended on an upload's cell: a download's comes first.
    if (rank == cell_cycle::rank_of_next_upload(cell_cycle::upload_place) && count != 0)
        take_number<Isa>(s, counts, bytes, start + list[0], n, download_number);
    // Offsets from the batch's start index the bytes with no additions.
    const unsigned char* const batch = bytes + start;
    for (; rank + 1 < count; rank += 9) {
        const std::size_t a = list[rank], b = list[rank + 1];
        if (Isa::add_row_numbers(batch, a, b, n - start, sums)) continue;
        take_number<Isa>(s, counts, bytes, start + a, n, upload_number);
        take_number<Isa>(s, counts, bytes, start + b, n, download_number);
    }
    if (rank < count) {  // a place-5 cell ends the batch
        take_number<Isa>(s, counts, bytes, start + list[rank], n, upload_number);
        rank += 9;
    }
    counts.uploads += sums.uploads();
    counts.downloads += sums.downloads();
    return rank - count;
}

// The start of the last block of the batch that starts at `start`, when the
// last block of the piece starts at or before `end`.
template <typename Isa>
inline std::size_t batch_last(std::size_t start, std::size_t end) {
    return end - start < 64 * (Isa::batch_blocks - 1) ? start + (end - start) / 64 * 64
                                                      : start + 64 * (Isa::batch_blocks - 1);
}

struct batch_listing {
    unsigned count;
    std::uint64_t rows;
};

// The cells of the blocks from `start` to `last`, listed at `list` as offsets
// from start, and their rows counted.
template <typename Isa>
inline batch_listing list_batch(const unsigned char* bytes, std::size_t start, std::size_t last, std::uint16_t* list) {
    unsigned count = 0;
    typename Isa::row_tally rows;
    typename Isa::cell_lister lister;
    for (std::size_t p = start; p <= last; p += 64, lister.next_block()) {
        const auto masks = Isa::block_masks(bytes + p);
        rows.add(masks.rows);
        count += lister.list(list + count, masks.cells, static_cast<unsigned>(p - start));
    }
    return {count, rows.total()};
}

// Lists the cells of the blocks from `from` on, a batch at a time, and hands
// each batch to take(start, list, listing); returns where the bytes after
// the last block start.
template <typename Isa, typename Take>
[[gnu::always_inline]] inline std::size_t for_each_batch(const unsigned char* bytes, std::size_t from, std::size_t n,
                                                         Take take) {
    std::size_t p = from;
    if (n >= 64 + 2) {
        const std::size_t end = n - (64 + 2);  // the last block starts at or before it
        while (p <= end) {
            const std::size_t start = p;
            const std::size_t last = batch_last<Isa>(start, end);
            std::uint16_t room[list_room_anywhere<Isa>];
            std::uint16_t* const list = list_place(room, bytes + start);
            take(start, list, list_batch<Isa>(bytes, start, last, list));
            p = last + 64;
        }
    }
    return p;
}

template <typename Isa>
void scan_blocks(scan_state& s, const unsigned char* bytes, std::size_t from, std::size_t n) {
    static_assert(Isa::row_tally::most_per_byte_a_block * Isa::batch_blocks <= 255,
                  "a row tally's byte would overflow");
    finish_pending(s, bytes, n);
    scan_counts counts = s.counts;
    unsigned first = cell_cycle::rank_of_next_upload(s.cell_place);
    const std::size_t p =
        for_each_batch<Isa>(bytes, from, n, [&](std::size_t start, const std::uint16_t* list, batch_listing batch) {
            counts.connections += batch.rows;
            first = take_listed<Isa>(s, counts, bytes, start, n, list, batch.count, first);
        });
    scan_bytewise<Isa>(s, counts, cell_cycle::place_before_rank(first), bytes, p, n);
}

// The cell openers that begin at p..n-3.
inline std::uint64_t count_cells_bytewise(const unsigned char* bytes, std::size_t p, std::size_t n) {
    std::uint64_t cells = 0;
    for (; p + 2 < n; ++p) cells += is_cell_opener(bytes + p) ? 1 : 0;
    return cells;
}

// The first pass over a part: the batches of scan_blocks, listed and kept.
template <typename Isa>
std::uint64_t list_blocks(part_cells& cells, const unsigned char* bytes, std::size_t n, std::size_t counted_to) {
    static_assert(Isa::batch_blocks >= part_cells::fewest_blocks_a_batch, "a part's batches would not fit");
    cells.batch_count = 0;
    std::uint32_t listed = 0;
    cells.blocks_end =
        for_each_batch<Isa>(bytes, 0, n, [&](std::size_t start, const std::uint16_t* list, batch_listing batch) {
            std::memcpy(cells.offsets + listed, list, batch.count * sizeof *list);
            cells.batches[cells.batch_count++] = {static_cast<std::uint32_t>(start), listed, batch.count,
                                                  static_cast<std::uint32_t>(batch.rows)};
            listed += batch.count;
        });
    return listed + count_cells_bytewise(bytes, cells.blocks_end, counted_to);
}

// The second pass: scan_blocks over a fresh state, its batches taken from the lists.
template <typename Isa>
void scan_listed_blocks(scan_state& s, const part_cells& cells, const unsigned char* bytes, std::size_t n) {
    scan_counts counts = s.counts;
    unsigned first = cell_cycle::rank_of_next_upload(s.cell_place);
    for (std::size_t b = 0; b < cells.batch_count; ++b) {
        const part_cells::batch& batch = cells.batches[b];
        counts.connections += batch.rows;
        first = take_listed<Isa>(s, counts, bytes, batch.start, n, cells.offsets + batch.first, batch.count, first);
    }
    scan_bytewise<Isa>(s, counts, cell_cycle::place_before_rank(first), bytes, cells.blocks_end, n);
}

// A kernel with no blocks lists nothing: its part is scanned one position at
// a time in the second pass.
inline std::uint64_t list_positions(part_cells& cells, const unsigned char* bytes, std::size_t,
                                    std::size_t counted_to) {
    cells.batch_count = 0;
    cells.blocks_end = 0;
    return count_cells_bytewise(bytes, 0, counted_to);
}

template <typename Isa>
void scan_listed_positions(scan_state& s, const part_cells&, const unsigned char* bytes, std::size_t n) {
    scan_bytewise<Isa>(s, s.counts, s.cell_place, bytes, 0, n);
}

}  // namespace SCAN_ISA
