// Opener masks 16 bytes at a time with SSE2, which every x86-64 processor has,
// the row openers kept as bytes; numbers read eight digits to a 64-bit word.
#include <emmintrin.h>

#define SCAN_ISA scan_sse2
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_sse2 {
namespace {

struct row_bytes {
    using vector = __m128i;
    static __m128i subtract_bytes(__m128i a, __m128i b) { return _mm_sub_epi8(a, b); }
    static std::uint64_t byte_sum(__m128i v) {
        const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
};

struct opener_masks {
    std::uint64_t cells;
    __m128i rows;  // -1 where a row opener begins, the block's parts added
};

struct sse2_isa {
    // A byte of the row tally counts up to four openers a block.
    static constexpr std::size_t batch_blocks = 32;
    using row_tally = per_byte_row_tally<row_bytes>;
    using cell_lister = one_by_one_cell_lister;
    using row_sums = separate_row_sums;

    static opener_masks block_masks(const unsigned char* block) {
        const __m128i lt = _mm_set1_epi8('<'), t = _mm_set1_epi8('t'), d = _mm_set1_epi8('d'), r = _mm_set1_epi8('r');
        opener_masks masks{0, _mm_setzero_si128()};
        for (int part = 0; part < 4; ++part) {
            const unsigned char* at = block + 16 * part;
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
            const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2));
            const __m128i head = _mm_and_si128(_mm_cmpeq_epi8(first, lt), _mm_cmpeq_epi8(second, t));
            const auto cells = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(head, _mm_cmpeq_epi8(third, d))));
            masks.cells |= static_cast<std::uint64_t>(cells) << (16 * part);
            masks.rows = _mm_add_epi8(masks.rows, _mm_and_si128(head, _mm_cmpeq_epi8(third, r)));
        }
        return masks;
    }

    static bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
        return fifteen_digits_in_words(at, value, length);
    }

    static bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
        return add_row_numbers_one_by_one<sse2_isa>(bytes, a, b, n, to);
    }
};

}  // namespace
}  // namespace scan_sse2

const kernel_functions sse2_kernel{scan_sse2::scan_blocks<scan_sse2::sse2_isa>,
                                   scan_sse2::list_blocks<scan_sse2::sse2_isa>,
                                   scan_sse2::scan_listed_blocks<scan_sse2::sse2_isa>};
