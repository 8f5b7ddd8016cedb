// Opener masks 32 bytes at a time with AVX2, the row openers kept as bytes;
// built with AVX2 enabled for this file alone and used only where the
// processor reports it.
#include <immintrin.h>

#define SCAN_ISA scan_avx2
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_avx2 {
namespace {

opener_masks avx2_masks(const unsigned char* block) {
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
        // Rows stay bytes: -1 where one begins, the halves added.
        masks.rows = _mm256_add_epi8(masks.rows, _mm256_and_si256(head, _mm256_cmpeq_epi8(third, r)));
    }
    return masks;
}

}  // namespace
}  // namespace scan_avx2

void scan_openers_avx2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n) {
    scan_avx2::scan_blocks<scan_avx2::avx2_masks>(state, bytes, from, n);
}

std::uint64_t count_cells_avx2(const unsigned char* bytes, std::size_t n) {
    return scan_avx2::count_cells<scan_avx2::avx2_masks>(bytes, n);
}
