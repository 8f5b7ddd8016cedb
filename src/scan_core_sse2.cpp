// Opener masks 16 bytes at a time with SSE2, which every x86-64 processor has,
// the row openers kept as bytes.
#include <emmintrin.h>

#define SCAN_ISA scan_sse2
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_sse2 {
namespace {

opener_masks sse2_masks(const unsigned char* block) {
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

}  // namespace
}  // namespace scan_sse2

void scan_openers_sse2(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n) {
    scan_sse2::scan_blocks<scan_sse2::sse2_masks>(state, bytes, from, n);
}

std::uint64_t count_cells_sse2(const unsigned char* bytes, std::size_t n) {
    return scan_sse2::count_cells<scan_sse2::sse2_masks>(bytes, n);
}
