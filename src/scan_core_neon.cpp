// Opener masks 16 bytes at a time with AArch64's Advanced SIMD, which every
// 64-bit ARM processor has, the row openers kept as bytes, and numbers read
// with a table lookup and multiply-adds.
#include <arm_neon.h>

#define SCAN_ISA scan_neon
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_neon {
namespace {

struct row_bytes {
    using vector = uint8x16_t;
    static uint8x16_t subtract_bytes(uint8x16_t a, uint8x16_t b) { return vsubq_u8(a, b); }
    static std::uint64_t byte_sum(uint8x16_t v) { return vaddlvq_u8(v); }
};

struct opener_masks {
    std::uint64_t cells;
    uint8x16_t rows;  // -1 where a row opener begins, the block's parts added
};

// A bit a byte from four compares' results (each byte 0 or 0xFF), the first
// byte in the lowest bit: each byte keeps its own bit, then pairwise additions
// gather them.
std::uint64_t bit_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
    static constexpr std::uint8_t bit_of_lane[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bits = vld1q_u8(bit_of_lane);
    const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bits), vandq_u8(b, bits));
    const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bits), vandq_u8(d, bits));
    const uint8x16_t abcd = vpaddq_u8(ab, cd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
}

// Shuffle controls that move the first `length` bytes of a register to its
// end and clear the rest (an index past 15 gives 0): the 16 bytes from
// shift_right + length.
alignas(16) constexpr std::uint8_t shift_right[32] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                                      255, 255, 255, 255, 255, 0,   1,   2,   3,   4,   5,
                                                      6,   7,   8,   9,   10,  11,  12,  13,  14,  15};

struct neon_isa {
    // A byte of the row tally counts up to four openers a block.
    static constexpr std::size_t batch_blocks = 32;
    using row_tally = per_byte_row_tally<row_bytes>;
    using cell_lister = one_by_one_cell_lister;
    using row_sums = separate_row_sums;

    static opener_masks block_masks(const unsigned char* block) {
        const uint8x16_t lt = vdupq_n_u8('<'), t = vdupq_n_u8('t'), d = vdupq_n_u8('d'), r = vdupq_n_u8('r');
        uint8x16_t cells[4];
        uint8x16_t rows = vdupq_n_u8(0);
        for (int part = 0; part < 4; ++part) {
            const unsigned char* at = block + 16 * part;
            const uint8x16_t head = vandq_u8(vceqq_u8(vld1q_u8(at), lt), vceqq_u8(vld1q_u8(at + 1), t));
            const uint8x16_t third = vld1q_u8(at + 2);
            cells[part] = vandq_u8(head, vceqq_u8(third, d));
            rows = vaddq_u8(rows, vandq_u8(head, vceqq_u8(third, r)));
        }
        return {bit_mask(cells[0], cells[1], cells[2], cells[3]), rows};
    }

    // Up to fifteen digits from one 16-byte load: found with a compare, moved
    // to the end of the register by a table lookup, and combined in pairs,
    // fours and eights by multiplications and pairwise additions.
    static bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
        const uint8x16_t digits = vsubq_u8(vld1q_u8(at), vdupq_n_u8('0'));
        // Four bits a byte, set for a non-digit: the first of them ends the number.
        const uint8x8_t stops = vshrn_n_u16(vreinterpretq_u16_u8(vcgtq_u8(digits, vdupq_n_u8(9))), 4);
        const std::uint64_t stop_bits = vget_lane_u64(vreinterpret_u64_u8(stops), 0);
        if (stop_bits == 0) return false;
        length = lowest_one(stop_bits) / 4;
        const uint8x16_t aligned = vqtbl1q_u8(digits, vld1q_u8(shift_right + length));
        static constexpr std::uint8_t tens_and_ones[16] = {10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1};
        static constexpr std::uint16_t hundreds_and_ones[8] = {100, 1, 100, 1, 100, 1, 100, 1};
        static constexpr std::uint32_t ten_thousands_and_ones[4] = {10000, 1, 10000, 1};
        const uint16x8_t pairs = vpaddlq_u8(vmulq_u8(aligned, vld1q_u8(tens_and_ones)));
        const uint32x4_t fours = vpaddlq_u16(vmulq_u16(pairs, vld1q_u16(hundreds_and_ones)));
        const uint64x2_t eights = vpaddlq_u32(vmulq_u32(fours, vld1q_u32(ten_thousands_and_ones)));
        value = vgetq_lane_u64(eights, 0) * 100000000 + vgetq_lane_u64(eights, 1);
        return true;
    }

    static bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
        return add_row_numbers_one_by_one<neon_isa>(bytes, a, b, n, to);
    }
};

}  // namespace
}  // namespace scan_neon

const kernel_functions neon_kernel{scan_neon::scan_blocks<scan_neon::neon_isa>,
                                   scan_neon::list_blocks<scan_neon::neon_isa>,
                                   scan_neon::scan_listed_blocks<scan_neon::neon_isa>};
