// Opener masks 32 bytes at a time with AVX2, the row openers kept as bytes,
// and a row's two numbers read side by side; built with AVX2 enabled for this
// file alone and used only where the processor reports it.
#include <immintrin.h>

#define SCAN_ISA scan_avx2
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"
#include "scan_x86_digits.hpp"

namespace scan_avx2 {
namespace {

struct row_bytes {
    using vector = __m256i;
    static __m256i subtract_bytes(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }
    static std::uint64_t byte_sum(__m256i v) {
        const __m256i sums = _mm256_sad_epu8(v, _mm256_setzero_si256());
        const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(halves)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(halves, halves)));
    }
};

struct opener_masks {
    std::uint64_t cells;
    __m256i rows;  // -1 where a row opener begins, the halves added
};

std::uint32_t digit_bytes(__m256i digits) {
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits)));
}

struct avx2_isa {
    static constexpr std::size_t batch_blocks = 64;
    using row_tally = per_byte_row_tally<row_bytes>;
    using cell_lister = one_by_one_cell_lister;
    using row_sums = paired_row_sums;

    static opener_masks block_masks(const unsigned char* block) {
        const __m256i lt = _mm256_set1_epi8('<'), t = _mm256_set1_epi8('t'), d = _mm256_set1_epi8('d'),
                      r = _mm256_set1_epi8('r');
        opener_masks masks{0, _mm256_setzero_si256()};
        for (int part = 0; part < 2; ++part) {
            const unsigned char* at = block + 32 * part;
            const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
            const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
            const __m256i third = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2));
            const __m256i head = _mm256_and_si256(_mm256_cmpeq_epi8(first, lt), _mm256_cmpeq_epi8(second, t));
            const auto cells =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(head, _mm256_cmpeq_epi8(third, d))));
            masks.cells |= static_cast<std::uint64_t>(cells) << (32 * part);
            masks.rows = _mm256_add_epi8(masks.rows, _mm256_and_si256(head, _mm256_cmpeq_epi8(third, r)));
        }
        return masks;
    }

    static bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
        return fifteen_digits_shuffled(at, value, length);
    }

    static bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
        return add_row_numbers_paired<digit_bytes>(bytes, a, b, n, to);
    }
};

}  // namespace
}  // namespace scan_avx2

const kernel_functions avx2_kernel{scan_avx2::scan_blocks<scan_avx2::avx2_isa>,
                                   scan_avx2::list_blocks<scan_avx2::avx2_isa>,
                                   scan_avx2::scan_listed_blocks<scan_avx2::avx2_isa>};
